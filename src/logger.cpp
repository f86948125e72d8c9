#include "strovix/logger.hpp"

#include <glib.h>
#include <spdlog/sinks/dist_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>

#include <algorithm>
#include <map>

#include "debug_redaction.hpp"
#include "url.hpp"

namespace strovix {
namespace {

class RedactingLogger : public spdlog::logger {
 public:
  RedactingLogger(std::string name, spdlog::sink_ptr sink, std::vector<std::string> secrets)
      : spdlog::logger(std::move(name), std::move(sink)),
        secrets_(std::move(secrets)),
        registration_(secrets_) {}

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    const std::string text =
        detail::redact_text(std::string_view(msg.payload.data(), msg.payload.size()), secrets_);
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
  return detail::redact_text(text, secrets);
}

std::string redact_url(std::string_view url) { return detail::parse_stream_url(url).display; }

std::vector<std::string> url_secrets(std::string_view url) {
  return detail::parse_stream_url(url).secrets;
}

std::shared_ptr<spdlog::sinks::dist_sink_mt> stream_log_sink() { return registry().sink; }

Logger get_stream_logger(const std::string& url) {
  auto& reg = registry();
  std::lock_guard lock(reg.mutex);
  if (auto existing = reg.loggers[url].lock()) return existing;
  const detail::StreamUrl parsed = detail::parse_stream_url(url);
  auto logger =
      std::make_shared<RedactingLogger>("strovix:" + parsed.display, reg.sink, parsed.secrets);
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
