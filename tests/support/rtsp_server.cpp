#include "support/rtsp_server.hpp"

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/rtsp-server/rtsp-server.h>
#include <gst/video/video.h>

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "strovix/event.hpp"

namespace strovix::testing {
namespace {

constexpr const char* kUserRole = "user";
constexpr const char* kAnonymousRole = "anonymous";

std::string caps_of(int width, int height, int fps) {
  return "video/x-raw,format=I420,width=" + std::to_string(width) +
         ",height=" + std::to_string(height) + ",framerate=" + std::to_string(fps) + "/1";
}

std::string video_branch(const RtspMountOptions& o) {
  const std::string pattern = !o.pattern.empty() ? o.pattern : o.counter ? "smpte" : "ball";
  const std::string scroll = o.scroll > 0 ? " horizontal-speed=" + std::to_string(o.scroll) : "";
  const std::string source = "videotestsrc name=src is-live=true pattern=" + pattern + scroll +
                             " ! " +
                             caps_of(o.width, o.height, o.fps) + " ! ";
  const std::string gop = std::to_string(o.key_int_max > 0 ? o.key_int_max : 30);
  // Zero-latency tuning rules out B-frames, so streams with them go without it.
  const bool b = o.bframes > 0;
  const std::string bframes = std::to_string(o.bframes);
  switch (o.codec) {
    case RtspCodec::H264:
      return source + "x264enc " +
             (b ? "bframes=" + bframes + " b-adapt=false" : "tune=zerolatency") +
             " speed-preset=ultrafast threads=1 key-int-max=" + gop +
             " ! rtph264pay name=pay0 pt=96 config-interval=-1";
    case RtspCodec::H265:
      return source + "x265enc " +
             (b ? "option-string=\"bframes=" + bframes + ":b-adapt=0\"" : "tune=zerolatency") +
             " speed-preset=ultrafast key-int-max=" + gop +
             " ! rtph265pay name=pay0 pt=96 config-interval=-1";
    case RtspCodec::MJPEG:
      return source + "jpegenc quality=70 ! rtpjpegpay name=pay0 pt=26";
    case RtspCodec::VP8:
      return source + "vp8enc deadline=1 cpu-used=8 keyframe-max-dist=" + gop +
             " ! rtpvp8pay name=pay0 pt=96";
  }
  return {};
}

std::string launch_of(const RtspMountOptions& o) {
  if (!o.with_audio) return "( " + video_branch(o) + " )";
  // Audio is the first stream, so clients meet a stream they do not decode before the video.
  std::string video = video_branch(o);
  video.replace(video.find("name=pay0"), 9, "name=pay1");
  return "( audiotestsrc is-live=true wave=sine ! audio/x-raw,rate=8000,channels=1 ! alawenc ! "
         "rtppcmapay name=pay0 pt=8 " +
         video + " )";
}

std::string normalise_path(const std::string& path) {
  return !path.empty() && path.front() == '/' ? path : "/" + path;
}

// Userinfo must be percent-encoded so that ':' '@' '/' in a password survive.
std::string escape_userinfo(const std::string& text) {
  gchar* escaped = g_uri_escape_string(text.c_str(), nullptr, FALSE);
  std::string out = escaped ? escaped : "";
  g_free(escaped);
  return out;
}

void configure_access(GstRTSPMediaFactory* factory, bool require_auth) {
  gst_rtsp_media_factory_add_role(factory, kUserRole, GST_RTSP_PERM_MEDIA_FACTORY_ACCESS,
                                  G_TYPE_BOOLEAN, TRUE, GST_RTSP_PERM_MEDIA_FACTORY_CONSTRUCT,
                                  G_TYPE_BOOLEAN, TRUE, nullptr);
  // Anonymous clients of a locked mount may find it but not construct it: that answers 401
  // with a challenge, where a denied access would answer 404 and clients would never send
  // their credentials.
  gst_rtsp_media_factory_add_role(factory, kAnonymousRole, GST_RTSP_PERM_MEDIA_FACTORY_ACCESS,
                                  G_TYPE_BOOLEAN, TRUE, GST_RTSP_PERM_MEDIA_FACTORY_CONSTRUCT,
                                  G_TYPE_BOOLEAN, require_auth ? FALSE : TRUE, nullptr);
}

// ---- pre-encoded loop ------------------------------------------------------------------------

struct Clip {
  std::vector<GstBuffer*> buffers;  // owned refs, one access unit each
  GstCaps* caps = nullptr;          // owned
  GstClockTime frame_duration = 0;
  ~Clip() {
    for (GstBuffer* b : buffers) gst_buffer_unref(b);
    if (caps) gst_caps_unref(caps);
  }
};

std::shared_ptr<Clip> encode_clip(const RtspLoopedMountOptions& o) {
  const int fps = o.fps > 0 ? o.fps : 30;
  const int frames = fps * (o.seconds > 0 ? o.seconds : 1);
  const std::string gop = std::to_string(o.key_int_max > 0 ? o.key_int_max : fps);
  const std::string tail =
      " ! h264parse ! video/x-h264,stream-format=byte-stream,alignment=au"
      " ! appsink name=sink sync=false max-buffers=0";
  std::string description;
  if (o.camera_kbps > 0) {
    // Noise changes in every frame, so every picture carries residuals the way sensor noise
    // makes a camera's do; the bit rate cap keeps the stream at a camera's size.
    // Scene-cut detection stays off, or the noise would make every frame a keyframe.
    const int band = (o.height / 4 + 15) / 16 * 16;
    const std::string n = " num-buffers=" + std::to_string(frames);
    description =
        "compositor name=mix background=black sink_1::ypos=" +
        std::to_string((o.height - band) / 2) + " ! " + caps_of(o.width, o.height, fps) +
        " ! x264enc tune=zerolatency speed-preset=veryfast option-string=scenecut=0 bitrate=" +
        std::to_string(o.camera_kbps) + " key-int-max=" + gop + tail + " videotestsrc" + n +
        " pattern=smpte ! " + caps_of(o.width, o.height, fps) + " ! mix. videotestsrc" + n +
        " pattern=snow ! " + caps_of(o.width, band, fps) + " ! mix.";
  } else {
    const std::string pattern = o.pattern.empty() ? "ball" : o.pattern;
    const std::string scroll =
        o.scroll > 0 ? " horizontal-speed=" + std::to_string(o.scroll) : std::string();
    description = "videotestsrc num-buffers=" + std::to_string(frames) + " pattern=" + pattern +
                  scroll + " ! " +
                  caps_of(o.width, o.height, fps) +
                  " ! x264enc tune=zerolatency speed-preset=ultrafast key-int-max=" + gop +
                  (o.pattern.empty() ? "" : " bitrate=8000") + tail;
  }
  GError* error = nullptr;
  GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
  if (!pipeline) {
    std::string what = error ? error->message : "unknown error";
    if (error) g_error_free(error);
    throw std::runtime_error("cannot build the clip encoder: " + what);
  }
  if (error) g_error_free(error);
  auto clip = std::make_shared<Clip>();
  clip->frame_duration = gst_util_uint64_scale_int(GST_SECOND, 1, fps);
  GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  // Bounded by frame count and by a generous deadline for slow machines.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (int i = 0; i < frames && std::chrono::steady_clock::now() < deadline; ++i) {
    GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), GST_SECOND);
    if (!sample) {
      if (gst_app_sink_is_eos(GST_APP_SINK(sink))) break;
      --i;  // a slow encoder; the deadline bounds the retries
      continue;
    }
    if (!clip->caps) clip->caps = gst_caps_ref(gst_sample_get_caps(sample));
    clip->buffers.push_back(gst_buffer_ref(gst_sample_get_buffer(sample)));
    gst_sample_unref(sample);
  }
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(sink);
  gst_object_unref(pipeline);
  if (clip->buffers.empty() || !clip->caps)
    throw std::runtime_error("the clip encoder gave no frames");
  return clip;
}

