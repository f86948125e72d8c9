#include "stream_reader/rtp_counters.hpp"

#include <gio/gio.h>
#include <linux/sock_diag.h>
#include <sys/socket.h>

#include <cstring>

#include "strovix/gst/handles.hpp"

#ifndef SO_MEMINFO
#define SO_MEMINFO 55
#endif

namespace strovix::detail {
namespace {

std::uint64_t field(const GstStructure* s, const char* name) {
  guint64 value = 0;
  return gst_structure_get_uint64(s, name, &value) ? value : 0;
}

void add_jitterbuffer(GstElement* element, RtpCounters& counters) {
  GstStructure* raw = nullptr;
  g_object_get(element, "stats", &raw, nullptr);
  if (!raw) return;
  counters.rtp = true;
  counters.received +=
      field(raw, "num-pushed") + field(raw, "num-late") + field(raw, "num-duplicates");
  counters.lost += field(raw, "num-lost");
  gst_structure_free(raw);
}

void add_udp_socket(GstElement* element, RtpCounters& counters) {
  counters.udp = true;
  GSocket* raw = nullptr;
  g_object_get(element, "used-socket", &raw, nullptr);
  if (!raw) return;
  GObjectPtr<GSocket> socket(raw);
  const int fd = g_socket_get_fd(raw);
  // Linux keeps a drop count per socket (the "drops" column of /proc/net/udp).
  std::uint32_t meminfo[SK_MEMINFO_VARS] = {};
  socklen_t length = sizeof(meminfo);
  if (getsockopt(fd, SOL_SOCKET, SO_MEMINFO, meminfo, &length) == 0 &&
      length > SK_MEMINFO_DROPS * sizeof(std::uint32_t)) {
    counters.kernel_drops += meminfo[SK_MEMINFO_DROPS];
  }
  int buffer = 0;
  length = sizeof(buffer);
  if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, &length) == 0 &&
      buffer > counters.udp_receive_buffer) {
    counters.udp_receive_buffer = buffer;
  }
}

void add_element(GstElement* element, RtpCounters& counters) {
  GstElementFactory* factory = gst_element_get_factory(element);  // borrowed
  const char* name = factory ? GST_OBJECT_NAME(factory) : "";
  if (std::strcmp(name, "rtpjitterbuffer") == 0) add_jitterbuffer(element, counters);
  if (std::strcmp(name, "udpsrc") == 0) add_udp_socket(element, counters);
}

}  // namespace

RtpCounters read_rtp_counters(GstElement* pipeline) {
  RtpCounters counters;
  if (!pipeline || !GST_IS_BIN(pipeline)) return counters;
  GstIterator* it = gst_bin_iterate_recurse(GST_BIN(pipeline));
  GValue item = G_VALUE_INIT;
  // rtspsrc adds and removes elements while streams are set up: start over then, a few
  // times at most.
  for (int attempt = 0; attempt < 8;) {
    const GstIteratorResult result = gst_iterator_next(it, &item);
    if (result == GST_ITERATOR_OK) {
      add_element(GST_ELEMENT(g_value_get_object(&item)), counters);
      g_value_reset(&item);
    } else if (result == GST_ITERATOR_RESYNC) {
      gst_iterator_resync(it);
      counters = RtpCounters{};
      ++attempt;
    } else {
      break;
    }
  }
  g_value_unset(&item);
  gst_iterator_free(it);
  return counters;
}

}  // namespace strovix::detail
