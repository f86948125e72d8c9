#include "gst/damage_gate.hpp"

#include <gst/video/video.h>

#include <algorithm>

#include "gst/buffer_filter.hpp"

namespace strovix::detail {
namespace {

using TrackerPtr = std::shared_ptr<DamageTracker>;

// H.264: a slice whose first macroblock is 0 (ue(v) 0 is a single 1 bit), or a NAL that may
// only precede a picture's first slice (SEI, SPS, PPS, access unit delimiter).
bool h264_nal_begins(const guint8* nal, gsize size) {
  if (size < 1) return false;
  const int type = nal[0] & 0x1f;
  if (type >= 6 && type <= 9) return true;
  return type >= 1 && type <= 5 && size >= 2 && (nal[1] & 0x80);
}

bool h264_begins(const guint8* p, gsize size) {
  if (size < 2) return false;
  const int type = p[0] & 0x1f;
  if (type == 24) return size >= 4 && h264_nal_begins(p + 3, size - 3);  // STAP-A
  if (type == 28) {                                                      // FU-A
    if (!(p[1] & 0x80) || size < 3) return false;
    const guint8 header[2] = {static_cast<guint8>((p[0] & 0xe0) | (p[1] & 0x1f)), p[2]};
    return h264_nal_begins(header, 2);
  }
  return h264_nal_begins(p, size);
}

// H.265: a slice segment with first_slice_segment_in_pic_flag, or VPS, SPS, PPS, access unit
// delimiter, prefix SEI.
bool h265_nal_begins(int type, const guint8* after_header, gsize size) {
  if (type >= 32 && type <= 35) return true;
  if (type == 39) return true;
  return type <= 31 && size >= 1 && (after_header[0] & 0x80);
}

bool h265_begins(const guint8* p, gsize size) {
  if (size < 3) return false;
  const int type = (p[0] >> 1) & 0x3f;
  if (type == 48) {  // aggregation packet: 2-byte size, then the first NAL's header
    return size >= 7 && h265_nal_begins((p[4] >> 1) & 0x3f, p + 6, size - 6);
  }
  if (type == 49) {  // fragmentation unit
    if (!(p[2] & 0x80) || size < 4) return false;
    return h265_nal_begins(p[2] & 0x3f, p + 3, size - 3);
  }
  return h265_nal_begins(type, p + 2, size - 2);
}

GstPadProbeReturn on_rtp(GstPad*, GstPadProbeInfo* info, gpointer data) noexcept {
  DamageTracker& tracker = **static_cast<TrackerPtr*>(data);
  if (info->type & GST_PAD_PROBE_TYPE_BUFFER) {
    if (GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info)) tracker.on_packet(buffer);
  } else if (info->type & GST_PAD_PROBE_TYPE_BUFFER_LIST) {
    GstBufferList* list = GST_PAD_PROBE_INFO_BUFFER_LIST(info);
    for (guint i = 0; list && i < gst_buffer_list_length(list); ++i) {
      tracker.on_packet(gst_buffer_list_get(list, i));
    }
  } else if (info->type & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) {
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    switch (GST_EVENT_TYPE(event)) {
      case GST_EVENT_CUSTOM_DOWNSTREAM:
        if (gst_event_has_name(event, "GstRTPPacketLost")) {
          tracker.on_packet_lost();
          return GST_PAD_PROBE_DROP;
        }
        break;
      case GST_EVENT_FLUSH_STOP:
      case GST_EVENT_STREAM_START:
        tracker.reset_sequence();
        break;
      default:
        break;
    }
  }
  return GST_PAD_PROBE_OK;
}

GstPadProbeReturn on_encoded(GstPad* pad, GstPadProbeInfo* info, gpointer data) noexcept {
  DamageTracker& tracker = **static_cast<TrackerPtr*>(data);
  if (info->type & GST_PAD_PROBE_TYPE_EVENT_FLUSH) {
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    if (GST_EVENT_TYPE(event) == GST_EVENT_FLUSH_STOP) tracker.reset_decoder();
    return GST_PAD_PROBE_OK;
  }
  bool drain = false;
  const GstPadProbeReturn result = keep_buffers(info, [&](GstBuffer* buffer) {
    const auto verdict = tracker.on_frame(buffer);
    if (verdict == DamageTracker::Verdict::DROP_AND_DRAIN) drain = true;
    return verdict == DamageTracker::Verdict::PASS;
  });
  if (drain) {
    gst_pad_send_event(pad, gst_video_event_new_still_frame(TRUE));
    gst_pad_send_event(pad, gst_video_event_new_still_frame(FALSE));
  }
  return result;
}

GstPadProbeReturn on_picture(GstPad*, GstPadProbeInfo* info, gpointer data) noexcept {
  DamageTracker& tracker = **static_cast<TrackerPtr*>(data);
  return keep_buffers(info, [&](GstBuffer* buffer) { return tracker.on_decoded(buffer); });
}

void delete_tracker(gpointer data) { delete static_cast<TrackerPtr*>(data); }

}  // namespace

