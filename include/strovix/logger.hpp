#pragma once
#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/dist_sink.h>
#include <spdlog/spdlog.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace strovix {

using Logger = std::shared_ptr<spdlog::logger>;

// The logger of the stream with this URL: one per URL, shared by every object of the
// stream. Its name is "strovix:" + the URL with its credentials removed, and every line it
// writes has the URL's user:password removed as well.
Logger get_stream_logger(const std::string& url);

// `text` with the userinfo ("user:password@") of every URL in it removed, and with every
// occurrence of the given secrets of four bytes or more replaced by "***". Fails closed:
// where a URL's userinfo cannot be delimited with certainty (a quote, comma or blank inside
// it, or a host that is not one), everything up to the line's last '@' becomes "***".
std::string redact_credentials(std::string_view text, const std::vector<std::string>& secrets = {});

// The URL without its user name and password, for display.
std::string redact_url(std::string_view url);

// Every form in which the URL's password could be quoted (as typed, percent-decoded and
// -encoded, "user:password" and its base64), for redact_credentials; empty without one.
std::vector<std::string> url_secrets(std::string_view url);

// The sink that every stream logger writes to. Hosts may add sinks to it or remove the
// default stderr sink (spdlog's dist_sink is thread-safe for that).
std::shared_ptr<spdlog::sinks::dist_sink_mt> stream_log_sink();

// A sink that keeps every line it receives, for tests and tools that read the log back.
class LineCaptureSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  struct Line {
    spdlog::level::level_enum level;
    std::string logger_name;
    std::string text;
  };
  std::vector<Line> lines() const;
  std::vector<std::string> texts() const;
  void clear();
  // Waits until some captured line contains `needle`; returns whether one did in time.
  bool wait_for(std::string_view needle, double timeout_seconds) const;
  // Waits until at least `count` lines contain `needle`.
  bool wait_for_count(std::string_view needle, std::size_t count, double timeout_seconds) const;
  std::size_t count(std::string_view needle) const;

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override;
  void flush_() override {}

 private:
  // Guards lines_ (the base class's mutex is not usable from const readers).
  mutable std::mutex lines_mutex_;
  std::vector<Line> lines_;
  mutable std::condition_variable cond_;
};

// Attaches a new capture sink to stream_log_sink() and detaches it on destruction.
class ScopedLogCapture {
 public:
  ScopedLogCapture();
  ~ScopedLogCapture();
  ScopedLogCapture(const ScopedLogCapture&) = delete;
  ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;
  LineCaptureSink& operator*() const { return *sink_; }
  LineCaptureSink* operator->() const { return sink_.get(); }
  std::shared_ptr<LineCaptureSink> sink() const { return sink_; }

 private:
  std::shared_ptr<LineCaptureSink> sink_;
};

}  // namespace strovix
