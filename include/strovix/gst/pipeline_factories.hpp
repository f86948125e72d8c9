#pragma once
#include <gio/gio.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "strovix/export.hpp"
#include "strovix/gst/pipeline.hpp"

namespace strovix {

namespace detail {
struct StreamUrl;
}

// The element whose static "src" pad carries parsed, still-encoded buffers ahead of the
// decoder; the keyframe-only probe sits there.
inline constexpr const char* BUFFER_SRC_NAME = "strovix_buffer_src";
// The name of the appsink in every pipeline this package builds.
inline constexpr const char* APPSINK_NAME = "strovix_sink";

// How rtsps:// and https:// sources check the server's certificate.
struct TlsSettings {
  // PEM file of the certificates to trust instead of the system's; empty: the system's.
  std::string ca_file;
  // false: any certificate is accepted.
  bool validation = true;
};

// A stream's RTP losses and the frames held back for them, counted across its pipelines.
struct LossCounters {
  std::atomic<std::uint64_t> packets_received{0};
  // Sequence numbers that never arrived (the jitter buffer gave up on them or dropped them).
  std::atomic<std::uint64_t> packets_lost{0};
  // Frames not delivered because they were built on lost data (missing packets, or a frame
  // the decoder could not decode).
  std::atomic<std::uint64_t> frames_damaged_dropped{0};
};

// What rtsp:// pipelines do with frames built on lost packets.
struct DamageSettings {
  // false: from a loss until the next intact keyframe no frame reaches the appsink, so the
  // newest delivered frame stays the newest intact one. true: they are decoded as they come.
  bool deliver_damaged = false;
  // Null: nothing is counted.
  std::shared_ptr<LossCounters> counters;
};

class STROVIX_EXPORT PipelineFactory {
 public:
  virtual ~PipelineFactory() = default;
  // A new pipeline, already set going towards PLAYING, with the watcher installed as its bus
  // watch. Throws StreamSetupError only for structural faults (a description that does not
  // parse, a missing element, no appsink); run-time failures of the source arrive as bus
  // messages.
  virtual std::shared_ptr<Pipeline> build() = 0;
};

// A caller's pipeline description. It must contain an appsink.
class STROVIX_EXPORT CustomPipelineFactory : public PipelineFactory {
 public:
  CustomPipelineFactory(std::string pipeline_str, PipelineWatcher pipeline_watcher,
                        OnComplete on_complete);
  // The description alone says what is read: the URL was never used.
  [[deprecated("the url has no effect; use the constructor without it")]] CustomPipelineFactory(
      std::string pipeline_str, std::string url, PipelineWatcher pipeline_watcher,
      OnComplete on_complete);
  std::shared_ptr<Pipeline> build() override;

 private:
  std::string pipeline_str_;
  PipelineWatcher pipeline_watcher_;
  OnComplete on_complete_;
};

// rtsp:// and rtsps:// cameras: H.264, H.265 or MJPEG, chosen from what the server offers.
class STROVIX_EXPORT RTSPPipelineFactory : public PipelineFactory {
 public:
  // latency in milliseconds; force_tcp restricts the transport to TCP (for proxies). Throws
  // StreamSetupError when tls.ca_file cannot be read.
  RTSPPipelineFactory(std::string url, int latency, PipelineWatcher pipeline_watcher,
                      bool force_tcp, OnComplete on_complete, const TlsSettings& tls = {},
                      DamageSettings damage = {});
  // The same for a URL the library has parsed already.
  STROVIX_INTERNAL RTSPPipelineFactory(const detail::StreamUrl& url, int latency,
                                       PipelineWatcher pipeline_watcher, bool force_tcp,
                                       OnComplete on_complete, const TlsSettings& tls = {},
                                       DamageSettings damage = {});
  std::shared_ptr<Pipeline> build() override;

  // The kernel receive buffer asked for each UDP socket when nothing better is known.
  static constexpr int DEFAULT_UDP_BUFFER_SIZE = 512 * 1024;
  // The receive buffer for a picture of width x height: the default up to 1080p, growing
  // with the pixel count above it (a 4K keyframe is a burst of several hundred packets),
  // at most 8 MiB. The kernel caps what it grants at net.core.rmem_max.
  static int udp_buffer_size_for(int width, int height);

  // Any thread. TCP from the next build on: interleaved in the RTSP connection.
  void set_force_tcp(bool force_tcp) { force_tcp_.store(force_tcp); }
  bool force_tcp() const { return force_tcp_.load(); }
  // Any thread. The picture size known from an earlier pipeline; sizes the UDP receive
  // buffer of the next builds (unless the server's description names a size itself).
  void set_resolution_hint(int width, int height);
  // The receive buffer the next build asks for.
  int udp_buffer_size() const { return udp_buffer_size_.load(); }

 private:
  // Parsed once: every rebuild reads the same URL.
  std::shared_ptr<const detail::StreamUrl> url_;
  int latency_;
  PipelineWatcher pipeline_watcher_;
  std::atomic<bool> force_tcp_;
  std::atomic<int> udp_buffer_size_{DEFAULT_UDP_BUFFER_SIZE};
  OnComplete on_complete_;
  DamageSettings damage_;
  bool tls_validation_;
  // Read once: every rebuild trusts the same certificates. Null: the system's.
  std::shared_ptr<GTlsDatabase> tls_database_;
};

// http:// and https:// cameras: MJPEG over multipart, or MPEG-TS / Matroska with H.264.
class STROVIX_EXPORT HTTPPipelineFactory : public PipelineFactory {
 public:
  // Throws StreamSetupError when tls.ca_file cannot be read.
  HTTPPipelineFactory(std::string url, PipelineWatcher pipeline_watcher, OnComplete on_complete,
                      const TlsSettings& tls = {});
  // The same for a URL the library has parsed already.
  STROVIX_INTERNAL HTTPPipelineFactory(const detail::StreamUrl& url,
                                       PipelineWatcher pipeline_watcher, OnComplete on_complete,
                                       const TlsSettings& tls = {});
  std::shared_ptr<Pipeline> build() override;

 private:
  // Parsed once: every rebuild reads the same URL.
  std::shared_ptr<const detail::StreamUrl> url_;
  PipelineWatcher pipeline_watcher_;
  OnComplete on_complete_;
  bool tls_validation_;
  std::shared_ptr<GTlsDatabase> tls_database_;
};

}  // namespace strovix
