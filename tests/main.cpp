// Test runner: starts GStreamer, fails the running test on any GLib/GStreamer CRITICAL or
// WARNING (usually a ref-count or property mistake), and deinitialises GStreamer at the end so
// leak checkers see a clean exit.
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <pthread.h>

#include <cstring>

#include "strovix/gobject_init.hpp"
#include "support/tolerated_quirks.hpp"

namespace {

void fail_on_glib_warning(const gchar* domain, GLogLevelFlags level, const gchar* message,
                          gpointer) {
  if (strovix::testing::is_tolerated_quirk(level, message)) return;
  const char* what = (level & G_LOG_LEVEL_CRITICAL) ? "CRITICAL" : "WARNING";
  // The thread's name tells a GStreamer streaming thread from a test server's or the test's.
  char thread[32] = "?";
  pthread_getname_np(pthread_self(), thread, sizeof thread);
  ADD_FAILURE() << "GLib " << what << " in " << (domain ? domain : "(none)") << " on thread "
                << thread << ": " << message;
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  strovix::gobject_init::start();
  for (const char* domain : strovix::testing::kWatchedLogDomains) {
    g_log_set_handler(domain,
                      static_cast<GLogLevelFlags>(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING),
                      fail_on_glib_warning, nullptr);
  }
  g_log_set_default_handler(
      [](const gchar* domain, GLogLevelFlags level, const gchar* message, gpointer data) {
        if (level & (G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING)) {
          fail_on_glib_warning(domain, level, message, data);
        } else {
          g_log_default_handler(domain, level, message, data);
        }
      },
      nullptr);
  int rc = RUN_ALL_TESTS();
  // gst_deinit is only safe once every pipeline is gone; tests that leak a thread on purpose
  // set STROVIX_TEST_NO_DEINIT.
  if (!g_getenv("STROVIX_TEST_NO_DEINIT")) gst_deinit();
  return rc;
}
