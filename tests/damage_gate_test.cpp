// The damage gate between recorded RTP and a real decoder: packets of an x264 stream are
// pushed through depayloader, parser and decoder with some left out (and lost-packet events
// where the jitter buffer would send them); what comes out is compared, frame by frame, with
// the lossless decode.
#include "gst/damage_gate.hpp"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "strovix/gst/handles.hpp"

using namespace strovix;

namespace {

struct BufferUnref {
  void operator()(GstBuffer* b) const { gst_buffer_unref(b); }
};
using BufferPtr = std::unique_ptr<GstBuffer, BufferUnref>;

constexpr int kFrames = 30;
constexpr int kGop = 10;

struct Packet {
  BufferPtr buffer;
  int frame;  // in decoding order
};

struct Recording {
  std::vector<Packet> packets;
  std::vector<GstClockTime> pts;  // by frame, decoding order
  std::vector<bool> idr;
  std::vector<int> first_packet;  // by frame
  int packets_of(int frame) const {
    const int end = frame + 1 < static_cast<int>(first_packet.size())
                        ? first_packet[frame + 1]
                        : static_cast<int>(packets.size());
    return end - first_packet[frame];
  }
};

// A slice NAL, whole or as an FU-A fragment.
bool carries_slice(GstBuffer* rtp) {
  GstMapInfo map;
  if (!gst_buffer_map(rtp, &map, GST_MAP_READ)) return false;
  bool slice = false;
  if (map.size > 14) {
    const guint8* p = map.data + 12;
    const int type = (p[0] & 0x1f) == 28 ? (p[1] & 0x1f) : (p[0] & 0x1f);
    slice = type >= 1 && type <= 5;
  }
  gst_buffer_unmap(rtp, &map);
  return slice;
}

bool carries_idr(GstBuffer* rtp) {
  GstMapInfo map;
  if (!gst_buffer_map(rtp, &map, GST_MAP_READ)) return false;
  bool idr = false;
  if (map.size > 14) {
    const guint8* p = map.data + 12;
    const int type = p[0] & 0x1f;
    idr = type == 5 || (type == 28 && (p[1] & 0x1f) == 5);
  }
  gst_buffer_unmap(rtp, &map);
  return idr;
}

// Encodes kFrames of a moving ball into RTP packets of at most 120 bytes, so that every
// picture spans several packets, in slices of one packet each, as many cameras send them:
// a lost packet leaves the rest of its picture decodable, and damaged. Every kGop-th frame is
// an IDR picture.
Recording record(int bframes) {
  const std::string encoder = bframes > 0
                                  ? "x264enc bframes=" + std::to_string(bframes) + " b-adapt=false"
                                  : std::string("x264enc tune=zerolatency");
  const std::string description =
      "videotestsrc num-buffers=" + std::to_string(kFrames) +
      " pattern=ball ! video/x-raw,width=160,height=120,framerate=30/1 ! " + encoder +
      " speed-preset=ultrafast threads=1 option-string=scenecut=0:slice-max-size=100 key-int-max=" +
      std::to_string(kGop) +
      " ! rtph264pay mtu=120 config-interval=-1 ! appsink name=sink sync=false";
  ElementPtr pipeline(gst_parse_launch(description.c_str(), nullptr));
  EXPECT_TRUE(pipeline);
  Recording rec;
  if (!pipeline) return rec;
  ElementPtr sink(gst_bin_get_by_name(GST_BIN(pipeline.get()), "sink"));
  gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
  for (int i = 0; i < 100000; ++i) {
    SamplePtr sample(gst_app_sink_try_pull_sample(GST_APP_SINK(sink.get()), 5 * GST_SECOND));
    if (!sample) break;
    GstBuffer* buffer = gst_sample_get_buffer(sample.get());
    const GstClockTime pts = GST_BUFFER_PTS(buffer);
    if (rec.pts.empty() || rec.pts.back() != pts) {
      rec.pts.push_back(pts);
      rec.idr.push_back(false);
      rec.first_packet.push_back(static_cast<int>(rec.packets.size()));
    }
    if (carries_idr(buffer)) rec.idr.back() = true;
    rec.packets.push_back(
        {BufferPtr(gst_buffer_ref(buffer)), static_cast<int>(rec.pts.size()) - 1});
  }
  gst_element_set_state(pipeline.get(), GST_STATE_NULL);
  return rec;
}

const Recording& recording(int bframes) {
  static std::map<int, Recording> cache;
  auto it = cache.find(bframes);
  if (it == cache.end()) it = cache.emplace(bframes, record(bframes)).first;
  return it->second;
}

struct Decoded {
  // In output order, with their presentation times.
  std::vector<std::pair<GstClockTime, std::vector<guint8>>> frames;
  std::shared_ptr<LossCounters> counters = std::make_shared<LossCounters>();
};

// A copy of an RTP packet whose slice header names a first macroblock far beyond the picture:
// the decoder rejects the slice, and a picture with all its slices so is one it cannot decode.
GstBuffer* scrambled(GstBuffer* rtp) {
  GstBuffer* copy = gst_buffer_copy_deep(rtp);
  GstMapInfo map;
  if (!gst_buffer_map(copy, &map, GST_MAP_READWRITE)) return copy;
  guint8* p = map.data + 12;
  const bool fragment = (p[0] & 0x1f) == 28;
  // A fragment other than the first carries no header; 0x00 0x04 starts a ue(v) of 8191 or more.
  if ((!fragment || (p[1] & 0x80)) && map.size > 16) {
    const gsize at = fragment ? 2 : 1;
    p[at] = 0x00;
    p[at + 1] = 0x04;
  }
  gst_buffer_unmap(copy, &map);
  return copy;
}

// Pushes the recording through depayloader, parser and decoder with the gate and the decoder
// watch (unless `deliver_damaged`), leaving out the packets in `lost`; `events` sends a
// lost-packet event in place of each. The slices of the frames in `corrupt` are scrambled, and
// packets before `first` are not sent (a reader joining mid-stream).
std::unique_ptr<Decoded> decode(const Recording& rec, const std::set<int>& lost,
                                bool events = false, bool deliver_damaged = false,
                                const std::set<int>& corrupt = {}, int first = 0) {
  auto out = std::make_unique<Decoded>();
  ElementPtr pipeline(
      gst_parse_launch("rtph264depay name=depay ! h264parse ! avdec_h264 name=dec max-threads=1 ! "
                       "appsink name=sink sync=false async=false wait-on-eos=false",
                       nullptr));
  EXPECT_TRUE(pipeline);
  if (!pipeline) return out;
  ElementPtr depay(gst_bin_get_by_name(GST_BIN(pipeline.get()), "depay"));
  ElementPtr decoder(gst_bin_get_by_name(GST_BIN(pipeline.get()), "dec"));
  ElementPtr sink(gst_bin_get_by_name(GST_BIN(pipeline.get()), "sink"));
  PadPtr depay_sink(gst_element_get_static_pad(depay.get(), "sink"));
  PadPtr decoder_sink(gst_element_get_static_pad(decoder.get(), "sink"));
  GstPad* src = gst_pad_new("src", GST_PAD_SRC);
  PadPtr src_owner(src);
  gst_pad_set_active(src, TRUE);
  EXPECT_EQ(gst_pad_link(src, depay_sink.get()), GST_PAD_LINK_OK);

  auto tracker = std::make_shared<detail::DamageTracker>(detail::RtpCodec::H264, out->counters);
  detail::add_loss_probe(src, tracker);
  if (!deliver_damaged) {
    detail::add_damage_gate(decoder_sink.get(), tracker);
    PadPtr decoder_src(gst_element_get_static_pad(decoder.get(), "src"));
    detail::add_decoder_watch(decoder_src.get(), tracker);
  }
  gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);

