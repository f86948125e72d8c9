#pragma once
// Log capture for tests: every line a stream logger writes, read back and waited for.
#include <spdlog/sinks/base_sink.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "strovix/logger.hpp"

namespace strovix {

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
