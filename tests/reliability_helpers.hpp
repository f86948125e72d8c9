#pragma once
// Shared by the reliability tests: frame waits, time bounds that hold under the sanitizers,
// a deadlock guard, a quiet console and a figures file for the report.
#include <glib.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "stream_reader/clock.hpp"
#include "stream_reader/named_thread.hpp"
#include "strovix/logger.hpp"
#include "strovix/stream_reader/gst.hpp"
#include "support/tolerated_quirks.hpp"

namespace strovix::reliability {

// Time bounds are stretched under the sanitizers, which slow GStreamer's own code as well.
inline double time_scale() {
#if defined(__SANITIZE_THREAD__)
  return 5.0;
#elif defined(__SANITIZE_ADDRESS__)
  return 3.0;
#else
  return 1.0;
#endif
}

inline bool under_sanitizer() { return time_scale() > 1.0; }

inline double now_seconds() { return detail::wall_clock_seconds(); }

inline double steady_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Waits for a frame with an image pulled at or after `not_before` (wall clock); false when
// none came within `timeout` seconds.
inline bool next_frame(GstStreamReader& reader, Frame* out, double timeout,
                       double not_before = 0.0) {
  const double deadline = steady_seconds() + timeout;
  while (steady_seconds() < deadline) {
    if (!reader.latest_frame_event()->wait(0.25)) continue;
    Frame f = reader.latest_frame();
    if (f.image && f.timestamp >= not_before) {
      if (out) *out = f;
      return true;
    }
  }
  return false;
}

// Runs `body` on a thread of its own and returns the seconds it took. A body still running
// after `hard_limit` seconds is a deadlock: the process is ended with a message, since a
// stuck thread can neither be joined nor abandoned safely.
template <class F>
double timed(const std::string& what, double hard_limit, F&& body) {
  const double start = steady_seconds();
  std::packaged_task<void()> task(std::forward<F>(body));
  auto done = task.get_future();
  std::thread runner(std::move(task));
  if (done.wait_for(std::chrono::duration<double>(hard_limit)) != std::future_status::ready) {
    std::fprintf(stderr, "DEADLOCK: '%s' still running after %.1f s\n", what.c_str(), hard_limit);
    std::fflush(stderr);
    std::abort();
  }
  runner.join();
  done.get();  // rethrows what the body threw
  return steady_seconds() - start;
}

// Appends a line to the figures file (STROVIX_FIGURES_FILE, or reliability_figures.txt in
// the working directory) and prints it, so the numbers survive a passing ctest run.
inline void figure(const std::string& line) {
  const char* path = std::getenv("STROVIX_FIGURES_FILE");
  std::ofstream out(path && *path ? path : "reliability_figures.txt", std::ios::app);
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string prefix =
      info ? std::string(info->test_suite_name()) + "." + info->name() + ": " : "";
  out << prefix << line << (under_sanitizer() ? " [sanitizer build]" : "") << "\n";
  std::cout << "FIGURE " << prefix << line << std::endl;
}

// Takes every sink off the stream loggers' shared sink for its lifetime (putting `keep` in
// their place) and puts them back afterwards: for tests whose log volume (a thousand
// restarts, a 1 MiB URL in a logger name) would bury the ctest output.
class QuietConsole {
 public:
  explicit QuietConsole(std::shared_ptr<spdlog::sinks::sink> keep = nullptr)
      : saved_(stream_log_sink()->sinks()) {
    std::vector<std::shared_ptr<spdlog::sinks::sink>> only;
    if (keep) only.push_back(std::move(keep));
    stream_log_sink()->set_sinks(std::move(only));
  }
  ~QuietConsole() { stream_log_sink()->set_sinks(saved_); }
  QuietConsole(const QuietConsole&) = delete;
  QuietConsole& operator=(const QuietConsole&) = delete;

 private:
  std::vector<std::shared_ptr<spdlog::sinks::sink>> saved_;
};

// For its lifetime, counts the tolerated GStreamer quirks (rtspsrc's teardown CRITICAL) of the
// "GStreamer" domain instead of only passing them over; every other GLib CRITICAL or WARNING
// of that domain still fails the test, as the test runner does.
class ToleratedRtspsrcCritical {
 public:
  ToleratedRtspsrcCritical()
      : id_(g_log_set_handler(
            "GStreamer", static_cast<GLogLevelFlags>(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING),
            &ToleratedRtspsrcCritical::handle, this)) {}
  ~ToleratedRtspsrcCritical() { g_log_remove_handler("GStreamer", id_); }
  ToleratedRtspsrcCritical(const ToleratedRtspsrcCritical&) = delete;
  ToleratedRtspsrcCritical& operator=(const ToleratedRtspsrcCritical&) = delete;
  int count() const { return count_.load(); }

 private:
  static void handle(const gchar* domain, GLogLevelFlags level, const gchar* message,
                     gpointer self) {
    if (strovix::testing::is_tolerated_quirk(level, message)) {
      ++static_cast<ToleratedRtspsrcCritical*>(self)->count_;
      return;
    }
    ADD_FAILURE() << "GLib " << ((level & G_LOG_LEVEL_CRITICAL) ? "CRITICAL" : "WARNING") << " in "
                  << (domain ? domain : "(none)") << ": " << message;
  }
  const guint id_;
  std::atomic<int> count_{0};
};

// RtspTestServer's destruction closes the clients still connected from the calling thread,
// which races with gst-rtsp-server's own client thread (seen: that thread spinning on the
// closed connection with GLib criticals until the process ends). Readers' connections close
// by themselves once the readers are gone; wait for that (a bounded poll: nothing signals
// it) before a server is destroyed.
template <class Server>
bool wait_for_clients_to_leave(const Server& server, double timeout_seconds) {
  const double deadline = steady_seconds() + timeout_seconds;
  while (server.client_count() > 0 && steady_seconds() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return server.client_count() == 0;
}

}  // namespace strovix::reliability