// State of one media's appsrc: plays the clip round and round, stamping running times so the
// server's sinks pace it at the clip's frame rate.
struct LoopFeed {
  std::shared_ptr<Clip> clip;
  std::size_t next = 0;
  std::uint64_t round = 0;
  GstClockTime base = GST_CLOCK_TIME_NONE;
};

void on_need_data(GstAppSrc* src, guint, gpointer user_data) {
  auto* feed = static_cast<LoopFeed*>(user_data);
  const Clip& clip = *feed->clip;
  if (!GST_CLOCK_TIME_IS_VALID(feed->base)) {
    feed->base = gst_element_get_current_running_time(GST_ELEMENT(src));
    if (!GST_CLOCK_TIME_IS_VALID(feed->base)) feed->base = 0;
  }
  GstBuffer* buffer = gst_buffer_copy(clip.buffers[feed->next]);
  const std::uint64_t index = feed->round * clip.buffers.size() + feed->next;
  GST_BUFFER_PTS(buffer) = feed->base + index * clip.frame_duration;
  GST_BUFFER_DTS(buffer) = GST_BUFFER_PTS(buffer);
  GST_BUFFER_DURATION(buffer) = clip.frame_duration;
  if (++feed->next == clip.buffers.size()) {
    feed->next = 0;
    ++feed->round;
  }
  gst_app_src_push_buffer(src, buffer);
}

