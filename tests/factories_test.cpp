// Network pipeline factories against the in-process RTSP and HTTP test servers: frames per
// codec and transport, the completion handshake, failures reported on the bus (never thrown,
// never carrying a password), untrusted URLs, keyframe-only decoding and server restarts.
#include <gst/app/gstappsink.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "pipeline_factories/decode_chain.hpp"
#include "strovix/errors.hpp"
#include "strovix/gst/gstcallbacks.hpp"
#include "strovix/gst/pipeline_factories.hpp"
#include "strovix/logger.hpp"
#include "support/http_server.hpp"
#include "support/log_capture.hpp"
#include "support/rtsp_server.hpp"

using namespace strovix;
using strovix::testing::HttpTestServer;
using strovix::testing::RtspCodec;
using strovix::testing::RtspMountOptions;
using strovix::testing::RtspTestServer;
using Clock = std::chrono::steady_clock;

namespace {

constexpr double kFirstFrameTimeout = 15.0;
constexpr double kFailureTimeout = 20.0;

// Collects what the bus says, and logs errors through the stream logger like the reader's
// watcher does.
class BusLog {
 public:
  explicit BusLog(std::string url) : url_(std::move(url)) {}

  PipelineWatcher watcher(std::shared_ptr<BusLog> self) {
    return [self](GstBus*, GstMessage* message, GstElement*) {
      self->on_message(message);
      return true;
    };
  }

  bool wait_for_failure(double timeout) {
    std::unique_lock lock(mutex_);
    return cond_.wait_for(lock, std::chrono::duration<double>(timeout),
                          [&] { return !errors_.empty() || eos_; });
  }
  std::vector<std::string> raw_texts() {
    std::lock_guard lock(mutex_);
    return errors_;
  }
  // Every message's full text (errors, warnings, progress, element messages such as HTTP
  // headers), for checks that no secret is in any of them.
  std::vector<std::string> all_texts() {
    std::lock_guard lock(mutex_);
    return all_;
  }
  bool eos() {
    std::lock_guard lock(mutex_);
    return eos_;
  }

 private:
  void on_message(GstMessage* message) {
    if (const GstStructure* s = gst_message_get_structure(message)) {
      gchar* text = gst_structure_to_string(s);
      std::lock_guard lock(mutex_);
      all_.emplace_back(text);
      g_free(text);
    }
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
      GError* error = nullptr;
      gchar* debug = nullptr;
      gst_message_parse_error(message, &error, &debug);
      const std::string text = error ? error->message : "";
      const std::string details = debug ? debug : "";
      g_clear_error(&error);
      g_free(debug);
      get_stream_logger(url_)->error("strovix: watcher stream_id 1 pipeline error: {} (debug: {})",
                                     text, details);
      std::lock_guard lock(mutex_);
      errors_.push_back(text + "\n" + details);
      cond_.notify_all();
    } else if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS) {
      get_stream_logger(url_)->info("strovix: watcher stream_id 1 end of stream");
      std::lock_guard lock(mutex_);
      eos_ = true;
      cond_.notify_all();
    }
  }

  const std::string url_;
  std::mutex mutex_;
  std::condition_variable cond_;
  std::vector<std::string> errors_;
  std::vector<std::string> all_;
  bool eos_ = false;
};

// Counts completion callbacks and, on completion, optionally fits the keyframe-only probe
// and counts keyframes and delta units leaving the parser.
struct Completion {
  std::mutex mutex;
  std::condition_variable cond;
  int calls = 0;
  bool keyframes_only = false;
  std::atomic<int> keyframes{0};
  std::atomic<int> deltas{0};

  OnComplete callback(std::shared_ptr<Completion> self) {
    return [self](GstElement* element) { self->on_complete(element); };
  }
  bool wait(double timeout) {
    std::unique_lock lock(mutex);
    return cond.wait_for(lock, std::chrono::duration<double>(timeout), [&] { return calls > 0; });
  }
  int count() {
    std::lock_guard lock(mutex);
    return calls;
  }