  gst_pad_push_event(src, gst_event_new_stream_start("damage"));
  CapsPtr caps(gst_caps_from_string(
      "application/x-rtp,media=video,clock-rate=90000,encoding-name=H264,payload=96"));
  gst_pad_push_event(src, gst_event_new_caps(caps.get()));
  GstSegment segment;
  gst_segment_init(&segment, GST_FORMAT_TIME);
  gst_pad_push_event(src, gst_event_new_segment(&segment));
  for (int i = first; i < static_cast<int>(rec.packets.size()); ++i) {
    GstBuffer* packet = rec.packets[i].buffer.get();
    if (corrupt.count(rec.packets[i].frame) && carries_slice(packet)) {
      gst_pad_push(src, scrambled(packet));
      continue;
    }
    if (lost.count(i)) {
      if (events) {
        gst_pad_push_event(src, gst_event_new_custom(GST_EVENT_CUSTOM_DOWNSTREAM,
                                                     gst_structure_new_empty("GstRTPPacketLost")));
      }
      continue;
    }
    gst_pad_push(src, gst_buffer_ref(packet));
  }
  gst_pad_push_event(src, gst_event_new_eos());
  for (int i = 0; i < 1000; ++i) {
    SamplePtr sample(gst_app_sink_try_pull_sample(GST_APP_SINK(sink.get()), 5 * GST_SECOND));
    if (!sample) break;
    GstBuffer* buffer = gst_sample_get_buffer(sample.get());
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) continue;
    out->frames.emplace_back(GST_BUFFER_PTS(buffer),
                             std::vector<guint8>(map.data, map.data + map.size));
    gst_buffer_unmap(buffer, &map);
  }
  gst_element_set_state(pipeline.get(), GST_STATE_NULL);
  return out;
}

