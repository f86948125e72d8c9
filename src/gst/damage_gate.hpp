#pragma once
// Damage-aware delivery: knows which encoded frames are built on lost RTP packets and keeps
// them, and every frame after them up to the next intact keyframe, from the decoder.
//
// The gate sits in front of the decoder rather than behind it. In decoding order "from the
// loss to the next keyframe" is exactly the set of frames that may reference lost data, B-frames
// included, and the decoder never decodes damaged data into its reference pictures; behind
// it, the same set would have to be rebuilt from presentation times after reordering, and
// the decoder would have spent its time concealing errors nobody sees.
#include <gst/gst.h>

#include <array>
#include <memory>
#include <mutex>
#include <string>

#include "strovix/gst/pipeline_factories.hpp"

namespace strovix::detail {

enum class RtpCodec { H264, H265, JPEG, OTHER };

// "h264", "h265", "jpeg" as the factories name them; anything else is OTHER.
RtpCodec rtp_codec_of(const std::string& codec);

// Whether an RTP payload of `codec` is the first data of a picture; false when it cannot tell.
bool begins_picture(RtpCodec codec, const guint8* payload, gsize size);

// One pipeline's losses. The RTP probe and the gate normally run on the same streaming
// thread (the jitter buffer's), in stream order; the mutex covers pipelines where they don't.
class DamageTracker {
 public:
  DamageTracker(RtpCodec codec, std::shared_ptr<LossCounters> counters);

  // The RTP pad: every packet, and the jitter buffer's lost-packet events.
  void on_packet(GstBuffer* rtp);
  void on_packet_lost();
  // A flush or a new stream: sequence numbers start afresh.
  void reset_sequence();

  enum class Verdict { PASS, DROP, DROP_AND_DRAIN };
  // The gate: one encoded frame in decoding order, as the parser flagged it.
  Verdict on_frame(GstBuffer* encoded);

  // The decoder's output: whether to deliver this picture. A frame the gate passed that the
  // decoder never outputs (it could not decode it) is a loss like a missing packet: the
  // pictures decoded after it up to the next keyframe are dropped.
  bool on_decoded(GstBuffer* picture);
  // The decoder was flushed: what it held will never come out.
  void reset_decoder();

 private:
  Verdict judge(GstBuffer* encoded);
  void note_passed(GstClockTime pts, bool keyframe);
  void note_swallowed(guint64 first);
  void mark_damaged(GstClockTime pts);
  bool is_damaged(GstClockTime pts) const;
  void count_dropped();

  const RtpCodec _codec;
  const std::shared_ptr<LossCounters> _counters;
  // Guards everything below.
  std::mutex _mutex;
  bool _have_sequence = false;
  guint16 _expected = 0;
  bool _previous_marker = true;
  GstClockTime _previous_pts = GST_CLOCK_TIME_NONE;
  // A loss the gate has not seen yet: the next frame to reach it may reference lost data.
  bool _pending_loss = false;
  // How many of the next frames to reach the gate are known to miss packets.
  int _damaged_frames = 0;
  // Frames known to miss some of their packets, by presentation time (every packet of a
  // picture carries its time): a second check beside the count, which a depayloader that
  // drops a broken picture entirely would put off by one. A few are enough, as frames reach
  // the gate within a picture or two of their packets.
  std::array<GstClockTime, 16> _damaged{};
  std::size_t _next_damaged = 0;
  bool _waiting = false;
  // The keyframe that ended the last wait: frames decoded after it but shown before it
  // (an open GOP's leading pictures) reference what was skipped.
  GstClockTime _resume_pts = GST_CLOCK_TIME_NONE;

  // Frames the gate passed, in decoding order, until the decoder outputs them. The decoder
  // outputs in presentation order, so one still here when a later picture comes out was
  // swallowed. A few dozen cover the decoder's reordering and frame threads.
  struct Passed {
    GstClockTime pts = GST_CLOCK_TIME_NONE;
    guint64 index = 0;
    bool keyframe = false;
    bool done = true;
    bool swallowed = false;
  };
  std::array<Passed, 48> _passed{};
  guint64 _next_index = 0;
  // Pictures decoded after a swallowed frame and before the keyframe that follows it are
  // dropped on the way out: (_broken_from, _broken_until), open while no keyframe passed yet.
  bool _broken = false;
  guint64 _broken_from = 0;
  guint64 _broken_until = G_MAXUINT64;
};

// Observes packets and lost-packet events on the pad that carries a stream's RTP (the
// depayloader's input). The lost-packet events end here: the depayloader would turn them
// into GAP events for the decoder and the appsink.
void add_loss_probe(GstPad* rtp_pad, const std::shared_ptr<DamageTracker>& tracker);
// Drops what the tracker says at the decoder's sink pad; on the way into a wait it drains the
// decoder, so the intact pictures it holds for reordering come out now, not a GOP later.
void add_damage_gate(GstPad* decoder_sink, const std::shared_ptr<DamageTracker>& tracker);
// Watches the decoder's output for frames it swallowed, and drops what was built on them.
void add_decoder_watch(GstPad* decoder_src, const std::shared_ptr<DamageTracker>& tracker);

}  // namespace strovix::detail
