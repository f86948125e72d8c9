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

#include "strovix/export.hpp"

namespace strovix {

using Logger = std::shared_ptr<spdlog::logger>;

// The logger of the stream with this URL: one per URL, shared by every object of the
// stream. Its name is "strovix:" + the URL with its credentials removed, and every line it
// writes has the URL's user:password removed as well.
STROVIX_EXPORT Logger get_stream_logger(const std::string& url);

// `text` with the userinfo ("user:password@") of every URL in it removed, and with every
// occurrence of the given secrets replaced by "***".
STROVIX_EXPORT std::string redact_credentials(std::string_view text,
                                              const std::vector<std::string>& secrets = {});

// The sink that every stream logger writes to. Hosts may add sinks to it or remove the
// default stderr sink (spdlog's dist_sink is thread-safe for that).
STROVIX_EXPORT std::shared_ptr<spdlog::sinks::dist_sink_mt> stream_log_sink();

// A sink that keeps every line it receives, for tests and tools that read the log back.
// Like ScopedLogCapture, a test helper: not exported from the shared library.
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
