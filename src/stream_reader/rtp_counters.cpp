#include "stream_reader/rtp_counters.hpp"

#include <gio/gio.h>
#include <linux/sock_diag.h>
#include <sys/socket.h>

#include <atomic>
#include <cstring>
#include <new>

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

// Datagrams a UDP source has pushed on. Shared by the element (qdata) and its pad's probe,
// each holding a reference, so neither can outlive the count.
using Tally = std::atomic<std::uint64_t>;

GstPadProbeReturn count_datagram(GstPad*, GstPadProbeInfo* info, gpointer data) {
  std::uint64_t n = 1;
  if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER_LIST) {
    n = gst_buffer_list_length(GST_PAD_PROBE_INFO_BUFFER_LIST(info));
  }
  static_cast<Tally*>(data)->fetch_add(n, std::memory_order_relaxed);
  return GST_PAD_PROBE_OK;
}

// rtspsrc keeps its UDP sources playing after it has moved to TCP by itself, so only what
// they deliver tells which carries the stream. The count starts at the first look.
std::uint64_t datagrams(GstElement* udpsrc) {
  static const GQuark quark = g_quark_from_static_string("strovix-datagrams");
  auto* tally = static_cast<Tally*>(g_object_get_qdata(G_OBJECT(udpsrc), quark));
  if (tally) return tally->load(std::memory_order_relaxed);
  tally = new (g_atomic_rc_box_alloc0(sizeof(Tally))) Tally(0);  // trivially destroyed
  auto release = [](gpointer p) { g_atomic_rc_box_release(p); };
  g_object_set_qdata_full(G_OBJECT(udpsrc), quark, tally, release);
  PadPtr pad(gst_element_get_static_pad(udpsrc, "src"));
  if (pad) {
    gst_pad_add_probe(pad.get(),
                      GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
                      count_datagram, g_atomic_rc_box_acquire(tally), release);
  }
  return 0;
}

void add_udp_socket(GstElement* element, RtpCounters& counters) {
  counters.udp = true;
  counters.udp_datagrams += datagrams(element);
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
