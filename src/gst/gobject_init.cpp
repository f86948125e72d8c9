#include "strovix/gobject_init.hpp"

#include <gst/gst.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "logging/debug_redaction.hpp"

namespace strovix::gobject_init {
namespace {

std::once_flag g_once;
std::atomic<bool> g_started{false};

// Runs on "GLibMainLoop" for the life of the process: dispatches the bus watches that are
// attached to the global default main context. Never joined: it must not hold up exit.
void iterate_default_context() {
  GMainContext* context = g_main_context_default();
  // Owning the context makes this the thread that dispatches its sources.
  if (!g_main_context_acquire(context)) return;
  for (;;) g_main_context_iteration(context, TRUE);
}

}  // namespace

void start(MainContext main_context) {
  std::call_once(g_once, [main_context] {
    gst_init(nullptr, nullptr);
    // Elements quote locations and request headers in their debug output (GST_DEBUG).
    detail::install_gst_debug_redaction();
    if (main_context == MainContext::HOST) {
      g_started.store(true, std::memory_order_release);
      return;
    }
    std::thread loop(iterate_default_context);
    pthread_setname_np(loop.native_handle(), "GLibMainLoop");
    loop.detach();
    g_started.store(true, std::memory_order_release);
  });
}

bool is_started() { return g_started.load(std::memory_order_acquire); }

void assert_started() {
  if (!is_started()) {
    throw std::runtime_error(
        "GStreamer has not been started: call strovix::gobject_init::start() first");
  }
}

}  // namespace strovix::gobject_init