int next_idr(const Recording& rec, int frame) {
  for (int f = frame + 1; f < static_cast<int>(rec.idr.size()); ++f) {
    if (rec.idr[f]) return f;
  }
  return static_cast<int>(rec.idr.size());
}

struct LossCase {
  const char* name;
  int bframes;
  // Frames (decoding order) that lose packets, and which of their packets: "middle",
  // "last", "all" or "first_slice" (the first packet with picture data, after SPS and PPS).
  std::vector<std::pair<int, std::string>> losses;
  bool events;
  // Frames (decoding order) from which nothing may come out up to the next IDR picture.
  std::vector<int> damaged_from;
};

void PrintTo(const LossCase& c, std::ostream* os) { *os << c.name; }

class DamageGate : public ::testing::TestWithParam<LossCase> {};

TEST_P(DamageGate, DeliversEveryIntactFrameAndNoDamagedOne) {
  const LossCase& c = GetParam();
  const Recording& rec = recording(c.bframes);
  ASSERT_EQ(rec.pts.size(), static_cast<std::size_t>(kFrames));
  ASSERT_TRUE(rec.idr[0] && rec.idr[kGop] && rec.idr[2 * kGop]) << "unexpected GOP structure";
  const auto clean = decode(rec, {});
  ASSERT_EQ(clean->frames.size(), static_cast<std::size_t>(kFrames));
  EXPECT_EQ(clean->counters->frames_damaged_dropped.load(), 0u) << "lossless stream";
  EXPECT_EQ(clean->counters->packets_lost.load(), 0u);

  std::set<int> lost;
  for (const auto& [frame, which] : c.losses) {
    const int first = rec.first_packet[frame], n = rec.packets_of(frame);
    ASSERT_GE(n, 3) << "frame " << frame << " should span several packets";
    if (which == "middle") lost.insert(first + n / 2);
    if (which == "last") lost.insert(first + n - 1);
    if (which == "first_slice") {
      int i = first;
      while (i + 1 < first + n && !carries_slice(rec.packets[i].buffer.get())) ++i;
      lost.insert(i);
    }
    if (which == "all")
      for (int i = 0; i < n; ++i) lost.insert(first + i);
  }
  std::set<int> expected;
  for (int f = 0; f < kFrames; ++f) {
    bool damaged = false;
    for (int from : c.damaged_from) damaged |= f >= from && f < next_idr(rec, from);
    if (!damaged) expected.insert(f);
  }
  // Pictures are told apart by content: after a lost marker the parser may shift the times
  // of the next frames by one.
  std::map<std::vector<guint8>, int> clean_frame;
  for (const auto& [pts, data] : clean->frames) {
    const auto at = std::find(rec.pts.begin(), rec.pts.end(), pts);
    clean_frame[data] = static_cast<int>(at - rec.pts.begin());
  }
  const auto got = decode(rec, lost, c.events);
  std::set<int> delivered;
  for (const auto& [pts, data] : got->frames) {
    const auto it = clean_frame.find(data);
    if (it == clean_frame.end()) {
      ADD_FAILURE() << "a delivered frame (time " << pts << ") is none of the lossless ones";
    } else {
      delivered.insert(it->second);
    }
  }
  EXPECT_EQ(delivered, expected) << "frames in decoding order";
  EXPECT_EQ(got->counters->packets_lost.load(), lost.size());
  // A damaged frame itself may never reach the gate: the depayloader drops a picture whose
  // last fragment is missing.
  const std::size_t missing = kFrames - expected.size();
  EXPECT_GE(got->counters->frames_damaged_dropped.load() + c.losses.size(), missing);
  EXPECT_LE(got->counters->frames_damaged_dropped.load(), missing);
}