 private:
  void on_complete(GstElement* element) {
    if (GstElement* parser = gst_bin_get_by_name(GST_BIN(element), BUFFER_SRC_NAME)) {
      GstPad* pad = gst_element_get_static_pad(parser, "src");
      gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, count_flags, this, nullptr);
      if (keyframes_only) gstcallbacks::add_keyframes_only_probe(pad);
      gst_object_unref(pad);
      gst_object_unref(parser);
    }
    std::lock_guard lock(mutex);
    ++calls;
    cond.notify_all();
  }
  static GstPadProbeReturn count_flags(GstPad*, GstPadProbeInfo* info, gpointer data) {
    auto* self = static_cast<Completion*>(data);
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    if (GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT)) {
      ++self->deltas;
    } else {
      ++self->keyframes;
    }
    return GST_PAD_PROBE_OK;
  }
};

struct Stream {
  std::shared_ptr<BusLog> bus;
  std::shared_ptr<Completion> completion;
  std::shared_ptr<Pipeline> pipeline;
};

Stream build_rtsp(const std::string& url, bool force_tcp, bool keyframes_only = false) {
  Stream run{std::make_shared<BusLog>(url), std::make_shared<Completion>(), nullptr};
  run.completion->keyframes_only = keyframes_only;
  RTSPPipelineFactory factory(url, 200, run.bus->watcher(run.bus), force_tcp,
                              run.completion->callback(run.completion));
  run.pipeline = factory.build();
  return run;
}

Stream build_http(const std::string& url) {
  Stream run{std::make_shared<BusLog>(url), std::make_shared<Completion>(), nullptr};
  HTTPPipelineFactory factory(url, run.bus->watcher(run.bus),
                              run.completion->callback(run.completion));
  run.pipeline = factory.build();
  return run;
}

struct Frame {
  std::string format;
  int width = 0;
  int height = 0;
};

// Pulls samples until `count` arrived or the time is up; returns the frames seen.
std::vector<Frame> pull_frames(Pipeline& pipeline, int count, double timeout) {
  std::vector<Frame> frames;
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(timeout));
  while (static_cast<int>(frames.size()) < count && Clock::now() < deadline) {
    SamplePtr sample(gst_app_sink_try_pull_sample(pipeline.appsink(), 100 * GST_MSECOND));
    if (!sample) {
      if (gst_app_sink_is_eos(pipeline.appsink())) break;
      continue;
    }
    const GstStructure* s = gst_caps_get_structure(gst_sample_get_caps(sample.get()), 0);
    Frame frame;
    frame.format = gst_structure_get_string(s, "format");
    gst_structure_get_int(s, "width", &frame.width);
    gst_structure_get_int(s, "height", &frame.height);
    frames.push_back(frame);
  }
  return frames;
}

// Decoded frames that reach the appsink within `seconds`, counted at its sink pad so that
// the appsink's one-frame queue cannot hide any.
int count_decoded_frames(Pipeline& pipeline, double seconds) {
  std::atomic<int> count{0};
  GstPad* pad = gst_element_get_static_pad(GST_ELEMENT(pipeline.appsink()), "sink");
  const gulong id = gst_pad_add_probe(
      pad, GST_PAD_PROBE_TYPE_BUFFER,
      [](GstPad*, GstPadProbeInfo*, gpointer data) {
        ++*static_cast<std::atomic<int>*>(data);
        return GST_PAD_PROBE_OK;
      },
      &count, nullptr);
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(seconds));
  while (Clock::now() < deadline) {
    SamplePtr sample(gst_app_sink_try_pull_sample(pipeline.appsink(), 50 * GST_MSECOND));
  }
  gst_pad_remove_probe(pad, id);
  gst_object_unref(pad);
  return count.load();
}

void expect_frames(Stream& run, const std::string& what, int width = 320, int height = 240) {
  const auto frames = pull_frames(*run.pipeline, 3, kFirstFrameTimeout);
  ASSERT_EQ(frames.size(), 3u) << what
                               << ": bus said: " << ::testing::PrintToString(run.bus->raw_texts());
  for (const auto& f : frames) {
    EXPECT_TRUE(f.format == "I420" || f.format == "NV12" || f.format == "BGR") << f.format;
    EXPECT_EQ(f.width, width);
    EXPECT_EQ(f.height, height);
  }
}