void on_loop_media_configure(GstRTSPMediaFactory*, GstRTSPMedia* media, gpointer user_data) {
  auto clip = *static_cast<std::shared_ptr<Clip>*>(user_data);
  GstElement* element = gst_rtsp_media_get_element(media);
  GstElement* src = gst_bin_get_by_name_recurse_up(GST_BIN(element), "src");
  if (src) {
    g_object_set(src, "caps", clip->caps, "format", GST_FORMAT_TIME, "is-live", TRUE, "max-buffers",
                 static_cast<guint64>(2), nullptr);
    auto* feed = new LoopFeed{clip};
    GstAppSrcCallbacks callbacks{};
    callbacks.need_data = on_need_data;
    gst_app_src_set_callbacks(GST_APP_SRC(src), &callbacks, feed,
                              [](gpointer p) { delete static_cast<LoopFeed*>(p); });
    gst_object_unref(src);
  }
  gst_object_unref(element);
}

// ---- frame counter -----------------------------------------------------------------------

constexpr int kBlock = 16;
constexpr std::size_t kRememberedFrames = 1u << kCounterBits;

// Painting times of one counter mount, indexed by frame number modulo the remembered count.
struct CounterLog {
  std::mutex mutex;
  std::vector<std::pair<int, double>> painted =
      std::vector<std::pair<int, double>>(kRememberedFrames, {-1, -1.0});
};

struct CounterPainter {
  std::shared_ptr<CounterLog> log;
  int width;
  int height;
  int next = 0;
};