INSTANTIATE_TEST_SUITE_P(
    Losses, DamageGate,
    ::testing::Values(
        LossCase{"DeltaFrame", 0, {{3, "middle"}}, false, {3}},
        LossCase{"DeltaFrameWithLostEvent", 0, {{3, "middle"}}, true, {3}},
        LossCase{"Keyframe", 0, {{10, "middle"}}, false, {10}},
        LossCase{"TwoInOneGop", 0, {{3, "middle"}, {6, "last"}}, false, {3}},
        LossCase{"TailBeforeKeyframe", 0, {{9, "last"}}, false, {9}},
        LossCase{"WholeFrameBeforeKeyframe", 0, {{19, "all"}}, true, {19}},
        LossCase{"TailAndKeyframeHead", 0, {{9, "last"}, {10, "first_slice"}}, false, {9, 10}},
        LossCase{"BFramesReference", 2, {{4, "middle"}}, false, {4}},
        LossCase{"BFramesKeyframe", 2, {{10, "middle"}}, false, {10}}),
    [](const auto& info) { return std::string(info.param.name); });

// Switched off, the frames built on the loss are decoded and delivered as they come.
TEST(DamageGateOff, DeliversDamagedFramesButCountsTheLoss) {
  const Recording& rec = recording(0);
  ASSERT_EQ(rec.pts.size(), static_cast<std::size_t>(kFrames));
  const int lost = rec.first_packet[3] + rec.packets_of(3) / 2;
  const auto got = decode(rec, {lost}, false, true);
  EXPECT_GT(got->frames.size(), static_cast<std::size_t>(kFrames - kGop + 3));
  EXPECT_EQ(got->counters->packets_lost.load(), 1u);
  EXPECT_EQ(got->counters->frames_damaged_dropped.load(), 0u);
}

struct DecoderCase {
  const char* name;
  int bframes;
  std::set<int> corrupt;  // frames (decoding order) the decoder cannot decode
  int first_frame;        // the first frame sent
  std::vector<int> damaged_from;
};

void PrintTo(const DecoderCase& c, std::ostream* os) { *os << c.name; }

class DecoderError : public ::testing::TestWithParam<DecoderCase> {};

