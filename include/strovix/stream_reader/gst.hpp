#pragma once
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "strovix/event.hpp"
#include "strovix/export.hpp"
#include "strovix/logger.hpp"
#include "strovix/stream_reader/base.hpp"
#include "strovix/stream_reader/runtime_options.hpp"
#include "strovix/utils/atomic_shared_ptr.hpp"

namespace strovix {

namespace detail {
class PipelineState;
class PipelineRestarter;
class KeyframeFilter;
}  // namespace detail

struct GstStreamReaderOptions {
  // rtspsrc latency in milliseconds (rtsp only).
  int latency = StreamReader::DEFAULT_LATENCY;
  // A custom pipeline description with an appsink; when set, the URL is not examined.
  std::optional<std::string> pipeline_str;
  // Fail construction with StreamSetupError unless the first pipeline reaches PLAYING.
  bool must_play = false;
  // The stream runs through a proxy: rtsp uses TCP only.
  bool proxied = false;
  // Accepted for compatibility; it has no effect.
  double setup_timeout = 30.0;
  double base_backoff_seconds = 12.0;
  double max_backoff_seconds = 64.0;
  double backoff_randomness_seconds = 10.0;

  // Test seams: the longest waits for a state change (PLAYING at construction with
  // must_play, NULL at teardown, a status change while not streaming) and the stall after
  // which the watchdog restarts a stream. Production keeps 30 s and 120 s.
  double state_change_timeout = 30.0;
  double frame_timeout = 120.0;
};

// Reads from a stream and outputs frames with their respective timestamps using GStreamer.
// One reader per stream; it keeps the stream alive by itself until close().
class STROVIX_EXPORT GstStreamReader : public StreamReader {
 public:
  using Options = GstStreamReaderOptions;
  static const SupportedRuntimeOptions SUPPORTED_RUNTIME_OPTIONS;

  // Throws RuntimeOptionError for a bad option, std::runtime_error when GStreamer has not
  // been started (gobject_init::start), StreamSetupError for an unsupported URL scheme, a
  // description that does not build, or (must_play) a pipeline that does not play.
  GstStreamReader(int id, std::string url, RuntimeOptions runtime_options, Options options = {});
  // Closes the reader and joins both of its threads.
  ~GstStreamReader() override;
  GstStreamReader(const GstStreamReader&) = delete;
  GstStreamReader& operator=(const GstStreamReader&) = delete;

  const int id;

  // Deprecated: detect the end of a stream by a Frame without image from latest_frame().
  StreamStatus status() const;
  // Deprecated.
  void set_status(StreamStatus status);

  // Set for every delivered frame; never cleared by the reader.
  std::shared_ptr<Event> new_frame_event() const { return _new_frame_event; }
  // Set on every status change; never cleared by the reader.
  std::shared_ptr<Event> new_status_event() const;
  // Set for a new frame and on close(); cleared by latest_frame().
  std::shared_ptr<Event> latest_frame_event() const { return _latest_frame_event; }

  // The newest frame and the wall-clock time it was pulled; no image before the first frame
  // and after the stream is closed. Clears latest_frame_event.
  Frame latest_frame();

  // Validates the options, then applies "keyframes_only".
  void set_runtime_option_vals(const RuntimeOptions& runtime_options);

  // Asks the reader to stop; returns without waiting for its threads.
  void close();
  // Closes the reader, then blocks until the supervision has shut the pipeline down.
  void wait_until_closed();

 private:
  void _on_pipeline_complete();
  void _pull_samples();
  void stop_and_join() noexcept;

  Logger _logger;
  std::string _url;
  double frame_timeout_;
  std::shared_ptr<Event> _latest_frame_event;
  std::shared_ptr<Event> _new_frame_event;
  std::shared_ptr<detail::PipelineState> _pipeline_state;
  std::shared_ptr<detail::PipelineRestarter> _pipeline_restarter;
  std::shared_ptr<detail::KeyframeFilter> _keyframe_filter;
  AtomicSharedPtr<const Frame> _latest_frame;
  std::thread _sample_pulling_thread;
};

}  // namespace strovix