// Paints the frame number into an I420 frame: bit i is block i of the top row, white for 1.
GstPadProbeReturn paint_counter(GstPad*, GstPadProbeInfo* info, gpointer data) {
  auto* painter = static_cast<CounterPainter*>(data);
  GstBuffer* buffer = gst_buffer_make_writable(GST_PAD_PROBE_INFO_BUFFER(info));
  GST_PAD_PROBE_INFO_DATA(info) = buffer;
  GstMapInfo map;
  if (!gst_buffer_map(buffer, &map, GST_MAP_WRITE)) return GST_PAD_PROBE_OK;
  const int w = painter->width;
  const int h = painter->height;
  const std::size_t y_stride = GST_ROUND_UP_4(w);
  const std::size_t c_stride = GST_ROUND_UP_4(GST_ROUND_UP_2(w) / 2);
  const std::size_t u_offset = y_stride * GST_ROUND_UP_2(h);
  const std::size_t v_offset = u_offset + c_stride * (GST_ROUND_UP_2(h) / 2);
  const int number = painter->next++;
  for (int bit = 0; bit < kCounterBits && (bit + 1) * kBlock <= w; ++bit) {
    const std::uint8_t luma = (number >> bit) & 1 ? 235 : 16;
    for (int y = 0; y < kBlock; ++y) {
      std::memset(map.data + y * y_stride + bit * kBlock, luma, kBlock);
      if (y < kBlock / 2) {
        std::memset(map.data + u_offset + y * c_stride + bit * kBlock / 2, 128, kBlock / 2);
        std::memset(map.data + v_offset + y * c_stride + bit * kBlock / 2, 128, kBlock / 2);
      }
    }
  }
  gst_buffer_unmap(buffer, &map);
  std::lock_guard lock(painter->log->mutex);
  painter->log->painted[static_cast<std::size_t>(number) % kRememberedFrames] = {
      number, static_cast<double>(g_get_real_time()) / G_USEC_PER_SEC};
  return GST_PAD_PROBE_OK;
}

struct CounterMount {
  std::shared_ptr<CounterLog> log;
  int width;
  int height;
};

// Each new media counts from 0 again.
void on_counter_media_configure(GstRTSPMediaFactory*, GstRTSPMedia* media, gpointer user_data) {
  const auto& mount = *static_cast<CounterMount*>(user_data);
  GstElement* element = gst_rtsp_media_get_element(media);
  if (GstElement* src = gst_bin_get_by_name_recurse_up(GST_BIN(element), "src")) {
    GstPad* pad = gst_element_get_static_pad(src, "src");
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, paint_counter,
                      new CounterPainter{mount.log, mount.width, mount.height},
                      [](gpointer p) { delete static_cast<CounterPainter*>(p); });
    gst_object_unref(pad);
    gst_object_unref(src);
  }
  gst_object_unref(element);
}

GstRTSPFilterResult remove_all_clients(GstRTSPServer*, GstRTSPClient*, gpointer) {
  return GST_RTSP_FILTER_REMOVE;
}

GstRTSPFilterResult remove_all_sessions(GstRTSPSessionPool*, GstRTSPSession*, gpointer) {
  return GST_RTSP_FILTER_REMOVE;
}

// A fresh self-signed certificate for 127.0.0.1 (made per server, so no key is checked in),
// installed on the server's auth: every connection then speaks TLS.
void enable_tls(GstRTSPAuth* auth, std::string* dir, std::string* cert) {
  gchar* made = g_dir_make_tmp("strovix-tls-XXXXXX", nullptr);
  if (!made) throw std::runtime_error("cannot create a directory for the test certificate");
  *dir = made;
  g_free(made);
  *cert = *dir + "/cert.pem";
  const std::string key = *dir + "/key.pem";
  const std::string command =
      "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 "
      "-addext subjectAltName=IP:127.0.0.1 -keyout '" +
      key + "' -out '" + *cert + "' >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) {
    throw std::runtime_error("openssl cannot make the test certificate");
  }
  GError* error = nullptr;
  GTlsCertificate* certificate =
      g_tls_certificate_new_from_files(cert->c_str(), key.c_str(), &error);
  if (!certificate) {
    const std::string why = error ? error->message : "unknown error";
    g_clear_error(&error);
    throw std::runtime_error("cannot load the test certificate: " + why);
  }
  gst_rtsp_auth_set_tls_certificate(auth, certificate);
  g_object_unref(certificate);
}

}  // namespace

const Bgr kCounterBars[7] = {{252, 252, 252}, {0, 252, 252}, {252, 252, 0}, {0, 252, 0},
                             {252, 0, 252},   {0, 0, 252},   {252, 0, 0}};

