#pragma once
// The reader hosts create, one per camera. This header pulls in no GStreamer, GLib or
// logging-library header: the reader's internals live behind a pointer.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "strovix/event.hpp"
#include "strovix/export.hpp"
#include "strovix/frame.hpp"
#include "strovix/log_level.hpp"
#include "strovix/stream_reader/base.hpp"
#include "strovix/stream_reader/runtime_options.hpp"

namespace strovix {

struct GstStreamReaderOptions {
  // rtspsrc latency in milliseconds (rtsp only).
  int latency = StreamReader::DEFAULT_LATENCY;
  // A custom pipeline description with an appsink; when set, the URL is not examined.
  std::optional<std::string> pipeline_str;
  // Fail construction with StreamSetupError unless the first pipeline reaches PLAYING.
  bool must_play = false;
  // The stream runs through a proxy: rtsp uses TCP only.
  bool proxied = false;
  // rtsp over UDP moves to TCP (interleaved in the RTSP connection) for the rest of the
  // reader's life when its UDP path fails: more than 1 % of the packets lost over 10 s,
  // losses that keep every frame from being intact for 3 s, or no RTP at all for 3 s while
  // the pipeline plays. false keeps UDP whatever happens.
  bool tcp_fallback = true;
  // Deprecated: it has no effect (the build's waits are bounded by state_change_timeout).
  // Kept so that existing callers still compile; it will be removed.
  double setup_timeout = 30.0;
  double base_backoff_seconds = 12.0;
  double max_backoff_seconds = 64.0;
  double backoff_randomness_seconds = 10.0;

  // TLS, for rtsps:// and https://. tls_ca_file: a PEM file of the certificates to trust
  // instead of the system's (a camera's self-signed certificate, or the CA that signed it);
  // one that cannot be read is refused at construction (StreamSetupError). tls_validation
  // false accepts any certificate, which lets anybody on the path read the stream and its
  // credentials; the reader then logs a warning at construction.
  std::string tls_ca_file;
  bool tls_validation = true;

  // What frames are delivered as, converted in the same pass that turns the decoder's
  // pictures into images. 0 is the source's width or height; with exactly one of them 0 the
  // other follows the source's aspect ratio, rounded to an even number. Sizes above 16384
  // and negative ones are refused at construction (StreamSetupError).
  int output_width = 0;
  int output_height = 0;
  PixelFormat pixel_format = PixelFormat::BGR;

  // The longest waits for a state change (PLAYING at construction with must_play, NULL at
  // teardown, a status change while not streaming) and the stall after which the watchdog
  // restarts a stream.
  double state_change_timeout = 30.0;
  double frame_timeout = 120.0;

  // rtsp: a frame built on lost packets (and every frame after it up to the next intact
  // keyframe) is never delivered; the newest intact frame stays the newest. true delivers
  // them, smeared and blocky as the decoder conceals the loss, for hosts that prefer any
  // picture to none.
  bool deliver_damaged = false;

