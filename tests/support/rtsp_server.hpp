#pragma once
#include <gst/gst.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

typedef struct _GstRTSPServer GstRTSPServer;
typedef struct _GstRTSPMountPoints GstRTSPMountPoints;
typedef struct _GstRTSPAuth GstRTSPAuth;

namespace strovix::testing {

// VP8 stands for a video codec the reader does not decode.
enum class RtspCodec { H264, H265, MJPEG, VP8 };

struct RtspMountOptions {
  RtspCodec codec = RtspCodec::H264;
  int width = 320;
  int height = 240;
  int fps = 30;
  // Frames between keyframes (H.264/H.265); fps frames = one keyframe a second.
  int key_int_max = 30;
  // Only clients with the server's credentials may play this mount.
  bool require_auth = false;
  // Adds an audio stream (PCMA) next to the video, as many cameras do.
  bool with_audio = false;
  // B-frames between references (H.264/H.265), as Main/High-profile cameras send; 0: none.
  int bframes = 0;
  // Serves still colour bars with the frame number painted in the top row of 16x16 blocks
  // (see read_frame_counter), instead of a moving ball. Needs a width of at least 256.
  bool counter = false;
  // Offers RTP over UDP only: a client that insists on TCP is refused (461).
  bool udp_only = false;
  // A still videotestsrc pattern ("smpte", "pinwheel", ...) scrolled left by `scroll` pixels a
  // frame and wrapping round (videotestsrc's horizontal-speed): frame n is frame 0 shifted by
  // n * scroll, so a picture can be scored against the clean one (scroll_reference).
  std::string pattern = "";
  int scroll = 0;
};

// Frame 0 of a scrolling mount as full-range luma, width * height bytes, rendered without
// encoding: the clean picture that frame n equals when shifted left by n * scroll.
std::vector<std::uint8_t> scroll_reference(const std::string& pattern, int width, int height);

// Colour bars of a `counter` mount, left to right, as B, G, R.
struct Bgr {
  int b, g, r;
};
extern const Bgr kCounterBars[7];
// Bits of the painted frame number.
constexpr int kCounterBits = 16;

// The frame number painted into a picture of a `counter` mount, or -1 when the picture is too
// small to hold it.
int read_frame_counter(const std::uint8_t* bgr, int width, int height, std::size_t stride);
// Whether the colour bars below the counter read back within `tolerance` per channel: false
// for a picture decoded without its reference frames.
bool bars_intact(const std::uint8_t* bgr, int width, int height, std::size_t stride,
                 int tolerance = 40);

// A pre-encoded H.264 clip served in a loop: encoding happens once, when the mount is added,
// so serving costs no encoder time (for benchmarks with many streams).
struct RtspLoopedMountOptions {
  int width = 320;
  int height = 240;
  int fps = 30;
  int key_int_max = 30;
  int seconds = 2;
  bool require_auth = false;
  // Content as costly to decode as a camera picture: colour bars with a band of noise across
  // the middle, x264 veryfast at this bit rate (kbit/s). 0: the cheap moving ball, encoded
  // ultrafast at x264's default quality.
  int camera_kbps = 0;
  // With camera_kbps 0: a scrolling still pattern as in RtspMountOptions instead of the ball,
  // at 8 Mbit/s so that its pictures score well above visible damage.
  std::string pattern = "";
  int scroll = 0;
};

// An in-process RTSP server on 127.0.0.1 with an ephemeral port, serving live test patterns.
// It runs on its own GMainContext and thread. Media are shared, so any number of clients of
// one mount cost one encoder.
class RtspTestServer {
 public:
  struct Options {
    // Credentials of mounts with require_auth.
    std::string user = "strovix";
    std::string password = "s3cret-Pa55";
    // Challenge with Digest instead of Basic authentication on every mount with require_auth.
    bool digest = false;
    // Serves RTSP over TLS (rtsps://) with a self-signed certificate for 127.0.0.1, made at
    // construction with the openssl command; tls_ca_file() names it for clients to trust.
    bool tls = false;
  };

  RtspTestServer();
  explicit RtspTestServer(Options options);
  ~RtspTestServer();
  RtspTestServer(const RtspTestServer&) = delete;
  RtspTestServer& operator=(const RtspTestServer&) = delete;

  // `path` like "/h264". Mounts may be added before or after start().
  void add_mount(const std::string& path, const RtspMountOptions& options = {});
  // Encodes the clip now (a few hundred milliseconds for small sizes); throws
  // std::runtime_error if encoding fails.
  void add_looped_h264_mount(const std::string& path, const RtspLoopedMountOptions& options = {});

  // Starts listening: the first time on a new ephemeral port, later on that same port.
  // Throws std::runtime_error when the port cannot be bound.
  void start();
  // Stops listening and drops every client and session, so existing clients get errors.
  void stop();
  bool running() const;

  int port() const;
  // "rtsp://127.0.0.1:PORT/path" ("rtsps://" with Options::tls)
  std::string url(const std::string& path) const;
  // The same URL with the server's credentials, or with the ones given.
  std::string url_with_credentials(const std::string& path) const;
  std::string url_with_credentials(const std::string& path, const std::string& user,
                                   const std::string& password) const;
  const Options& options() const { return options_; }
  // Lets these credentials play locked mounts too.
  void add_credentials(const std::string& user, const std::string& password);

  // The PEM file of the server's certificate (Options::tls), else "".
  const std::string& tls_ca_file() const { return tls_dir_.empty() ? tls_dir_ : tls_cert_; }

  // Clients currently connected (for tests of stop()).
  int client_count() const;

  // Wall-clock time (seconds since the epoch) at which the `counter` mount at `path` painted
  // frame `number`, or a negative value when it has not (or no longer remembers).
  double painted_at(const std::string& path, int number) const;

 private:
  void quit_loop();

  const char* scheme() const { return options_.tls ? "rtsps://" : "rtsp://"; }

  Options options_;
  // Temporary directory holding the certificate and key (Options::tls); removed at the end.
  std::string tls_dir_;
  std::string tls_cert_;
  GMainContext* context_ = nullptr;
  GMainLoop* loop_ = nullptr;
  std::thread thread_;
  GstRTSPServer* server_ = nullptr;
  GstRTSPMountPoints* mounts_ = nullptr;
  GstRTSPAuth* auth_ = nullptr;
  // Guards source_, port_ and the start/stop transitions.
  mutable std::mutex mutex_;
  GSource* source_ = nullptr;
  int port_ = 0;
  // Pre-encoded clips; each mount's media shares its clip.
  std::vector<std::shared_ptr<void>> clips_;
  // Painting times of `counter` mounts, by path.
  std::map<std::string, std::shared_ptr<void>> counters_;
};

}  // namespace strovix::testing