std::vector<std::uint8_t> scroll_reference(const std::string& pattern, int width, int height) {
  const std::string description = "videotestsrc num-buffers=1 pattern=" + pattern +
                                  " ! video/x-raw,format=GRAY8,width=" + std::to_string(width) +
                                  ",height=" + std::to_string(height) +
                                  " ! appsink name=sink sync=false";
  GstElement* pipeline = gst_parse_launch(description.c_str(), nullptr);
  if (!pipeline) throw std::runtime_error("cannot render the scroll reference");
  GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 10 * GST_SECOND);
  std::vector<std::uint8_t> luma;
  GstVideoInfo info;
  if (sample && gst_video_info_from_caps(&info, gst_sample_get_caps(sample))) {
    GstVideoFrame frame;
    if (gst_video_frame_map(&frame, &info, gst_sample_get_buffer(sample), GST_MAP_READ)) {
      const auto* data = static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0));
      const int stride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0);
      luma.reserve(static_cast<std::size_t>(width) * height);
      // videotestsrc paints studio-range luma (16-235); the reader delivers full range.
      for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
          const int v = (data[y * stride + x] - 16) * 255 / 219;
          luma.push_back(static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v));
        }
      }
      gst_video_frame_unmap(&frame);
    }
  }
  if (sample) gst_sample_unref(sample);
  gst_object_unref(sink);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(pipeline);
  if (luma.empty()) throw std::runtime_error("no scroll reference picture");
  return luma;
}

int read_frame_counter(const std::uint8_t* bgr, int width, int height, std::size_t stride) {
  if (width < kCounterBits * kBlock || height < kBlock) return -1;
  int number = 0;
  const std::uint8_t* row = bgr + (kBlock / 2) * stride;
  for (int bit = 0; bit < kCounterBits; ++bit) {
    const std::uint8_t* px = row + (bit * kBlock + kBlock / 2) * 3;
    if (px[0] + px[1] + px[2] > 3 * 128) number |= 1 << bit;
  }
  return number;
}

bool bars_intact(const std::uint8_t* bgr, int width, int height, std::size_t stride,
                 int tolerance) {
  if (width < 14 || height < 3 * kBlock) return false;
  const std::uint8_t* row = bgr + static_cast<std::size_t>(height / 3) * stride;
  for (int i = 0; i < 7; ++i) {
    const std::uint8_t* px = row + static_cast<std::size_t>((2 * i + 1) * width / 14) * 3;
    const Bgr& want = kCounterBars[i];
    if (std::abs(px[0] - want.b) > tolerance || std::abs(px[1] - want.g) > tolerance ||
        std::abs(px[2] - want.r) > tolerance) {
      return false;
    }
  }
  return true;
}

RtspTestServer::RtspTestServer() : RtspTestServer(Options{}) {}

RtspTestServer::RtspTestServer(Options options) : options_(std::move(options)) {
  context_ = g_main_context_new();
  loop_ = g_main_loop_new(context_, FALSE);
  server_ = gst_rtsp_server_new();
  gst_rtsp_server_set_address(server_, "127.0.0.1");
  mounts_ = gst_rtsp_server_get_mount_points(server_);

  auth_ = gst_rtsp_auth_new();
  GstRTSPToken* anonymous =
      gst_rtsp_token_new(GST_RTSP_TOKEN_MEDIA_FACTORY_ROLE, G_TYPE_STRING, kAnonymousRole, nullptr);
  gst_rtsp_auth_set_default_token(auth_, anonymous);
  gst_rtsp_token_unref(anonymous);
  if (options_.digest) gst_rtsp_auth_set_supported_methods(auth_, GST_RTSP_AUTH_DIGEST);
  add_credentials(options_.user, options_.password);
  if (options_.tls) enable_tls(auth_, &tls_dir_, &tls_cert_);
  gst_rtsp_server_set_auth(server_, auth_);

  thread_ = std::thread([this] {
    g_main_context_push_thread_default(context_);
    g_main_loop_run(loop_);
    g_main_context_pop_thread_default(context_);
  });
  pthread_setname_np(thread_.native_handle(), "RtspTestServer");
}

