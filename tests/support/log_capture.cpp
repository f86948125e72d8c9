#include "support/log_capture.hpp"

#include <algorithm>
#include <chrono>

namespace strovix {

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
