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

Logger get_stream_logger(const std::string& url) {
  auto& reg = registry();
  std::lock_guard lock(reg.mutex);
  if (auto existing = reg.loggers[url].lock()) return existing;
  auto logger = std::make_shared<RedactingLogger>("strovix:" + redact_credentials(url, secrets_of(url)),
                                                  reg.sink, secrets_of(url));
  logger->set_level(spdlog::level::info);
  reg.loggers[url] = logger;
  // Drop entries whose loggers are gone so that a long-lived host creating many streams
  // does not grow the map without bound.
  for (auto it = reg.loggers.begin(); it != reg.loggers.end();) {
    it = it->second.expired() ? reg.loggers.erase(it) : std::next(it);
  }
  return logger;
}

// ---- capture sink --------------------------------------------------------------------------

void LineCaptureSink::sink_it_(const spdlog::details::log_msg& msg) {
  std::lock_guard lock(lines_mutex_);
  lines_.push_back(Line{msg.level, std::string(msg.logger_name.data(), msg.logger_name.size()),
                        std::string(msg.payload.data(), msg.payload.size())});
  cond_.notify_all();
}

std::vector<LineCaptureSink::Line> LineCaptureSink::lines() const {
  std::lock_guard lock(lines_mutex_);
  return lines_;
}

std::vector<std::string> LineCaptureSink::texts() const {
  std::lock_guard lock(lines_mutex_);
  std::vector<std::string> out;
  out.reserve(lines_.size());
  for (const auto& line : lines_) out.push_back(line.text);
  return out;
}

void LineCaptureSink::clear() {
  std::lock_guard lock(lines_mutex_);
  lines_.clear();
}

std::size_t LineCaptureSink::count(std::string_view needle) const {
  std::lock_guard lock(lines_mutex_);
  return static_cast<std::size_t>(std::count_if(lines_.begin(), lines_.end(), [&](const Line& l) {
    return l.text.find(needle) != std::string::npos;
  }));
}

bool LineCaptureSink::wait_for(std::string_view needle, double timeout_seconds) const {
  return wait_for_count(needle, 1, timeout_seconds);
}

bool LineCaptureSink::wait_for_count(std::string_view needle, std::size_t wanted,
                                     double timeout_seconds) const {
  std::unique_lock lock(lines_mutex_);
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(timeout_seconds));
  return cond_.wait_until(lock, deadline, [&] {
    std::size_t n = 0;
    for (const auto& l : lines_) n += l.text.find(needle) != std::string::npos;
    return n >= wanted;
  });
}

ScopedLogCapture::ScopedLogCapture() : sink_(std::make_shared<LineCaptureSink>()) {
  stream_log_sink()->add_sink(sink_);
}

ScopedLogCapture::~ScopedLogCapture() { stream_log_sink()->remove_sink(sink_); }

}  // namespace strovix