RtspTestServer::~RtspTestServer() {
  stop();
  quit_loop();
  if (thread_.joinable()) thread_.join();
  // Drop the factories first: their shared media hold the last references to the clips.
  g_object_unref(mounts_);
  g_object_unref(auth_);
  g_object_unref(server_);
  g_main_loop_unref(loop_);
  g_main_context_unref(context_);
  if (!tls_dir_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(tls_dir_, ignored);
  }
}

void RtspTestServer::quit_loop() {
  // Quitting from inside the context cannot race with the loop not having started yet.
  g_main_context_invoke(
      context_,
      [](gpointer loop) -> gboolean {
        g_main_loop_quit(static_cast<GMainLoop*>(loop));
        return G_SOURCE_REMOVE;
      },
      loop_);
}

void RtspTestServer::add_mount(const std::string& path, const RtspMountOptions& options) {
  GstRTSPMediaFactory* factory = gst_rtsp_media_factory_new();
  gst_rtsp_media_factory_set_launch(factory, launch_of(options).c_str());
  gst_rtsp_media_factory_set_shared(factory, TRUE);
  if (options.udp_only) gst_rtsp_media_factory_set_protocols(factory, GST_RTSP_LOWER_TRANS_UDP);
  configure_access(factory, options.require_auth);
  if (options.counter) {
    auto log = std::make_shared<CounterLog>();
    {
      std::lock_guard lock(mutex_);
      counters_[normalise_path(path)] = log;
    }
    g_signal_connect_data(
        factory, "media-configure", G_CALLBACK(on_counter_media_configure),
        new CounterMount{log, options.width, options.height},
        [](gpointer p, GClosure*) { delete static_cast<CounterMount*>(p); }, GConnectFlags(0));
  }
  gst_rtsp_mount_points_add_factory(mounts_, normalise_path(path).c_str(), factory);
}

void RtspTestServer::add_looped_h264_mount(const std::string& path,
                                           const RtspLoopedMountOptions& options) {
  auto clip = encode_clip(options);
  GstRTSPMediaFactory* factory = gst_rtsp_media_factory_new();
  gst_rtsp_media_factory_set_launch(
      factory, "( appsrc name=src ! h264parse ! rtph264pay name=pay0 pt=96 config-interval=-1 )");
  gst_rtsp_media_factory_set_shared(factory, TRUE);
  configure_access(factory, options.require_auth);
  auto* handle = new std::shared_ptr<Clip>(clip);
  g_signal_connect_data(
      factory, "media-configure", G_CALLBACK(on_loop_media_configure), handle,
      [](gpointer p, GClosure*) { delete static_cast<std::shared_ptr<Clip>*>(p); },
      GConnectFlags(0));
  {
    std::lock_guard lock(mutex_);
    clips_.push_back(clip);
  }
  gst_rtsp_mount_points_add_factory(mounts_, normalise_path(path).c_str(), factory);
}

void RtspTestServer::start() {
  std::lock_guard lock(mutex_);
  if (source_) return;
  const std::string service = std::to_string(port_);  // "0" the first time: any free port
  gst_rtsp_server_set_service(server_, service.c_str());
  GError* error = nullptr;
  GSource* source = gst_rtsp_server_create_source(server_, nullptr, &error);
  if (!source) {
    std::string what = error ? error->message : "unknown error";
    if (error) g_error_free(error);
    throw std::runtime_error("RTSP test server cannot listen on 127.0.0.1:" + service + ": " +
                             what);
  }
  g_source_attach(source, context_);
  source_ = source;
  port_ = gst_rtsp_server_get_bound_port(server_);
}

