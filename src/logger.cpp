#include "strovix/logger.hpp"

#include <glib.h>
#include <spdlog/sinks/dist_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>

#include <algorithm>
#include <map>

namespace strovix {
namespace {

bool is_authority_end(char c) {
  return c == '/' || c == '?' || c == '#' || c == '"' || c == '\'' || c == '<' || c == '>' ||
         c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ')' || c == ',';
}

// Passwords (raw and percent-decoded) of the URL, which GStreamer's own texts may quote
// apart from the URL.
std::vector<std::string> secrets_of(const std::string& url) {
  std::vector<std::string> secrets;
  const auto scheme_end = url.find("://");
  if (scheme_end == std::string::npos) return secrets;
  const auto start = scheme_end + 3;
  auto end = start;
  while (end < url.size() && !is_authority_end(url[end])) ++end;
  const std::string authority = url.substr(start, end - start);
  const auto at = authority.rfind('@');
  if (at == std::string::npos) return secrets;
  const std::string userinfo = authority.substr(0, at);
  const auto colon = userinfo.find(':');
  if (colon == std::string::npos) return secrets;
  const std::string password = userinfo.substr(colon + 1);
  if (password.empty()) return secrets;
  secrets.push_back(userinfo);
  secrets.push_back(password);
  if (gchar* decoded = g_uri_unescape_string(password.c_str(), nullptr)) {
    if (password != decoded && *decoded) secrets.emplace_back(decoded);
    g_free(decoded);
  }
  // Longest first, so that a secret that contains another is replaced whole.
  std::sort(secrets.begin(), secrets.end(),
            [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  return secrets;
}

class RedactingLogger : public spdlog::logger {
 public:
  RedactingLogger(std::string name, spdlog::sink_ptr sink, std::vector<std::string> secrets)
      : spdlog::logger(std::move(name), std::move(sink)), secrets_(std::move(secrets)) {}

  std::string redact(std::string_view text) const { return redact_credentials(text, secrets_); }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    const std::string text =
        redact_credentials(std::string_view(msg.payload.data(), msg.payload.size()), secrets_);
    spdlog::details::log_msg redacted(msg.time, msg.source, msg.logger_name, msg.level, text);
    spdlog::logger::sink_it_(redacted);
  }

 private:
  const std::vector<std::string> secrets_;
};

struct Registry {
  // Guards loggers.
  std::mutex mutex;
  std::map<std::string, std::weak_ptr<spdlog::logger>> loggers;
  std::shared_ptr<spdlog::sinks::dist_sink_mt> sink;
  LogLevel level = LogLevel::info;

  Registry() : sink(std::make_shared<spdlog::sinks::dist_sink_mt>()) {
    auto console = std::make_shared<spdlog::sinks::stderr_color_sink_mt>();
    console->set_pattern("[%Y-%m-%d %H:%M:%S.%e] [%l] [%n] %v");
    sink->add_sink(console);
  }
};

Registry& registry() {
  // Never destroyed: loggers may be used by background threads during static destruction.
  static Registry* instance = new Registry();
  return *instance;
}

}  // namespace

std::string redact_credentials(std::string_view text, const std::vector<std::string>& secrets) {
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  for (;;) {
    const auto sep = text.find("://", pos);
    if (sep == std::string_view::npos) break;
    const auto start = sep + 3;
    auto end = start;
    while (end < text.size() && !is_authority_end(text[end])) ++end;
    const auto at = text.substr(start, end - start).rfind('@');
    out.append(text.substr(pos, start - pos));
    if (at != std::string_view::npos) {
      out.append(text.substr(start + at + 1, end - start - at - 1));
    } else {
      out.append(text.substr(start, end - start));
    }
    pos = end;
  }
  out.append(text.substr(pos));
  for (const auto& secret : secrets) {
    if (secret.empty()) continue;
    for (auto hit = out.find(secret); hit != std::string::npos; hit = out.find(secret, hit + 3)) {
      out.replace(hit, secret.size(), "***");
    }
  }
  return out;
}

std::shared_ptr<spdlog::sinks::dist_sink_mt> stream_log_sink() { return registry().sink; }

Logger library_logger() {
  // Never destroyed, like the registry: background threads may report during exit.
  static auto* logger = new Logger(get_stream_logger("library"));
  return *logger;
}

Logger get_stream_logger(const std::string& url) {
  auto& reg = registry();
  std::lock_guard lock(reg.mutex);
  if (auto existing = reg.loggers[url].lock()) return existing;
  auto logger = std::make_shared<RedactingLogger>(
      "strovix:" + redact_credentials(url, secrets_of(url)), reg.sink, secrets_of(url));
  logger->set_level(to_spdlog_level(reg.level));
  reg.loggers[url] = logger;
  // Drop entries whose loggers are gone so that a long-lived host creating many streams
  // does not grow the map without bound.
  for (auto it = reg.loggers.begin(); it != reg.loggers.end();) {
    it = it->second.expired() ? reg.loggers.erase(it) : std::next(it);
  }
  return logger;
}

// ---- levels ---------------------------------------------------------------------------------

spdlog::level::level_enum to_spdlog_level(LogLevel level) {
  switch (level) {
    case LogLevel::trace:
      return spdlog::level::trace;
    case LogLevel::debug:
      return spdlog::level::debug;
    case LogLevel::info:
      return spdlog::level::info;
    case LogLevel::warning:
      return spdlog::level::warn;
    case LogLevel::error:
      return spdlog::level::err;
    case LogLevel::critical:
      return spdlog::level::critical;
    case LogLevel::off:
      return spdlog::level::off;
  }
  return spdlog::level::info;
}

void set_log_level(LogLevel level) {
  auto& reg = registry();
  std::lock_guard lock(reg.mutex);
  reg.level = level;
  for (auto& [url, weak] : reg.loggers) {
    if (auto logger = weak.lock()) logger->set_level(to_spdlog_level(level));
  }
}

LogLevel log_level() {
  auto& reg = registry();
  std::lock_guard lock(reg.mutex);
  return reg.level;
}

std::string redact_for_logger(const Logger& logger, std::string_view text) {
  if (auto* redacting = dynamic_cast<const RedactingLogger*>(logger.get())) {
    return redacting->redact(text);
  }
  return redact_credentials(text);
}

}  // namespace strovix
