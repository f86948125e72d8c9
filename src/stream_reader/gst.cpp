#include "strovix/stream_reader/gst.hpp"

#include <glib.h>

#include <cmath>
#include <cstdio>
#include <limits>

#include "capture_clock/rtsp.hpp"
#include "convert/convert.hpp"
#include "logging/debug_redaction.hpp"
#include "logging/url.hpp"
#include "stream_reader/codec_name.hpp"
#include "stream_reader/keyframe_filter.hpp"
#include "stream_reader/pipeline_restarter.hpp"
#include "stream_reader/pipeline_state.hpp"
#include "stream_reader/transport_monitor.hpp"
#include "stream_reader/wiring.hpp"
#include "strovix/errors.hpp"
#include "strovix/gobject_init.hpp"
#include "strovix/gst/pipeline_factories.hpp"
#include "strovix/gst/sample_convert.hpp"

namespace strovix {
namespace {

using detail::wall_clock_seconds;

// A pair with no frame: before the first one and after the end.
std::shared_ptr<const Frame> end_pair(double timestamp) {
  auto frame = std::make_shared<Frame>();
  frame->timestamp = timestamp;
  return frame;
}

// The factory for the URL's scheme, or for the custom description; throws StreamSetupError.
std::shared_ptr<PipelineFactory> make_factory(const std::string& url,
                                              const detail::StreamUrl& parsed,
                                              const GstStreamReader::Options& options,
                                              const PipelineWatcher& watcher,
                                              const OnComplete& on_complete,
                                              std::shared_ptr<LossCounters> loss_counters) {
  if (options.pipeline_str) {
    return std::make_shared<CustomPipelineFactory>(*options.pipeline_str, watcher, on_complete);
  }
  const std::string& scheme = parsed.scheme;
  const bool rtsp = scheme == "rtsp" || scheme == "rtsps";
  const bool http = scheme == "http" || scheme == "https";
  if (rtsp || http) detail::check_network_url(url, parsed);
  const TlsSettings tls{options.tls_ca_file, options.tls_validation};
  if (rtsp) {
    return std::make_shared<RTSPPipelineFactory>(
        parsed, options.latency, watcher, options.proxied, on_complete, tls,
        DamageSettings{options.deliver_damaged, std::move(loss_counters)});
  }
  if (http) return std::make_shared<HTTPPipelineFactory>(parsed, watcher, on_complete, tls);
  // The URL is quoted without its credentials: error texts end up in logs.
  throw StreamSetupError(
      "Unsupported scheme '" + scheme +
      "'. Is the provided URL in a valid HTTP or RTSP format? Stream URL: " + parsed.display);
}

}  // namespace

// The reader's state and threads; the public class forwards to it.
class GstStreamReader::Impl {
 public:
  Impl(int id, std::string url, RuntimeOptions runtime_options, Options options);
  // Closes the reader and joins both of its threads.
  ~Impl();

  Frame latest_frame();
  StreamStats stats() const;
  void close();
  void wait_until_closed();

  const int id;
  Logger _logger;
  double _frame_timeout;
  std::shared_ptr<Event> _latest_frame_event;
  std::shared_ptr<Event> _new_frame_event;
  std::shared_ptr<detail::PipelineState> _pipeline_state;
  std::shared_ptr<detail::PipelineRestarter> _pipeline_restarter;
  std::shared_ptr<detail::KeyframeFilter> _keyframe_filter;
  std::unique_ptr<detail::TransportMonitor> _transport;
  // Outlive each pipeline: the losses of all of them.
  const std::shared_ptr<LossCounters> _loss_counters = std::make_shared<LossCounters>();
  AtomicSharedPtr<const Frame> _latest_frame;
  std::thread _sample_pulling_thread;
  const OutputFormat _output_format;
  // The sample-pulling thread's intermediate planes, kept from frame to frame.
  std::vector<std::uint8_t> _conversion_scratch;

  // Statistics: written by the sample-pulling thread once per frame (relaxed stores, no
  // allocation), read by stats().
  std::atomic<std::uint64_t> _frames_delivered{0};
  std::atomic<std::uint64_t> _frames_replaced{0};
  // Whether the newest frame has not been read by latest_frame() yet.
  std::atomic<bool> _unread{false};
  std::atomic<int> _width{0};
  std::atomic<int> _height{0};
  std::atomic<double> _last_frame_time{0.0};
  // Pull time minus capture time of the newest frame; NaN when it has no capture time.
  std::atomic<double> _capture_latency{std::numeric_limits<double>::quiet_NaN()};