void RtspTestServer::stop() {
  std::lock_guard lock(mutex_);
  if (!source_) return;
  // Destroying the source releases the listening socket, so new connections are refused.
  g_source_destroy(source_);
  g_source_unref(source_);
  source_ = nullptr;
  // Sessions and clients live on the server's own thread: dropping them from here raced with
  // it (seen: a client left spinning on its closed connection). Do it there and wait.
  struct Job {
    GstRTSPServer* server;
    strovix::Event done;
  };
  auto* job = new std::shared_ptr<Job>(std::make_shared<Job>());
  (*job)->server = GST_RTSP_SERVER(g_object_ref(server_));
  std::shared_ptr<Job> waiting = *job;
  g_main_context_invoke_full(
      context_, G_PRIORITY_DEFAULT,
      [](gpointer data) -> gboolean {
        auto& job = *static_cast<std::shared_ptr<Job>*>(data);
        // UDP sessions outlive their RTSP connection; drop them too so the media stop.
        if (GstRTSPSessionPool* pool = gst_rtsp_server_get_session_pool(job->server)) {
          GList* removed = gst_rtsp_session_pool_filter(pool, remove_all_sessions, nullptr);
          g_list_free_full(removed, g_object_unref);
          g_object_unref(pool);
        }
        GList* clients = gst_rtsp_server_client_filter(job->server, remove_all_clients, nullptr);
        g_list_free_full(clients, g_object_unref);
        job->done.set();
        return G_SOURCE_REMOVE;
      },
      job,
      [](gpointer data) {
        auto* job = static_cast<std::shared_ptr<Job>*>(data);
        g_object_unref((*job)->server);
        delete job;
      });
  waiting->done.wait(10.0);
}

bool RtspTestServer::running() const {
  std::lock_guard lock(mutex_);
  return source_ != nullptr;
}

int RtspTestServer::port() const {
  std::lock_guard lock(mutex_);
  return port_;
}

std::string RtspTestServer::url(const std::string& path) const {
  return scheme() + std::string("127.0.0.1:") + std::to_string(port()) + normalise_path(path);
}

std::string RtspTestServer::url_with_credentials(const std::string& path) const {
  return url_with_credentials(path, options_.user, options_.password);
}

std::string RtspTestServer::url_with_credentials(const std::string& path, const std::string& user,
                                                 const std::string& password) const {
  return scheme() + escape_userinfo(user) + ":" + escape_userinfo(password) +
         "@127.0.0.1:" + std::to_string(port()) + normalise_path(path);
}

double RtspTestServer::painted_at(const std::string& path, int number) const {
  std::shared_ptr<CounterLog> log;
  {
    std::lock_guard lock(mutex_);
    auto it = counters_.find(normalise_path(path));
    if (it == counters_.end() || number < 0) return -1.0;
    log = std::static_pointer_cast<CounterLog>(it->second);
  }
  std::lock_guard lock(log->mutex);
  const auto& entry = log->painted[static_cast<std::size_t>(number) % kRememberedFrames];
  return entry.first == number ? entry.second : -1.0;
}

void RtspTestServer::add_credentials(const std::string& user, const std::string& password) {
  GstRTSPToken* token =
      gst_rtsp_token_new(GST_RTSP_TOKEN_MEDIA_FACTORY_ROLE, G_TYPE_STRING, kUserRole, nullptr);
  // Digest needs the password itself; Basic matches the encoded header.
  if (options_.digest) {
    gst_rtsp_auth_add_digest(auth_, user.c_str(), password.c_str(), token);
  } else {
    gchar* basic = gst_rtsp_auth_make_basic(user.c_str(), password.c_str());
    gst_rtsp_auth_add_basic(auth_, basic, token);
    g_free(basic);
  }
  gst_rtsp_token_unref(token);
}

int RtspTestServer::client_count() const {
  GList* clients = gst_rtsp_server_client_filter(server_, nullptr, nullptr);
  const int n = static_cast<int>(g_list_length(clients));
  g_list_free_full(clients, g_object_unref);
  return n;
}

}  // namespace strovix::testing