void expect_no_secret(const std::vector<std::string>& texts, const std::string& secret,
                      const std::string& where) {
  for (const auto& t : texts) {
    EXPECT_EQ(t.find(secret), std::string::npos) << where << " carries the password: " << t;
  }
}

// Neither the password (in any escaping: its tail is distinctive enough) nor a basic-auth
// token made from it.
void expect_no_secret_in_messages(BusLog& bus, const std::string& user,
                                  const std::string& password) {
  const std::string pair = user + ":" + password;
  gchar* token = g_base64_encode(reinterpret_cast<const guchar*>(pair.data()), pair.size());
  // Texts escape '=', so look for the unpadded start of the token.
  const std::string basic = std::string(token).substr(0, 16);
  g_free(token);
  const auto texts = bus.all_texts();
  expect_no_secret(texts, password.substr(password.size() - 4), "a bus message");
  expect_no_secret(texts, basic, "a bus message (basic token)");
}

// The servers every test here shares: created on first use, gone before GStreamer is.
struct Servers {
  static constexpr const char* kUser = "viewer";
  static constexpr const char* kPassword = "s3cr@t:/Pa55";
  RtspTestServer rtsp{RtspTestServer::Options{kUser, kPassword}};
  std::unique_ptr<HttpTestServer> http;
  std::unique_ptr<HttpTestServer> http_auth;

  Servers() {
    rtsp.add_mount("/h264", {RtspCodec::H264});
    rtsp.add_mount("/h265", {RtspCodec::H265});
    rtsp.add_mount("/h264_1440", {RtspCodec::H264, 2560, 1440, 5});
    rtsp.add_mount("/mjpeg", {RtspCodec::MJPEG, 320, 240, 15});
    RtspMountOptions av;
    av.with_audio = true;
    rtsp.add_mount("/av", av);
    rtsp.add_mount("/vp8", {RtspCodec::VP8, 160, 120, 10});
    RtspMountOptions locked;
    locked.require_auth = true;
    rtsp.add_mount("/locked", locked);
    rtsp.start();
    http = std::make_unique<HttpTestServer>();
    HttpTestServer::Options auth;
    auth.user = kUser;
    auth.password = kPassword;
    http_auth = std::make_unique<HttpTestServer>(auth);
  }
};

std::unique_ptr<Servers>& servers_slot() {
  static std::unique_ptr<Servers> slot;
  return slot;
}

Servers& servers() {
  if (!servers_slot()) servers_slot() = std::make_unique<Servers>();
  return *servers_slot();
}

class ServersEnvironment : public ::testing::Environment {
 public:
  void TearDown() override { servers_slot().reset(); }
};
[[maybe_unused]] auto* const servers_environment =
    ::testing::AddGlobalTestEnvironment(new ServersEnvironment);

// ---- frames per codec, transport and format ----------------------------------------------------

// Watches the parser's output (counted from completion on) until a keyframe and some more
// frames have gone by: streams with delta units flag every non-keyframe; MJPEG has none.
void expect_parser_flags(Stream& run, bool deltas_expected) {
  Completion& c = *run.completion;
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  const auto seen_enough = [&] {
    return c.keyframes.load() >= 1 &&
           (deltas_expected ? c.deltas.load() >= 10 : c.keyframes.load() >= 5);
  };
  while (Clock::now() < deadline && !seen_enough()) pull_frames(*run.pipeline, 1, 0.1);
  EXPECT_GE(c.keyframes.load(), 1);
  if (deltas_expected) {
    EXPECT_GT(c.deltas.load(), c.keyframes.load());
  } else {
    EXPECT_EQ(c.deltas.load(), 0);  // every JPEG stands alone
  }
}

