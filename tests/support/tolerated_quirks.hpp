#pragma once
// The one table of GLib/GStreamer messages that are GStreamer's own faults, not misuses of
// ours: every test runner counts these out and fails a test on any other CRITICAL or WARNING.
#include <glib.h>

#include <cstring>

namespace strovix::testing {

struct ToleratedQuirk {
  GLogLevelFlags level;
  const char* message;  // the whole text
};

inline constexpr ToleratedQuirk kToleratedQuirks[] = {
    // rtspsrc in GStreamer 1.22 stamps the flush events of a teardown with a seek sequence
    // number it only sets once a seek happened; torn down while its connection is failing, it
    // trips this about its own event at random, more often under the sanitizers.
    {G_LOG_LEVEL_CRITICAL, "gst_event_set_seqnum: assertion 'seqnum != GST_SEQNUM_INVALID' failed"},
};

// The log domains whose CRITICALs and WARNINGs the runners watch (besides the default
// handler's).
inline constexpr const char* kWatchedLogDomains[] = {
    nullptr,           "GLib",           "GLib-GObject",          "GLib-GIO",
    "GStreamer",       "GStreamer-RTSP", "GStreamer-RTSP-Server", "GStreamer-App",
    "GStreamer-Video", "GStreamer-Base"};

inline bool is_tolerated_quirk(GLogLevelFlags level, const gchar* message) {
  if (!message) return false;
  for (const auto& quirk : kToleratedQuirks) {
    if ((level & quirk.level) && std::strcmp(message, quirk.message) == 0) return true;
  }
  return false;
}

}  // namespace strovix::testing