// No packet is missing, so only the decoder's output tells of the damage.
TEST_P(DecoderError, DeliversNothingBuiltOnAFrameTheDecoderCouldNotDecode) {
  const DecoderCase& c = GetParam();
  const Recording& rec = recording(c.bframes);
  ASSERT_EQ(rec.pts.size(), static_cast<std::size_t>(kFrames));
  ASSERT_TRUE(rec.idr[0] && rec.idr[kGop] && rec.idr[2 * kGop]) << "unexpected GOP structure";
  const auto clean = decode(rec, {});
  ASSERT_EQ(clean->frames.size(), static_cast<std::size_t>(kFrames));
  std::map<GstClockTime, std::vector<guint8>> clean_at(clean->frames.begin(), clean->frames.end());
  auto frame_of = [&](GstClockTime pts) {
    return static_cast<int>(std::find(rec.pts.begin(), rec.pts.end(), pts) - rec.pts.begin());
  };
  const int first_packet = rec.first_packet[c.first_frame];
  // What the decoder makes of the stream by itself: it withholds some pictures on its own
  // (those before the first keyframe, and around a keyframe it could not decode).
  std::set<int> decodable;
  const auto unguarded = decode(rec, {}, false, true, c.corrupt, first_packet);
  for (const auto& frame : unguarded->frames) decodable.insert(frame_of(frame.first));
  std::set<int> expected;
  std::size_t damaged = 0, damaged_decodable = 0;
  for (int f = c.first_frame; f < kFrames; ++f) {
    bool hit = false;
    for (int from : c.damaged_from) hit |= f >= from && f < next_idr(rec, from);
    if (!hit && decodable.count(f)) expected.insert(f);
    damaged += hit;
    damaged_decodable += hit && decodable.count(f);
  }
  const auto got = decode(rec, {}, false, false, c.corrupt, first_packet);
  std::set<int> delivered;
  for (const auto& [pts, data] : got->frames) {
    const int f = frame_of(pts);
    delivered.insert(f);
    if (f < kFrames) {
      EXPECT_TRUE(data == clean_at[pts]) << "frame " << f << " delivered damaged";
    }
  }
  EXPECT_EQ(delivered, expected) << "frames in decoding order";
  // Every damaged picture the decoder would have output is one the gate or the watch dropped;
  // the frame that failed is the decoder's own drop.
  const std::size_t dropped = got->counters->frames_damaged_dropped.load();
  EXPECT_GE(dropped, damaged_decodable);
  EXPECT_LE(dropped, damaged - c.damaged_from.size());
  EXPECT_EQ(got->counters->packets_lost.load(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Frames, DecoderError,
                         ::testing::Values(DecoderCase{"DeltaFrame", 0, {3}, 0, {3}},
                                           DecoderCase{"Keyframe", 0, {10}, 0, {10}},
                                           DecoderCase{"BeforeKeyframe", 0, {19}, 0, {19}},
                                           DecoderCase{"TwoInOneGop", 0, {3, 6}, 0, {3}},
                                           DecoderCase{"IntactJoinedMidGop", 0, {}, 3, {}},
                                           DecoderCase{"BFramesKeyframe", 2, {10}, 0, {10}}),
                         [](const auto& info) { return std::string(info.param.name); });

// Switched off, the decoder's concealed guesses are delivered.
TEST(DecoderErrorOff, DeliversWhatTheDecoderMakesOfIt) {
  const Recording& rec = recording(0);
  ASSERT_EQ(rec.pts.size(), static_cast<std::size_t>(kFrames));
  const auto got = decode(rec, {}, false, true, {3});
  EXPECT_EQ(got->frames.size(), static_cast<std::size_t>(kFrames - 1));
  EXPECT_EQ(got->counters->frames_damaged_dropped.load(), 0u);
}

// Only a picture's first packet proves that a loss before it took nothing of it.
TEST(DamageGate, RecognisesThePacketThatBeginsAPicture) {
  using detail::begins_picture;
  using detail::RtpCodec;
  struct Row {
    RtpCodec codec;
    std::vector<guint8> payload;
    bool begins;
  };
  const Row rows[] = {
      {RtpCodec::H264, {0x65, 0x88}, true},                    // IDR slice, first macroblock 0
      {RtpCodec::H264, {0x41, 0x9a}, true},                    // non-IDR slice, first macroblock 0
      {RtpCodec::H264, {0x41, 0x40}, false},                   // a later slice of the picture
      {RtpCodec::H264, {0x67, 0x42}, true},                    // SPS
      {RtpCodec::H264, {0x7c, 0x85, 0x88}, true},              // FU-A start of an IDR slice
      {RtpCodec::H264, {0x7c, 0x05, 0x88}, false},             // FU-A continuation
      {RtpCodec::H264, {0x78, 0x00, 0x02, 0x67, 0x42}, true},  // STAP-A with an SPS
      {RtpCodec::H265, {0x26, 0x01, 0x80}, true},         // IDR slice segment, first in picture
      {RtpCodec::H265, {0x02, 0x01, 0x00}, false},        // a later slice segment
      {RtpCodec::H265, {0x62, 0x01, 0x93, 0x80}, true},   // FU start of an IDR segment
      {RtpCodec::H265, {0x62, 0x01, 0x13, 0x80}, false},  // FU continuation
      {RtpCodec::JPEG, {0x00, 0x00, 0x00, 0x00}, true},
      {RtpCodec::JPEG, {0x00, 0x00, 0x05, 0xa0}, false},
      {RtpCodec::OTHER, {0x00, 0x00}, false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(begins_picture(row.codec, row.payload.data(), row.payload.size()), row.begins)
        << "payload starting " << int(row.payload[0]);
  }
}

}  // namespace