// The first element anywhere in `pipeline` that `match` accepts, with a reference, or null.
template <class Match>
GstElement* find_element(GstElement* pipeline, Match match) {
  GstElement* found = nullptr;
  GstIterator* it = gst_bin_iterate_recurse(GST_BIN(pipeline));
  GValue item = G_VALUE_INIT;
  for (int i = 0; i < 1000 && !found; ++i) {
    const GstIteratorResult r = gst_iterator_next(it, &item);
    if (r == GST_ITERATOR_RESYNC) {
      gst_iterator_resync(it);
      continue;
    }
    if (r != GST_ITERATOR_OK) break;
    auto* element = GST_ELEMENT(g_value_get_object(&item));
    if (match(element)) found = GST_ELEMENT(gst_object_ref(element));
    g_value_reset(&item);
  }
  g_value_unset(&item);
  gst_iterator_free(it);
  return found;
}

bool has_udp_source(GstElement* pipeline) {
  GstElement* source = find_element(pipeline, [](GstElement* e) {
    GstElementFactory* f = gst_element_get_factory(e);
    return f && g_strcmp0(GST_OBJECT_NAME(f), "udpsrc") == 0;
  });
  if (source) gst_object_unref(source);
  return source != nullptr;
}

struct RtspCase {
  const char* mount;
  bool force_tcp;
  bool keyframes_flagged;  // whether the stream has delta units at all
};

class RtspFramesTest : public ::testing::TestWithParam<RtspCase> {};

