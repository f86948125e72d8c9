// The library's log lines for Python's logging. Stream threads only append to a bounded
// queue under a mutex of its own; a Python thread takes the records (waiting without the GIL)
// and hands them to logging. No C++ thread ever calls into Python.
#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bindings.hpp"
#include "strovix/logger.hpp"

namespace strovix::python {

namespace {

struct Record {
  std::string name;
  int level;
  std::string text;
  double created;
};

// logging's numbers for the library's levels.
int python_level(LogLevel level) {
  switch (level) {
    case LogLevel::trace:
      return 5;
    case LogLevel::debug:
      return 10;
    case LogLevel::info:
      return 20;
    case LogLevel::warning:
      return 30;
    case LogLevel::error:
      return 40;
    case LogLevel::critical:
      return 50;
    case LogLevel::off:
      break;
  }
  return 20;
}

// "strovix:rtsp://host/path" becomes the logging name "strovix.rtsp://host/path".
std::string python_name(std::string_view name) {
  constexpr std::string_view prefix = "strovix:";
  if (name.substr(0, prefix.size()) == prefix) {
    return "strovix." + std::string(name.substr(prefix.size()));
  }
  return "strovix." + std::string(name);
}

class QueueSink final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  // A Python thread that stops taking records must not grow the queue without bound.
  static constexpr std::size_t CAPACITY = 10000;

  // Records queued so far, waiting up to `timeout` seconds for the first; none once stopped
  // and drained.
  std::optional<std::vector<Record>> take(double timeout) {
    std::unique_lock lock(mutex_);
    cond_.wait_for(lock, std::chrono::duration<double>(timeout),
                   [&] { return stopped_ || !records_.empty() || dropped_ > 0; });
    if (stopped_ && records_.empty() && dropped_ == 0) return std::nullopt;
    std::vector<Record> out(std::make_move_iterator(records_.begin()),
                            std::make_move_iterator(records_.end()));
    records_.clear();
    if (dropped_ > 0) {
      out.push_back(Record{
          "strovix", 30,
          std::to_string(dropped_) + " log records dropped: Python's logging did not keep up",
          now()});
      dropped_ = 0;
    }
    return out;
  }

  // Later records are dropped; those queued are still handed out.
  void stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    cond_.notify_all();
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    Record record{python_name(std::string_view(msg.logger_name.data(), msg.logger_name.size())),
                  python_level(from_spdlog_level(msg.level)),
                  std::string(msg.payload.data(), msg.payload.size()),
                  std::chrono::duration<double>(msg.time.time_since_epoch()).count()};
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    if (records_.size() >= CAPACITY) {
      ++dropped_;
    } else {
      records_.push_back(std::move(record));
    }
    cond_.notify_one();
  }
  void flush_() override {}

 private:
  static double now() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
  }

  // Guards records_, dropped_ and stopped_.
  std::mutex mutex_;
  std::condition_variable cond_;
  std::deque<Record> records_;
  std::size_t dropped_ = 0;
  bool stopped_ = false;
};

std::shared_ptr<QueueSink> g_sink;  // set once, under the GIL

std::shared_ptr<QueueSink> sink() {
  if (!g_sink) {
    g_sink = std::make_shared<QueueSink>();
    auto dist = stream_log_sink();
    // Python programs configure output through logging; the library's own stderr sink would
    // print every line a second time.
    for (const auto& s : std::vector<spdlog::sink_ptr>(dist->sinks())) {
      if (std::dynamic_pointer_cast<spdlog::sinks::stderr_color_sink_mt>(s)) dist->remove_sink(s);
    }
    dist->add_sink(g_sink);
  }
  return g_sink;
}

}  // namespace

void bind_log_bridge(py::module_& m) {
  m.def(
      "_take_log_records",
      [](double timeout) -> py::object {
        auto queue = sink();
        auto records = without_gil([&] { return queue->take(timeout); });
        if (!records) return py::none();
        py::list out;
        for (auto& r : *records) out.append(py::make_tuple(r.name, r.level, r.text, r.created));
        return out;
      },
      py::arg("timeout"),
      "Log records (name, level, text, created) queued by the library, waiting up to "
      "`timeout` seconds for one; None once the bridge is stopped.");
  m.def("_attach_log_bridge", [] { sink(); });
  m.def("_stop_log_bridge", [] { sink()->stop(); });
}

}  // namespace strovix::python