  // Names the stream in its log lines instead of its URL (the logger "strovix:NAME", and
  // "camera" in the json log format): a fleet's camera name. Empty: the URL without
  // credentials.
  std::string log_name;
};

// One consistent snapshot of what a reader has done. Times are wall-clock seconds since the
// epoch, 0 when it has not happened yet.
struct StreamStats {
  // Frames handed to latest_frame() since construction.
  std::uint64_t frames_delivered = 0;
  // Of those, frames replaced by a newer one before anybody called latest_frame().
  std::uint64_t frames_replaced = 0;
  // Pipeline restarts since construction (failed attempts included).
  std::uint64_t restarts = 0;
  // Restarts since the last delivered frame: 0 while a stream is healthy.
  std::uint64_t restarts_since_frame = 0;
  // rtsp: RTP packets of the video received and lost (sequence numbers that never arrived),
  // and encoded frames not delivered because they were built on lost data. All pipelines
  // since construction.
  std::uint64_t packets_received = 0;
  std::uint64_t packets_lost = 0;
  std::uint64_t frames_damaged_dropped = 0;
  // The last bus error or frame conversion error, without credentials; empty when none.
  std::string last_error;
  double last_error_time = 0.0;
  double last_frame_time = 0.0;
  StreamStatus status = StreamStatus::INITIALIZING;
  bool keyframes_only = false;
  // Of the last delivered frame; 0 before the first.
  int width = 0;
  int height = 0;
  // The camera's video codec ("H.264", "H.265", "MJPEG", ...) once known, else empty.
  std::string codec;
  // The newest frame's pull time minus its capture time (seconds), when it has one: the
  // latency from the camera to the frame, as far as the camera's clock agrees with ours.
  std::optional<double> capture_latency;
  // How the pictures arrive: "udp" or "tcp" for rtsp (TCP when proxied, after a fallback, or
  // when rtspsrc found no UDP path at the start), "tcp" for http, "" for a custom pipeline.
  std::string transport;
  // Datagrams the kernel dropped at the stream's UDP sockets because their receive buffer
  // was full, since construction (Linux; 0 elsewhere and over TCP).
  std::uint64_t udp_kernel_drops = 0;
  // The receive buffer the kernel granted the current UDP sockets, as it reports it (about
  // twice the size asked for, its bookkeeping included); 0 over TCP.
  int udp_receive_buffer = 0;
};

// Reads from a stream and outputs frames with their respective timestamps using GStreamer.
// One reader per stream; it keeps the stream alive by itself until close().
//
// Threads: every public method may be called from any thread, concurrently. None calls back
// into the host. Methods say below whether and how long they may block.
class STROVIX_EXPORT GstStreamReader : public StreamReader {
 public:
  using Options = GstStreamReaderOptions;
  static const SupportedRuntimeOptions SUPPORTED_RUNTIME_OPTIONS;

  // Blocks while the first pipeline is built (and, with must_play, up to
  // state_change_timeout for PLAYING). Throws RuntimeOptionError for a bad option,
  // std::runtime_error when GStreamer has not been started (gobject_init::start),
  // StreamSetupError for an unsupported or malformed URL, a description that does not
  // build, (must_play) a pipeline that does not play, an output size or pixel format that
  // cannot be delivered, or a thread that cannot be created.
  GstStreamReader(int id, std::string url, RuntimeOptions runtime_options, Options options = {});
  // Same as wait_until_closed(). Must not run on a thread the reader itself calls into
  // (it never calls into the host, so any host thread is fine).
  ~GstStreamReader() override;
  GstStreamReader(const GstStreamReader&) = delete;
  GstStreamReader& operator=(const GstStreamReader&) = delete;

  const int id;

  // Never blocks. Deprecated: detect the end of a stream by a Frame without image.
  StreamStatus status() const;
  // Blocks up to one rebuild in progress. Deprecated.
  void set_status(StreamStatus status);

  // Never block. Set for every delivered frame; never cleared by the reader.
  std::shared_ptr<Event> new_frame_event() const;
  // Set on every status change; never cleared by the reader.
  std::shared_ptr<Event> new_status_event() const;
  // Set for a new frame and on close(); cleared by latest_frame().
  std::shared_ptr<Event> latest_frame_event() const;

  // Never blocks (no lock shared with the reader's threads). The newest frame and the
  // wall-clock time it was pulled; no image before the first frame and after the stream is
  // closed. Clears latest_frame_event.
  Frame latest_frame();

  // Never blocks for long: a snapshot of counters, no waiting on the stream.
  StreamStats stats() const;

  // Validates the options, then applies "keyframes_only" to the running pipeline; blocks
  // only for a pad-probe change (microseconds). Throws RuntimeOptionError.
  void set_runtime_option_vals(const RuntimeOptions& runtime_options);

  // This stream's log level (the default is set_log_level()'s). Never blocks.
  void set_log_level(LogLevel level);

  // Asks the reader to stop. Ends a back-off at once; blocks while a rebuild is in progress
  // (at most one rebuild: a teardown of up to state_change_timeout, then a build).
  void close();
  // Closes the reader, then blocks until the supervision has shut the pipeline down: at
  // most what close() waits plus the final teardown (up to state_change_timeout).
  void wait_until_closed();

  class Impl;

 private:
  std::unique_ptr<Impl> _impl;
};

}  // namespace strovix