TEST_P(RtspFramesTest, DeliversFramesAndFlagsDeltaUnitsAtTheParser) {
  const RtspCase c = GetParam();
  Stream run = build_rtsp(servers().rtsp.url(c.mount), c.force_tcp);
  run.pipeline->mark_published();
  expect_frames(run, c.mount);
  ASSERT_TRUE(run.completion->wait(1.0));
  // TCP interleaves RTP in the RTSP connection; otherwise UDP is tried first and works here.
  EXPECT_EQ(has_udp_source(run.pipeline->element()), !c.force_tcp);
  expect_parser_flags(run, c.keyframes_flagged);
  EXPECT_TRUE(run.bus->raw_texts().empty()) << run.bus->raw_texts().front();
  EXPECT_EQ(run.completion->count(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    CodecsAndTransports, RtspFramesTest,
    ::testing::Values(RtspCase{"/h264", false, true}, RtspCase{"/h264", true, true},
                      RtspCase{"/h265", false, true}, RtspCase{"/h265", true, true},
                      RtspCase{"/mjpeg", false, false}, RtspCase{"/mjpeg", true, false},
                      // An audio stream beside the video is ignored, without errors.
                      RtspCase{"/av", false, true}, RtspCase{"/av", true, true}),
    [](const auto& info) {
      return std::string(info.param.mount + 1) + (info.param.force_tcp ? "_tcp" : "_udp");
    });

// ---- decoder threads by picture size ---------------------------------------------------------

TEST(DecoderThreads, OneUpTo1080pThenOnePer1080pOfPixelsCappedByCoresAndFour) {
  struct Case {
    int width, height;
    unsigned cores;
    int threads;
  } const cases[] = {
      {320, 240, 8, 1},   {1920, 1080, 8, 1},  {1920, 1088, 8, 1},
      {2560, 1440, 8, 2}, {2560, 1440, 1, 1},  {3840, 2160, 8, 4},
      {3840, 2160, 2, 2}, {7680, 4320, 64, 4}, {3840, 2160, 0, 1},  // the core count unknown
      {0, 0, 8, 1},       {-5, 100, 8, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(detail::decoder_threads(c.width, c.height, c.cores), c.threads)
        << c.width << "x" << c.height << " on " << c.cores << " cores";
  }
}

GstElement* find_decoder(GstElement* pipeline) {
  return find_element(pipeline,
                      [](GstElement* e) { return g_str_has_prefix(GST_OBJECT_NAME(e), "avdec_"); });
}

// The count is set from the caps the decoder receives, so a large picture gets frame threads
// before libav opens its codec.
TEST(DecoderThreads, FollowThePictureSizeOfARealStream) {
  const unsigned cores = std::thread::hardware_concurrency();
  for (const auto& [mount, width, height] :
       {std::tuple{"/h264", 320, 240}, std::tuple{"/h264_1440", 2560, 1440}}) {
    Stream run = build_rtsp(servers().rtsp.url(mount), true);
    run.pipeline->mark_published();
    expect_frames(run, mount, width, height);
    GstElement* decoder = find_decoder(run.pipeline->element());
    ASSERT_NE(decoder, nullptr) << mount;
    gint threads = -1;
    g_object_get(decoder, "max-threads", &threads, nullptr);
    gst_object_unref(decoder);
    EXPECT_EQ(threads, detail::decoder_threads(width, height, cores)) << mount;
  }
}

struct HttpCase {
  const char* path;
  bool keyframes_flagged;
  bool single_image;
};

class HttpFramesTest : public ::testing::TestWithParam<HttpCase> {};

TEST_P(HttpFramesTest, DeliversFramesAndFlagsDeltaUnitsAtTheParser) {
  const HttpCase c = GetParam();
  Stream run = build_http(servers().http->url(c.path));
  run.pipeline->mark_published();
  if (c.single_image) {
    const auto frames = pull_frames(*run.pipeline, 2, kFirstFrameTimeout);
    ASSERT_EQ(frames.size(), 1u) << ::testing::PrintToString(run.bus->raw_texts());
    EXPECT_EQ(frames[0].width, 320);
    EXPECT_TRUE(run.bus->wait_for_failure(5.0));
    EXPECT_TRUE(run.bus->eos());  // one image, then the end
  } else {
    expect_frames(run, c.path);
    ASSERT_TRUE(run.completion->wait(1.0));
    expect_parser_flags(run, c.keyframes_flagged);
  }
  EXPECT_TRUE(run.bus->raw_texts().empty()) << run.bus->raw_texts().front();
  EXPECT_EQ(run.completion->count(), 1);
}

INSTANTIATE_TEST_SUITE_P(Formats, HttpFramesTest,
                         ::testing::Values(HttpCase{"/mjpeg", false, false},
                                           HttpCase{"/ts", true, false},
                                           HttpCase{"/mkv", true, false},
                                           HttpCase{"/snapshot.jpg", false, true}),
                         [](const auto& info) {
                           std::string name = info.param.path + 1;
                           return name.substr(0, name.find('.'));
                         });

// Credentials travel in the URL, percent-encoded; the factories must decode them.
TEST(Credentials, RightCredentialsWithReservedCharactersOpenLockedStreams) {
  ScopedLogCapture capture;
  Stream rtsp = build_rtsp(servers().rtsp.url_with_credentials("/locked"), true);
  Stream http = build_http(servers().http_auth->url_with_credentials("/mjpeg"));
  expect_frames(rtsp, "rtsp /locked");
  expect_frames(http, "http /mjpeg");
  rtsp.pipeline.reset();
  http.pipeline.reset();
  expect_no_secret(capture->texts(), Servers::kPassword, "a log line");
  expect_no_secret_in_messages(*rtsp.bus, Servers::kUser, Servers::kPassword);
  expect_no_secret_in_messages(*http.bus, Servers::kUser, Servers::kPassword);
}

// ---- completion handshake ---------------------------------------------------------------------

TEST(Completion, FiresOnceWhenPublishedBeforeTheStreamIsLinked) {
  Stream run = build_rtsp(servers().rtsp.url("/h264"), true);
  run.pipeline->mark_published();  // before pad-added can have run: that takes a round trip
  EXPECT_TRUE(run.completion->wait(kFirstFrameTimeout));
  expect_frames(run, "/h264");
  run.pipeline->mark_published();
  run.pipeline->set_state(GST_STATE_NULL);
  EXPECT_EQ(run.completion->count(), 1);
}

TEST(Completion, WaitsForPublicationWhenTheStreamIsLinkedFirst) {
  Stream rtsp = build_rtsp(servers().rtsp.url("/h264"), false);
  Stream http = build_http(servers().http->url("/ts"));
  for (Stream* run : {&rtsp, &http}) {
    expect_frames(*run, "unpublished");  // frames flow, so the chain is linked
    EXPECT_FALSE(run->completion->wait(0.2));
    EXPECT_EQ(run->completion->count(), 0);
    run->pipeline->mark_published();
    EXPECT_EQ(run->completion->count(), 1);  // fired on this thread, at once
    run->pipeline->mark_published();
    EXPECT_EQ(run->completion->count(), 1);
  }
}

TEST(Completion, WorksWithoutACallback) {
  auto bus = std::make_shared<BusLog>(servers().rtsp.url("/mjpeg"));
  RTSPPipelineFactory factory(servers().rtsp.url("/mjpeg"), 0, bus->watcher(bus), true, nullptr);
  auto pipeline = factory.build();
  pipeline->mark_published();
  EXPECT_EQ(pull_frames(*pipeline, 2, kFirstFrameTimeout).size(), 2u);
}

// ---- failures arrive on the bus ----------------------------------------------------------------

struct FailureCase {
  const char* name;
  bool rtsp;
  std::function<std::string()> url;
  const char* expected;  // in some error text, case-insensitively; empty: any failure
};

bool contains_nocase(const std::string& text, const std::string& needle) {
  gchar* a = g_ascii_strdown(text.c_str(), -1);
  gchar* b = g_ascii_strdown(needle.c_str(), -1);
  const bool found = std::strstr(a, b) != nullptr;
  g_free(a);
  g_free(b);
  return found;
}

class FailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(FailureTest, ReportsOnTheBusWithoutThrowingOrLeakingThePassword) {
  const FailureCase& c = GetParam();
  const std::string url = c.url();
  ScopedLogCapture capture;
  Stream run;
  ASSERT_NO_THROW(run = c.rtsp ? build_rtsp(url, true) : build_http(url));
  run.pipeline->mark_published();
  ASSERT_TRUE(run.bus->wait_for_failure(kFailureTimeout)) << c.name;
  const auto texts = run.bus->raw_texts();
  EXPECT_TRUE(std::any_of(texts.begin(), texts.end(),
                          [&](const std::string& t) { return contains_nocase(t, c.expected); }))
      << c.name << ": " << ::testing::PrintToString(texts);
  EXPECT_EQ(pull_frames(*run.pipeline, 1, 0.2).size(), 0u);
  run.pipeline.reset();
  // GStreamer's own texts must not quote it, and neither may any log line.
  expect_no_secret(run.bus->raw_texts(), Servers::kPassword, "the bus text");
  expect_no_secret(capture->texts(), Servers::kPassword, "a log line");
  for (const char* user : {Servers::kUser, "nobody"}) {
    expect_no_secret_in_messages(*run.bus, user, Servers::kPassword);
  }
  EXPECT_EQ(run.completion->count(), 0);
}

std::string stopped_rtsp_url() {
  RtspTestServer server;
  server.add_mount("/h264", {});
  server.start();
  server.stop();
  return server.url_with_credentials("/h264");
}

std::string stopped_http_url() {
  HttpTestServer server;
  server.stop();
  return server.url_with_credentials("/mjpeg", Servers::kUser, Servers::kPassword);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, FailureTest,
    ::testing::Values(
        FailureCase{"rtsp_wrong_password", true,
                    [] {
                      return servers().rtsp.url_with_credentials("/locked", Servers::kUser,
                                                                 "wrong-pass");
                    },
                    "unauthorized"},
        FailureCase{"rtsp_wrong_user", true,
                    [] {
                      return servers().rtsp.url_with_credentials("/locked", "nobody",
                                                                 Servers::kPassword);
                    },
                    "unauthorized"},
        FailureCase{"rtsp_no_credentials", true, [] { return servers().rtsp.url("/locked"); },
                    "unauthorized"},
        FailureCase{"rtsp_unknown_path", true,
                    [] { return servers().rtsp.url_with_credentials("/nope"); }, "not found"},
        FailureCase{"rtsp_stopped_server", true, stopped_rtsp_url, "failed to connect"},
        FailureCase{"rtsp_undecodable_codec", true,
                    [] { return servers().rtsp.url_with_credentials("/vp8"); },
                    "no video this reader can decode (offered: VP8)"},
        FailureCase{"http_wrong_password", false,
                    [] {
                      return servers().http_auth->url_with_credentials("/mjpeg", Servers::kUser,
                                                                       "wrong-pass");
                    },
                    "unauthorized"},
        FailureCase{"http_wrong_user", false,
                    [] {
                      return servers().http_auth->url_with_credentials("/mjpeg", "nobody",
                                                                       Servers::kPassword);
                    },
                    "unauthorized"},
        FailureCase{"http_no_credentials", false, [] { return servers().http_auth->url("/mjpeg"); },
                    "unauthorized"},
        FailureCase{"http_unknown_path", false,
                    [] { return servers().http_auth->url_with_credentials("/nope"); }, "not found"},
        FailureCase{"http_not_video", false,
                    [] { return servers().http_auth->url_with_credentials("/text"); },
                    "unsupported HTTP stream type 'text/plain'"},
        FailureCase{"http_stopped_server", false, stopped_http_url, "streaming stopped"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- untrusted URLs ----------------------------------------------------------------------------

TEST(UntrustedUrl, PipelineSyntaxInTheUrlIsNeverParsed) {
  gchar* dir = g_dir_make_tmp("strovix-inject-XXXXXX", nullptr);
  ASSERT_NE(dir, nullptr);
  const std::string target = std::string(dir) + "/pwned";
  g_free(dir);
  const std::string tail = "\" ! filesink location=" + target;
  const std::string live = std::to_string(servers().rtsp.port());
  const std::string http_port = std::to_string(servers().http->port());
  std::vector<Stream> runs;
  runs.push_back(build_rtsp("rtsp://127.0.0.1:1/x" + tail, false));
  runs.push_back(build_rtsp("rtsp://127.0.0.1:" + live + "/h264" + tail, true));
  runs.push_back(build_http("http://127.0.0.1:1/x" + tail));
  runs.push_back(build_http("http://127.0.0.1:" + http_port + "/mjpeg" + tail));
  for (auto& run : runs) {
    EXPECT_TRUE(run.bus->wait_for_failure(kFailureTimeout));
    EXPECT_EQ(run.pipeline->get_by_name("filesink0"), nullptr);
  }
  runs.clear();
  EXPECT_FALSE(std::filesystem::exists(target));
  std::filesystem::remove_all(std::filesystem::path(target).parent_path());
}

// ---- keyframes only ----------------------------------------------------------------------------

TEST(KeyframesOnly, DecodesAboutOneFrameAGopInsteadOfEveryFrame) {
  // 30 fps with a keyframe every 30 frames: one keyframe a second.
  Stream full = build_rtsp(servers().rtsp.url("/h264"), true);
  Stream keyframes = build_rtsp(servers().rtsp.url("/h264"), true, /*keyframes_only=*/true);
  full.pipeline->mark_published();
  keyframes.pipeline->mark_published();
  expect_frames(full, "full rate");
  ASSERT_TRUE(keyframes.completion->wait(kFirstFrameTimeout));
  constexpr double kSeconds = 3.0;
  auto keyframe_count = std::async(
      std::launch::async, [&] { return count_decoded_frames(*keyframes.pipeline, kSeconds); });
  const int all = count_decoded_frames(*full.pipeline, kSeconds);
  const int only_keyframes = keyframe_count.get();
  std::printf("decoded over %.0f s: %d frames at full rate, %d keyframes only\n", kSeconds, all,
              only_keyframes);
  EXPECT_GE(all, 60);  // ~90 expected; slack for a loaded machine
  EXPECT_GE(only_keyframes, 2);
  EXPECT_LE(only_keyframes, 5);
}

// ---- pre-encoded loop -------------------------------------------------------------------------

TEST(LoopedMount, ServesTheClipRoundAndRoundAtItsFrameRate) {
  RtspTestServer server;
  strovix::testing::RtspLoopedMountOptions clip;
  clip.seconds = 1;
  server.add_looped_h264_mount("/loop", clip);
  server.start();
  Stream run = build_rtsp(server.url("/loop"), true);
  expect_frames(run, "/loop");
  // 1.5 clip lengths: crosses the loop seam; a paced stream cannot deliver them much faster.
  const auto start = Clock::now();
  const auto frames = pull_frames(*run.pipeline, 45, 10.0);
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_EQ(frames.size(), 45u) << ::testing::PrintToString(run.bus->raw_texts());
  EXPECT_GT(elapsed, 1.0);
  EXPECT_TRUE(run.bus->raw_texts().empty());
}

// ---- restarts ----------------------------------------------------------------------------------

TEST(ServerRestart, ClientsFailOnStopAndNewPipelinesPlayAfterStartOnTheSamePort) {
  RtspTestServer server;
  server.add_mount("/h264", {});
  server.start();
  const int port = server.port();
  Stream tcp = build_rtsp(server.url("/h264"), true);
  Stream udp = build_rtsp(server.url("/h264"), false);
  expect_frames(tcp, "before stop (tcp)");
  expect_frames(udp, "before stop (udp)");

  server.stop();
  EXPECT_TRUE(tcp.bus->wait_for_failure(kFailureTimeout));
  EXPECT_TRUE(udp.bus->wait_for_failure(kFailureTimeout));
  EXPECT_EQ(server.client_count(), 0);
  Stream refused = build_rtsp(server.url("/h264"), true);
  EXPECT_TRUE(refused.bus->wait_for_failure(kFailureTimeout));

  server.start();
  EXPECT_EQ(server.port(), port);
  Stream again = build_rtsp(server.url("/h264"), false);
  expect_frames(again, "after restart");
}

TEST(ServerRestart, HttpServerRestartsOnTheSamePort) {
  HttpTestServer server;
  const int port = server.port();
  Stream before = build_http(server.url("/mjpeg"));
  expect_frames(before, "before stop");
  server.stop();
  EXPECT_TRUE(before.bus->wait_for_failure(kFailureTimeout));
  server.start();
  EXPECT_EQ(server.port(), port);
  Stream after = build_http(server.url("/mjpeg"));
  expect_frames(after, "after restart");
}

// ---- HTTPS -------------------------------------------------------------------------------------

// Trusts one certificate as the process's default TLS anchor while it lives: the test seam
// that leaves the factory's strict certificate checks as they are in production.
class ScopedTrustAnchor {
 public:
  explicit ScopedTrustAnchor(const std::string& pem_file) {
    backend_ = g_tls_backend_get_default();
    previous_ = g_tls_backend_get_default_database(backend_);
    GError* error = nullptr;
    GTlsDatabase* db = g_tls_file_database_new(pem_file.c_str(), &error);
    if (error) {
      ADD_FAILURE() << error->message;
      g_error_free(error);
    }
    g_tls_backend_set_default_database(backend_, db);
    if (db) g_object_unref(db);
  }
  ~ScopedTrustAnchor() {
    g_tls_backend_set_default_database(backend_, previous_);
    if (previous_) g_object_unref(previous_);
  }

 private:
  GTlsBackend* backend_;
  GTlsDatabase* previous_;
};

TEST(Https, RejectsAnUntrustedCertificateAndPlaysOnceItIsTrusted) {
  HttpTestServer::Options options;
  options.tls = true;
  options.user = Servers::kUser;
  options.password = Servers::kPassword;
  HttpTestServer server(options);
  {
    ScopedLogCapture capture;
    Stream untrusted = build_http(server.url_with_credentials("/mjpeg"));
    ASSERT_TRUE(untrusted.bus->wait_for_failure(kFailureTimeout));
    EXPECT_EQ(pull_frames(*untrusted.pipeline, 1, 0.2).size(), 0u);
    EXPECT_EQ(server.requests_served(), 0);  // no request got past the handshake
    expect_no_secret(capture->texts(), Servers::kPassword, "a log line");
  }
  ScopedTrustAnchor trust(server.certificate_file());
  Stream trusted = build_http(server.url_with_credentials("/mkv"));
  expect_frames(trusted, "https /mkv");
  expect_no_secret_in_messages(*trusted.bus, Servers::kUser, Servers::kPassword);
}

}  // namespace