RtpCodec rtp_codec_of(const std::string& codec) {
  if (codec == "h264") return RtpCodec::H264;
  if (codec == "h265") return RtpCodec::H265;
  if (codec == "jpeg") return RtpCodec::JPEG;
  return RtpCodec::OTHER;
}

bool begins_picture(RtpCodec codec, const guint8* payload, gsize size) {
  switch (codec) {
    case RtpCodec::H264:
      return h264_begins(payload, size);
    case RtpCodec::H265:
      return h265_begins(payload, size);
    case RtpCodec::JPEG:  // the JPEG header's 24-bit fragment offset
      return size >= 4 && payload[1] == 0 && payload[2] == 0 && payload[3] == 0;
    case RtpCodec::OTHER:
      break;
  }
  return false;
}

DamageTracker::DamageTracker(RtpCodec codec, std::shared_ptr<LossCounters> counters)
    : _codec(codec), _counters(std::move(counters)) {
  _damaged.fill(GST_CLOCK_TIME_NONE);
}

void DamageTracker::on_packet(GstBuffer* rtp) {
  GstMapInfo map;
  if (!gst_buffer_map(rtp, &map, GST_MAP_READ)) return;
  const guint8* p = map.data;
  const gsize size = map.size;
  if (size < 12 || (p[0] >> 6) != 2) {
    gst_buffer_unmap(rtp, &map);
    return;
  }
  const bool marker = p[1] & 0x80;
  const auto sequence = static_cast<guint16>((p[2] << 8) | p[3]);
  gsize offset = 12 + 4 * static_cast<gsize>(p[0] & 0x0f);
  if ((p[0] & 0x10) && offset + 4 <= size) {
    offset += 4 + 4 * static_cast<gsize>((p[offset + 2] << 8) | p[offset + 3]);
  }
  const GstClockTime pts = GST_BUFFER_PTS(rtp);
  std::lock_guard lock(_mutex);
  if (_counters) _counters->packets_received.fetch_add(1, std::memory_order_relaxed);
  if (_have_sequence) {
    const auto gap = static_cast<guint16>(sequence - _expected);
    // A packet from before the expected one (duplicated or reordered past the jitter
    // buffer) changes nothing.
    if (gap >= 0x8000) {
      gst_buffer_unmap(rtp, &map);
      return;
    }
    if (gap > 0) {
      if (_counters) _counters->packets_lost.fetch_add(gap, std::memory_order_relaxed);
      _pending_loss = true;
      // Which of the next frames to reach the gate miss data: the previous picture when its
      // tail (the marker) is gone, and this packet's picture unless it starts here. The
      // depayloader flushes a picture that lost its marker only when the next one arrives,
      // under the next one's time, so these are counted in order as well as marked by time.
      const bool head = offset < size && begins_picture(_codec, p + offset, size - offset);
      const bool same_picture = !_previous_marker && pts == _previous_pts;
      if (!_previous_marker) mark_damaged(_previous_pts);
      if (!head) mark_damaged(pts);
      _damaged_frames += same_picture ? 1 : (!_previous_marker ? 1 : 0) + (!head ? 1 : 0);
    }
  }
  gst_buffer_unmap(rtp, &map);
  _have_sequence = true;
  _expected = static_cast<guint16>(sequence + 1);
  _previous_marker = marker;
  _previous_pts = pts;
}

void DamageTracker::on_packet_lost() {
  std::lock_guard lock(_mutex);
  _pending_loss = true;
}

void DamageTracker::reset_sequence() {
  std::lock_guard lock(_mutex);
  _have_sequence = false;
  _previous_marker = true;
  _damaged_frames = 0;
}

void DamageTracker::mark_damaged(GstClockTime pts) {
  if (!GST_CLOCK_TIME_IS_VALID(pts)) return;
  _damaged[_next_damaged] = pts;
  _next_damaged = (_next_damaged + 1) % _damaged.size();
}

bool DamageTracker::is_damaged(GstClockTime pts) const {
  return GST_CLOCK_TIME_IS_VALID(pts) &&
         std::find(_damaged.begin(), _damaged.end(), pts) != _damaged.end();
}

void DamageTracker::count_dropped() {
  if (_counters) _counters->frames_damaged_dropped.fetch_add(1, std::memory_order_relaxed);
}