 private:
  // Runs on "SamplePullingThread".
  void _pull_samples();
  // Sample-pulling thread: one pull from `pipeline` (held until it returns), converted and
  // delivered. Returns the pull's timestamp, or none when the sample held nothing to deliver.
  std::optional<double> pull_one(std::shared_ptr<Pipeline> pipeline);
  // Sample-pulling thread: restarts a stream that streams without frames for longer than
  // the frame time-out.
  void check_stall(double timestamp);
  void _stop_and_join() noexcept;
  void _publish(double timestamp, std::shared_ptr<const Image> image,
                std::optional<double> capture_time);
};

const SupportedRuntimeOptions GstStreamReader::SUPPORTED_RUNTIME_OPTIONS = {
    {"keyframes_only", RuntimeOptionType::BOOL}};

GstStreamReader::Impl::Impl(int id_, std::string url, RuntimeOptions runtime_options,
                            Options options)
    : id(id_),
      _frame_timeout(options.frame_timeout),
      _output_format{options.output_width, options.output_height, options.pixel_format} {
  // A description's URLs and passwords are hidden like the reader's own URL's, in its lines
  // and in GStreamer's debug output, from before the description is parsed.
  // The one parse of the URL: the logger, the factory and its connection check take it.
  const detail::StreamUrl parsed = detail::parse_stream_url(url);
  _logger = detail::stream_logger(parsed,
                                  options.pipeline_str
                                      ? detail::description_secrets(*options.pipeline_str)
                                      : std::vector<std::string>{},
                                  options.log_name);
  check_runtime_options(runtime_options, SUPPORTED_RUNTIME_OPTIONS);
  detail::check_output_format(_output_format);
  gobject_init::assert_started();
  if (g_main_context_get_thread_default() != nullptr) {
    _logger->warn(
        "A GStreamer pipeline is being created on a MainContext other than the global "
        "default. If this is a MainContext created by a QThread, asynchronous messages may "
        "not be sent properly.");
  }
  if (!options.tls_validation && !options.pipeline_str) {
    _logger->warn(
        "TLS certificate validation is off: any server can pose as this camera and read its "
        "credentials and pictures");
  }
  bool keyframes_only = false;
  if (auto it = runtime_options.find("keyframes_only"); it != runtime_options.end()) {
    keyframes_only = std::get<bool>(it->second);
  }
  _latest_frame_event = std::make_shared<Event>();
  _new_frame_event = std::make_shared<Event>();
  // A caller that asks before the pulling thread's first store sees "no frame yet".
  _latest_frame.store(end_pair(wall_clock_seconds()));

  detail::StreamParts parts =
      detail::wire_stream(id, _logger,
                          {.base_backoff_seconds = options.base_backoff_seconds,
                           .max_backoff_seconds = options.max_backoff_seconds,
                           .backoff_randomness_seconds = options.backoff_randomness_seconds,
                           .state_change_timeout = options.state_change_timeout,
                           .frame_timeout = options.frame_timeout,
                           .keyframes_only = keyframes_only});
  _pipeline_state = parts.state;
  _pipeline_restarter = parts.restarter;
  _keyframe_filter = parts.filter;
  auto factory =
      make_factory(url, parsed, options, parts.watcher, parts.on_complete, _loss_counters);
  _pipeline_state->factory.store(factory);
  _transport = std::make_unique<detail::TransportMonitor>(
      id, _logger, _pipeline_state, _pipeline_restarter,
      std::dynamic_pointer_cast<RTSPPipelineFactory>(factory), options.tcp_fallback,
      options.pipeline_str ? "" : "tcp");
  _pipeline_state->build(options.must_play);

  const char* starting = "PipelineRestarterThread";
  try {
    _pipeline_restarter->start();
    starting = "SamplePullingThread";
    _sample_pulling_thread =
        detail::start_named_thread("SamplePullingThread", [this] { _pull_samples(); });
  } catch (const std::exception& e) {
    // Shuts the pipeline down; waits only for a thread that did start.
    _stop_and_join();
    throw StreamSetupError("Stream " + std::to_string(id) + ": cannot start the thread " +
                           starting + ": " + e.what());
  }
}

GstStreamReader::Impl::~Impl() { _stop_and_join(); }

void GstStreamReader::Impl::_stop_and_join() noexcept {
  try {
    close();
    if (_pipeline_restarter) _pipeline_restarter->wait_until_closed();
  } catch (const std::exception& e) {
    _logger->error("strovix: closing stream_id " + std::to_string(id) + " failed: " + e.what());
  }
  if (_sample_pulling_thread.joinable()) _sample_pulling_thread.join();
}

Frame GstStreamReader::Impl::latest_frame() {
  auto frame = _latest_frame.load();
  _unread.store(false, std::memory_order_relaxed);
  _latest_frame_event->clear();
  return *frame;
}

void GstStreamReader::Impl::close() {
  _pipeline_restarter->close();
  _latest_frame_event->set();
}

void GstStreamReader::Impl::wait_until_closed() {
  close();
  _pipeline_restarter->wait_until_closed();
}

StreamStats GstStreamReader::Impl::stats() const {
  StreamStats st;
  // Replaced before delivered: a frame published in between can only make the pair look
  // like fewer replacements, never more replaced than delivered.
  st.frames_replaced = _frames_replaced.load();
  st.frames_delivered = _frames_delivered.load();
  const auto counters = _pipeline_restarter->counters();
  st.restarts = counters.restarts_total;
  st.restarts_since_frame = counters.restart_count;
  st.packets_received = _loss_counters->packets_received.load(std::memory_order_relaxed);
  st.packets_lost = _loss_counters->packets_lost.load(std::memory_order_relaxed);
  st.frames_damaged_dropped =
      _loss_counters->frames_damaged_dropped.load(std::memory_order_relaxed);
  auto error = _pipeline_state->last_error();
  st.last_error = std::move(error.text);
  st.last_error_time = error.timestamp;
  st.last_frame_time = _last_frame_time.load(std::memory_order_relaxed);
  st.status = _pipeline_state->status();
  st.keyframes_only = _keyframe_filter->keyframes_only();
  st.width = _width.load(std::memory_order_relaxed);
  st.height = _height.load(std::memory_order_relaxed);
  if (auto pipeline = _pipeline_state->pipeline.load()) st.codec = detail::codec_of(*pipeline);
  st.transport = _transport->transport();
  st.udp_kernel_drops = _transport->kernel_drops();
  st.udp_receive_buffer = _transport->udp_receive_buffer();
  const double latency = _capture_latency.load(std::memory_order_relaxed);
  if (!std::isnan(latency)) st.capture_latency = latency;
  return st;
}

void GstStreamReader::Impl::_publish(double timestamp, std::shared_ptr<const Image> image,
                                     std::optional<double> capture_time) {
  _width.store(image->width, std::memory_order_relaxed);
  _height.store(image->height, std::memory_order_relaxed);
  _last_frame_time.store(timestamp, std::memory_order_relaxed);
  _capture_latency.store(
      capture_time ? timestamp - *capture_time : std::numeric_limits<double>::quiet_NaN(),
      std::memory_order_relaxed);
  // Only this thread counts deliveries, so the next number is known before the store.
  const std::uint64_t sequence = _frames_delivered.load(std::memory_order_relaxed) + 1;
  _latest_frame.store(
      std::make_shared<const Frame>(Frame{timestamp, std::move(image), sequence, capture_time}));
  if (_unread.exchange(true, std::memory_order_relaxed)) {
    _frames_replaced.fetch_add(1, std::memory_order_relaxed);
  }
  _frames_delivered.fetch_add(1, std::memory_order_relaxed);
  _latest_frame_event->set();
  _new_frame_event->set();
}

// ---- The public class: forwards to Impl. ---------------------------------------------------

GstStreamReader::GstStreamReader(int id_, std::string url, RuntimeOptions runtime_options,
                                 Options options)
    : id(id_),
      _impl(std::make_unique<Impl>(id_, std::move(url), std::move(runtime_options),
                                   std::move(options))) {}

GstStreamReader::~GstStreamReader() = default;

StreamStatus GstStreamReader::status() const { return _impl->_pipeline_state->status(); }

void GstStreamReader::set_status(StreamStatus status) {
  _impl->_pipeline_state->set_status(status);
}

std::shared_ptr<Event> GstStreamReader::new_frame_event() const { return _impl->_new_frame_event; }

std::shared_ptr<Event> GstStreamReader::new_status_event() const {
  return _impl->_pipeline_state->new_status_event;
}

std::shared_ptr<Event> GstStreamReader::latest_frame_event() const {
  return _impl->_latest_frame_event;
}

Frame GstStreamReader::latest_frame() { return _impl->latest_frame(); }

StreamStats GstStreamReader::stats() const { return _impl->stats(); }

void GstStreamReader::set_runtime_option_vals(const RuntimeOptions& runtime_options) {
  check_runtime_options(runtime_options, SUPPORTED_RUNTIME_OPTIONS);
  if (auto it = runtime_options.find("keyframes_only"); it != runtime_options.end()) {
    _impl->_keyframe_filter->set_keyframes_only(std::get<bool>(it->second));
  }
}

void GstStreamReader::set_log_level(LogLevel level) {
  _impl->_logger->set_level(to_spdlog_level(level));
}

void GstStreamReader::close() { _impl->close(); }

void GstStreamReader::wait_until_closed() { _impl->wait_until_closed(); }

// Runs on "SamplePullingThread".
void GstStreamReader::Impl::_pull_samples() {
  auto& state = *_pipeline_state;
  _latest_frame.store(end_pair(wall_clock_seconds()));
  for (;;) {
    auto turn = state.wait_until_streaming(state.state_change_timeout);
    if (turn.closed) {
      _latest_frame.store(end_pair(wall_clock_seconds()));
      // Again, now that the end is stored: a caller woken by close() that took the last
      // frame (clearing the event) must be woken for the end too.
      _latest_frame_event->set();
      return;
    }
    // The final shutdown may have dropped the pipeline after the status test: the next
    // turn sees CLOSED and ends there.
    if (!turn.pipeline) continue;
    const auto timestamp = pull_one(std::move(turn.pipeline));
    if (!timestamp) continue;
    _transport->check(*timestamp, _keyframe_filter->keyframes_only());
    check_stall(*timestamp);
  }
}

std::optional<double> GstStreamReader::Impl::pull_one(std::shared_ptr<Pipeline> pipeline) {
  const auto pull_timeout = static_cast<GstClockTime>(GST_SECOND / 30);
  SamplePtr sample(gst_app_sink_try_pull_sample(pipeline->appsink(), pull_timeout));
  const double timestamp = wall_clock_seconds();
  if (!sample) return timestamp;
  std::shared_ptr<const Image> image;
  try {
    image = sample_to_ndarray(sample.get(), _output_format, &_conversion_scratch);
  } catch (const SampleConversionError& e) {
    _pipeline_state->record_error(e.what());
    _logger->error(e.what());
    _pipeline_restarter->notify_frame_error();
    return timestamp;
  } catch (const std::exception& e) {
    _pipeline_state->record_error(e.what());
    _logger->error("strovix: _pull_samples stream_id " + std::to_string(id) +
                   " unexpected error converting sample, requesting pipeline restart\n" + e.what());
    _pipeline_restarter->notify_frame_error();
    return timestamp;
  }
  if (!image) return std::nullopt;
  const auto capture_time = detail::capture_time_of(pipeline->element(), sample.get());
  sample.reset();
  _publish(timestamp, std::move(image), capture_time);
  _pipeline_restarter->notify_frame_received(timestamp);
  return timestamp;
}

void GstStreamReader::Impl::check_stall(double timestamp) {
  const auto health = _pipeline_restarter->gst_state_playing(timestamp);
  if (health.is_gst_playing) return;
  if (_pipeline_state->status() != StreamStatus::STREAMING) return;
  const double stalled_for = health.recent_frame
                                 ? *health.recent_frame
                                 : timestamp - _pipeline_state->start_pipeline_timestamp.load();
  if (!(stalled_for > _frame_timeout)) return;
  char stalled[64];
  std::snprintf(stalled, sizeof(stalled), "%.1f", stalled_for);
  std::string line = "strovix: watchdog stream_id " + std::to_string(id) + " gst_state ";
  line += gst_element_state_get_name(health.gst_state);
  line += " no frame for ";
  line += stalled;
  line += "s, restarting pipeline";
  _logger->error(line);
  _pipeline_restarter->notify_frame_error();
}

}  // namespace strovix
