#include "strovix/logger.hpp"

#include <glib.h>
#include <spdlog/sinks/dist_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <map>

#include "logging/debug_redaction.hpp"
#include "logging/url.hpp"

namespace strovix {
namespace {

class RedactingLogger : public spdlog::logger {
 public:
  RedactingLogger(std::string name, spdlog::sink_ptr sink, std::vector<std::string> secrets)
      : spdlog::logger(std::move(name), std::move(sink)),
        secrets_(std::move(secrets)),
        registration_(secrets_) {}

  std::string redact(std::string_view text) const { return redact_credentials(text, secrets_); }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    // Lines quote what cameras and servers said: one line each, nothing a terminal obeys.
    const std::string text = escape_control(
        detail::redact_text(std::string_view(msg.payload.data(), msg.payload.size()), secrets_));
    spdlog::details::log_msg redacted(msg.time, msg.source, msg.logger_name, msg.level, text);
    spdlog::logger::sink_it_(redacted);
  }

 private:
  const std::vector<std::string> secrets_;
  // GStreamer's debug output hides them as long as the stream's logger lives.
  const detail::SecretsRegistration registration_;
};

struct Registry {
  // Guards loggers.
  std::mutex mutex;
  std::map<std::string, std::weak_ptr<spdlog::logger>> loggers;
  std::shared_ptr<spdlog::sinks::dist_sink_mt> sink;
  // The default stderr sink, for set_log_format (a host may have removed it from `sink`).
  std::shared_ptr<spdlog::sinks::stderr_color_sink_mt> console;
  LogLevel level = LogLevel::info;

  Registry()
      : sink(std::make_shared<spdlog::sinks::dist_sink_mt>()),
        console(std::make_shared<spdlog::sinks::stderr_color_sink_mt>()) {
    console->set_pattern(kTextPattern);
    sink->add_sink(console);
  }
  static constexpr const char* kTextPattern = "[%Y-%m-%d %H:%M:%S.%e] [%l] [%n] %v";
};

Registry& registry() {
  // Never destroyed: loggers may be used by background threads during static destruction.
  static Registry* instance = new Registry();
  return *instance;
}

}  // namespace

std::shared_ptr<spdlog::sinks::dist_sink_mt> stream_log_sink() { return registry().sink; }

Logger library_logger() {
  // Never destroyed, like the registry: background threads may report during exit.
  static auto* logger = new Logger(get_stream_logger("library"));
  return *logger;
}

Logger get_stream_logger(const std::string& url) { return detail::stream_logger(url, {}); }

void set_log_format(LogFormat format) {
  auto& reg = registry();
  if (format == LogFormat::json) {
    reg.console->set_formatter(json_log_formatter());
  } else {
    reg.console->set_pattern(Registry::kTextPattern);
  }
}

namespace detail {

Logger stream_logger(const std::string& url, const std::vector<std::string>& more_secrets,
                     const std::string& name) {
  return stream_logger(parse_stream_url(url), more_secrets, name);
}

Logger stream_logger(const StreamUrl& parsed, const std::vector<std::string>& more_secrets,
                     const std::string& name) {
  auto& reg = registry();
  std::lock_guard lock(reg.mutex);
  // One logger per location and secrets: the URL's shared logger must not keep another
  // stream's secrets, nor miss them; one that knows more secrets, or has a name, is one of
  // its own.
  std::string key = parsed.location;
  for (const auto& secret : parsed.secrets) key += '\0' + secret;
  key += '\1';
  for (const auto& secret : more_secrets) key += '\0' + secret;
  if (!name.empty()) key += std::string(2, '\0') + name;
  if (auto existing = reg.loggers[key].lock()) return existing;
  std::vector<std::string> secrets = parsed.secrets;
  for (const auto& secret : more_secrets) {
    if (std::find(secrets.begin(), secrets.end(), secret) == secrets.end()) {
      secrets.push_back(secret);
    }
  }
  std::stable_sort(secrets.begin(), secrets.end(),
                   [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  const std::string shown = name.empty() ? parsed.display : redact_credentials(name, secrets);
  auto logger = std::make_shared<RedactingLogger>("strovix:" + shown, reg.sink, std::move(secrets));
  logger->set_level(to_spdlog_level(reg.level));
  reg.loggers[key] = logger;
  // Drop entries whose loggers are gone so that a long-lived host creating many streams
  // does not grow the map without bound.
  for (auto it = reg.loggers.begin(); it != reg.loggers.end();) {
    it = it->second.expired() ? reg.loggers.erase(it) : std::next(it);
  }
  return logger;
}

}  // namespace detail

// ---- levels ---------------------------------------------------------------------------------

namespace {

// The one map between the two: row i is the spdlog level of LogLevel i.
constexpr spdlog::level::level_enum kSpdlogLevels[] = {
    spdlog::level::trace, spdlog::level::debug,    spdlog::level::info, spdlog::level::warn,
    spdlog::level::err,   spdlog::level::critical, spdlog::level::off};
static_assert(std::size(kSpdlogLevels) == static_cast<std::size_t>(LogLevel::off) + 1,
              "one spdlog level per LogLevel");

}  // namespace

spdlog::level::level_enum to_spdlog_level(LogLevel level) {
  const auto row = static_cast<std::size_t>(level);
  return row < std::size(kSpdlogLevels) ? kSpdlogLevels[row] : spdlog::level::info;
}

LogLevel from_spdlog_level(spdlog::level::level_enum level) {
  for (std::size_t row = 0; row < std::size(kSpdlogLevels); ++row) {
    if (kSpdlogLevels[row] == level) return static_cast<LogLevel>(row);
  }
  return LogLevel::info;
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
