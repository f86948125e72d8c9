#include <spdlog/formatter.h>

#include <chrono>
#include <cstdio>
#include <ctime>

#include "strovix/logger.hpp"

namespace strovix {
namespace {

constexpr const char* kLevelNames[] = {"trace", "debug",    "info", "warning",
                                       "error", "critical", "off"};

void append_json_string(std::string& out, std::string_view text) {
  out += '"';
  for (const unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[8];
          std::snprintf(buf, sizeof(buf), "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

// RFC 3339 in UTC with milliseconds: what journald, Loki and Elasticsearch parse as they are.
std::string utc_time(std::chrono::system_clock::time_point time) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch());
  const std::time_t seconds = static_cast<std::time_t>(ms.count() / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char buf[96];
  std::snprintf(buf, sizeof(buf), "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(ms.count() % 1000));
  return buf;
}

// The stream id a reader's line names ("... stream_id 12 ..."), or -1.
long stream_id_in(std::string_view message) {
  constexpr std::string_view kKey = "stream_id ";
  const auto at = message.find(kKey);
  if (at == std::string_view::npos) return -1;
  long id = 0;
  std::size_t i = at + kKey.size();
  if (i >= message.size() || message[i] < '0' || message[i] > '9') return -1;
  for (; i < message.size() && message[i] >= '0' && message[i] <= '9' && id < 100000000; ++i) {
    id = id * 10 + (message[i] - '0');
  }
  return id;
}

class JsonFormatter : public spdlog::formatter {
 public:
  void format(const spdlog::details::log_msg& msg, spdlog::memory_buf_t& dest) override {
    const std::string_view payload(msg.payload.data(), msg.payload.size());
    const std::string_view logger(msg.logger_name.data(), msg.logger_name.size());
    const std::string line =
        json_log_line(msg.time, from_spdlog_level(msg.level), camera_of(logger, payload), payload);
    dest.append(line.data(), line.data() + line.size());
    dest.push_back('\n');
  }
  std::unique_ptr<spdlog::formatter> clone() const override {
    return std::make_unique<JsonFormatter>();
  }

 private:
  // A stream logger is "strovix:" + the stream's log name, or its URL without credentials.
  static std::string camera_of(std::string_view logger, std::string_view message) {
    constexpr std::string_view kPrefix = "strovix:";
    if (logger.substr(0, kPrefix.size()) == kPrefix) logger.remove_prefix(kPrefix.size());
    if (logger == "library" || logger.empty()) return {};
    if (logger.find("://") == std::string_view::npos) return std::string(logger);
    const long id = stream_id_in(message);
    return id >= 0 ? std::to_string(id) : std::string(logger);
  }
};

}  // namespace

std::string json_log_line(std::chrono::system_clock::time_point time, LogLevel level,
                          std::string_view camera, std::string_view message) {
  const auto row = static_cast<std::size_t>(level);
  std::string out = "{\"time\":\"" + utc_time(time) + "\",\"level\":\"" +
                    (row < std::size(kLevelNames) ? kLevelNames[row] : "info") + "\",\"camera\":";
  if (camera.empty()) {
    out += "null";
  } else {
    append_json_string(out, camera);
  }
  out += ",\"message\":";
  append_json_string(out, message);
  out += '}';
  return out;
}

std::unique_ptr<spdlog::formatter> json_log_formatter() {
  return std::make_unique<JsonFormatter>();
}

}  // namespace strovix