DamageTracker::Verdict DamageTracker::on_frame(GstBuffer* encoded) {
  std::lock_guard lock(_mutex);
  const Verdict verdict = judge(encoded);
  if (verdict == Verdict::PASS) {
    note_passed(GST_BUFFER_PTS(encoded),
                !GST_BUFFER_FLAG_IS_SET(encoded, GST_BUFFER_FLAG_DELTA_UNIT));
  }
  return verdict;
}

DamageTracker::Verdict DamageTracker::judge(GstBuffer* encoded) {
  const GstClockTime pts = GST_BUFFER_PTS(encoded);
  const bool keyframe = !GST_BUFFER_FLAG_IS_SET(encoded, GST_BUFFER_FLAG_DELTA_UNIT);
  const bool was_waiting = _waiting;
  if (_pending_loss || is_damaged(pts)) {
    _pending_loss = false;
    _waiting = true;
  }
  const bool counted = _damaged_frames > 0;
  if (counted) {
    --_damaged_frames;
    _waiting = true;
  }
  if (keyframe && !counted && !is_damaged(pts)) {
    _resume_pts = was_waiting || _waiting ? pts : GST_CLOCK_TIME_NONE;
    _waiting = false;
    return Verdict::PASS;
  }
  const bool leading =
      GST_CLOCK_TIME_IS_VALID(_resume_pts) && GST_CLOCK_TIME_IS_VALID(pts) && pts < _resume_pts;
  if (!_waiting && !leading) return Verdict::PASS;
  count_dropped();
  return _waiting && !was_waiting ? Verdict::DROP_AND_DRAIN : Verdict::DROP;
}

void DamageTracker::note_passed(GstClockTime pts, bool keyframe) {
  const guint64 index = _next_index++;
  if (keyframe && _broken && _broken_until == G_MAXUINT64) _broken_until = index;
  // Without a time the decoder's output cannot be matched to it.
  if (!GST_CLOCK_TIME_IS_VALID(pts)) return;
  _passed[index % _passed.size()] = {pts, index, keyframe, false, false};
}

void DamageTracker::note_swallowed(guint64 first) {
  // The first keyframe the gate passed after the swallowed frame, and the decoder did not
  // swallow too, ends the damage; until one does, the gate waits for it.
  guint64 until = G_MAXUINT64;
  for (const Passed& p : _passed) {
    if (p.keyframe && !p.swallowed && p.index > first && p.index < until) until = p.index;
  }
  if (until == G_MAXUINT64) _pending_loss = true;
  if (!_broken) {
    _broken = true;
    _broken_from = first;
    _broken_until = until;
  } else {
    _broken_from = std::min(_broken_from, first);
    _broken_until = std::max(_broken_until, until);
  }
}

bool DamageTracker::on_decoded(GstBuffer* picture) {
  const GstClockTime pts = GST_BUFFER_PTS(picture);
  if (!GST_CLOCK_TIME_IS_VALID(pts)) return true;
  std::lock_guard lock(_mutex);
  Passed* self = nullptr;
  for (Passed& p : _passed) {
    if (!p.done && p.pts == pts && (!self || p.index < self->index)) self = &p;
  }
  // Not one the gate passed (a picture the decoder made up, or one long gone): while the
  // stream is broken it is no better than its neighbours.
  if (!self) {
    if (!_broken) return true;
    count_dropped();
    return false;
  }
  self->done = true;
  guint64 swallowed = G_MAXUINT64;
  for (Passed& p : _passed) {
    if (p.done || p.pts >= pts) continue;
    p.done = p.swallowed = true;
    swallowed = std::min(swallowed, p.index);
  }
  if (swallowed != G_MAXUINT64) note_swallowed(swallowed);
  if (!_broken || self->index <= _broken_from) return true;
  if (self->index >= _broken_until) {
    _broken = false;
    return true;
  }
  count_dropped();
  return false;
}

void DamageTracker::reset_decoder() {
  std::lock_guard lock(_mutex);
  for (Passed& p : _passed) p.done = true;
  _broken = false;
}

void add_loss_probe(GstPad* rtp_pad, const TrackerPtr& tracker) {
  gst_pad_add_probe(rtp_pad,
                    GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST |
                                    GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
                    on_rtp, new TrackerPtr(tracker), delete_tracker);
}

void add_damage_gate(GstPad* decoder_sink, const TrackerPtr& tracker) {
  gst_pad_add_probe(decoder_sink,
                    GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST |
                                    GST_PAD_PROBE_TYPE_EVENT_FLUSH),
                    on_encoded, new TrackerPtr(tracker), delete_tracker);
}

void add_decoder_watch(GstPad* decoder_src, const TrackerPtr& tracker) {
  gst_pad_add_probe(decoder_src,
                    GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
                    on_picture, new TrackerPtr(tracker), delete_tracker);
}

}  // namespace strovix::detail
