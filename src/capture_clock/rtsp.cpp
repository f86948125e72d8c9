#include "capture_clock/rtsp.hpp"

#include <memory>

#include "capture_clock/capture_clock.hpp"
#include "strovix/gst/handles.hpp"

namespace strovix::detail {
namespace {

using ClockPtr = std::shared_ptr<CaptureClock>;

GQuark clock_quark() {
  static const GQuark quark = g_quark_from_static_string("strovix-capture-clock");
  return quark;
}

void delete_clock(gpointer data) { delete static_cast<ClockPtr*>(data); }

template <class Callback>
void connect_with_clock(gpointer instance, const char* signal, Callback callback,
                        const ClockPtr& clock) {
  g_signal_connect_data(
      instance, signal, G_CALLBACK(callback), new ClockPtr(clock),
      [](gpointer data, GClosure*) { delete_clock(data); }, GConnectFlags(0));
}

std::uint32_t read_be32(const guint8* p) {
  return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) |
         std::uint32_t(p[3]);
}

// Reads the RTP header by hand (timestamp at byte 4, SSRC at byte 8): the fixed header is
// all that is needed, and the RTP library would be a dependency of its own.
void note_packet(CaptureClock& clock, GstBuffer* buffer) {
  if (!GST_BUFFER_PTS_IS_VALID(buffer)) return;
  guint8 header[12];
  if (gst_buffer_extract(buffer, 0, header, sizeof(header)) != sizeof(header)) return;
  if ((header[0] >> 6) != 2) return;
  clock.on_packet(read_be32(header + 8), read_be32(header + 4), GST_BUFFER_PTS(buffer));
}

// Runs on the jitter buffer's streaming thread.
GstPadProbeReturn on_rtp(GstPad*, GstPadProbeInfo* info, gpointer data) {
  CaptureClock& clock = **static_cast<ClockPtr*>(data);
  if (info->type & GST_PAD_PROBE_TYPE_BUFFER) {
    note_packet(clock, GST_PAD_PROBE_INFO_BUFFER(info));
  } else if (info->type & GST_PAD_PROBE_TYPE_BUFFER_LIST) {
    GstBufferList* list = GST_PAD_PROBE_INFO_BUFFER_LIST(info);
    for (guint i = 0; i < gst_buffer_list_length(list); ++i) {
      note_packet(clock, gst_buffer_list_get(list, i));
    }
  }
  return GST_PAD_PROBE_OK;
}

// Only video pads: an audio stream's packets would crowd the video frames out of the clock.
void on_pad_added(GstElement*, GstPad* pad, gpointer data) {
  CapsPtr caps(gst_pad_get_current_caps(pad));
  if (!caps) caps.reset(gst_pad_query_caps(pad, nullptr));
  const GstStructure* s =
      caps && !gst_caps_is_empty(caps.get()) ? gst_caps_get_structure(caps.get(), 0) : nullptr;
  const bool video = s && g_strcmp0(gst_structure_get_string(s, "media"), "video") == 0;
  caps.reset();
  if (!video) return;
  gst_pad_add_probe(pad,
                    GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
                    on_rtp, new ClockPtr(*static_cast<ClockPtr*>(data)), delete_clock);
}

// The jitter buffer serves one source; its SSRC comes with it.
struct SyncTarget {
  ClockPtr clock;
  guint ssrc;
};

// Runs on the thread that brings in the RTCP packet (its udpsrc, or rtspsrc's over TCP).
void on_handle_sync(GstElement*, GstStructure* s, gpointer data) {
  const auto& target = *static_cast<SyncTarget*>(data);
  guint64 rtp_time = 0, ntp_ns = 0;
  guint clock_rate = 0;
  // A sync from an RTP header extension carries "inband-" fields instead: not a report.
  if (!s || !gst_structure_get_uint64(s, "sr-ext-rtptime", &rtp_time) ||
      !gst_structure_get_uint64(s, "sr-ntpnstime", &ntp_ns) ||
      !gst_structure_get_uint(s, "clock-rate", &clock_rate)) {
    return;
  }
  target.clock->on_report(target.ssrc, rtp_time, ntp_ns, clock_rate);
}

void on_new_jitterbuffer(GstElement*, GstElement* jitterbuffer, guint, guint ssrc, gpointer data) {
  g_signal_connect_data(
      jitterbuffer, "handle-sync", G_CALLBACK(on_handle_sync),
      new SyncTarget{*static_cast<ClockPtr*>(data), ssrc},
      [](gpointer p, GClosure*) { delete static_cast<SyncTarget*>(p); }, GConnectFlags(0));
}

void on_new_manager(GstElement*, GstElement* manager, gpointer data) {
  if (!g_signal_lookup("new-jitterbuffer", G_OBJECT_TYPE(manager))) return;
  connect_with_clock(manager, "new-jitterbuffer", on_new_jitterbuffer,
                     *static_cast<ClockPtr*>(data));
}

}  // namespace

void attach_capture_clock(GstElement* pipeline, GstElement* rtspsrc) {
  auto clock = std::make_shared<CaptureClock>();
  connect_with_clock(rtspsrc, "new-manager", on_new_manager, clock);
  connect_with_clock(rtspsrc, "pad-added", on_pad_added, clock);
  g_object_set_qdata_full(G_OBJECT(pipeline), clock_quark(), new ClockPtr(clock), delete_clock);
}

std::optional<double> capture_time_of(GstElement* pipeline, GstSample* sample) {
  // Borrowed: the pipeline element, which the caller holds, owns it.
  auto* clock = static_cast<ClockPtr*>(g_object_get_qdata(G_OBJECT(pipeline), clock_quark()));
  if (!clock || !sample) return std::nullopt;
  GstBuffer* buffer = gst_sample_get_buffer(sample);
  if (!buffer || !GST_BUFFER_PTS_IS_VALID(buffer)) return std::nullopt;
  return (*clock)->capture_time(GST_BUFFER_PTS(buffer));
}

}  // namespace strovix::detail
