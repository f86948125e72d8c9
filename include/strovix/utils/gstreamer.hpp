#pragma once
#include <gst/app/gstappsink.h>
#include <gst/gst.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "strovix/export.hpp"
#include "strovix/frame.hpp"

namespace strovix {

// ---- RAII handles for GStreamer/GLib references ----------------------------------------
struct GstObjectUnref {
  void operator()(gpointer p) const noexcept {
    if (p) gst_object_unref(p);
  }
};
template <class T>
using GstObjectPtr = std::unique_ptr<T, GstObjectUnref>;
using ElementPtr = GstObjectPtr<GstElement>;
using PadPtr = GstObjectPtr<GstPad>;
using BusPtr = GstObjectPtr<GstBus>;

struct GstSampleUnref {
  void operator()(GstSample* s) const noexcept {
    if (s) gst_sample_unref(s);
  }
};
using SamplePtr = std::unique_ptr<GstSample, GstSampleUnref>;

struct GstCapsUnref {
  void operator()(GstCaps* c) const noexcept {
    if (c) gst_caps_unref(c);
  }
};
using CapsPtr = std::unique_ptr<GstCaps, GstCapsUnref>;

struct GstMessageUnref {
  void operator()(GstMessage* m) const noexcept {
    if (m) gst_message_unref(m);
  }
};
using MessagePtr = std::unique_ptr<GstMessage, GstMessageUnref>;

struct GErrorFree {
  void operator()(GError* e) const noexcept {
    if (e) g_error_free(e);
  }
};
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;

struct GFreeDeleter {
  void operator()(gpointer p) const noexcept { g_free(p); }
};
using GCharPtr = std::unique_ptr<gchar, GFreeDeleter>;

// ---- Images ------------------------------------------------------------------------------

// Turns a sample pulled from an appsink into a BGR image. I420 and NV12 are converted with
// libyuv using the colour matrix and range of the sample's caps; BGR is mapped without a copy.
// Returns null when the sample carries nothing to deliver (no buffer). Throws
// SampleConversionError for a sample without caps, an unsupported format, an unmappable
// buffer, or a buffer too small for its caps.
STROVIX_EXPORT std::shared_ptr<const Image> sample_to_ndarray(GstSample* sample);

// ---- Pipeline ----------------------------------------------------------------------------

class Pipeline;

// Bus watch callback: (bus, message, pipeline element). Returns true to keep the watch.
// The element is borrowed for the duration of the call.
using PipelineWatcher = std::function<bool(GstBus*, GstMessage*, GstElement*)>;
// Called once per built pipeline when it is finished and has been published by its owner.
// The element is borrowed for the duration of the call.
using OnComplete = std::function<void(GstElement*)>;

// Fires the completion callback once both halves are in: the factory says the pipeline is
// finished (all elements exist and are linked, maybe on a streaming thread) and the owner
// says it has stored the pipeline where callbacks look for it. Whichever comes second runs
// the callback, on its own thread, outside any lock of this gate.
class STROVIX_EXPORT CompletionGate {
 public:
  CompletionGate(OnComplete on_complete, GstElement* element)
      : on_complete_(std::move(on_complete)), element_(element) {}
  void mark_complete();
  void mark_published();
  bool fired() const;

 private:
  void maybe_fire(std::unique_lock<std::mutex>& lock);
  // Guards the three flags.
  mutable std::mutex mutex_;
  bool complete_ = false;
  bool published_ = false;
  bool fired_ = false;
  OnComplete on_complete_;
  GstElement* element_;  // borrowed: valid while the pipeline's streaming threads run
};

// A GStreamer pipeline with its appsink, its bus watch (on the global default main context)
// and the release actions registered on it. Dropping a Pipeline that was never released
// stops it (NULL) and releases it, so no callback outlives it.
class STROVIX_EXPORT Pipeline {
 public:
  struct StateQuery {
    GstStateChangeReturn result;
    GstState current;
    GstState pending;
  };

  // Takes ownership of `pipeline` (a GstPipeline; a floating reference is sunk). The appsink
  // is the element named `appsink_name`, or else the first GstAppSink found in the bin;
  // throws StreamSetupError when there is none.
  explicit Pipeline(GstElement* pipeline, const std::string& appsink_name = "");
  ~Pipeline();
  Pipeline(const Pipeline&) = delete;
  Pipeline& operator=(const Pipeline&) = delete;

  GstStateChangeReturn set_state(GstState state);
  StateQuery get_state(GstClockTime timeout = 0) const;
  // An owned reference to the element with that name, or null.
  ElementPtr get_by_name(const std::string& name) const;
  // Borrowed; valid as long as this Pipeline lives.
  GstAppSink* appsink() const { return appsink_; }
  // Borrowed; valid as long as this Pipeline lives.
  GstElement* element() const { return pipeline_; }

  // Blocks until the pipeline is PLAYING; throws StreamSetupError when it is not within
  // `timeout` seconds, or when the pipeline reports a failure of its state change.
  void wait_until_playing(int stream_id, double timeout);
  // Blocks until the pipeline is NULL (after set_state(GST_STATE_NULL)); throws
  // StreamSetupError when it is not within `timeout` seconds.
  void wait_until_null(int stream_id, double timeout);
  // Removes the bus watch and runs the release actions, in registration order. Runs once;
  // later calls do nothing. An action that throws is skipped and the rest still run.
  void release_resources();
  void add_destructor(std::function<void()> action);

  // Installs `watcher` as the bus watch, attached to the global default main context. A bus
  // has one watch: a second call throws std::logic_error and keeps the first watch.
  void add_bus_watch(PipelineWatcher watcher);

  // The completion handshake (see CompletionGate). A pipeline without a callback has none.
  void set_on_complete(OnComplete on_complete);
  std::shared_ptr<CompletionGate> completion_gate() const { return gate_; }
  void mark_complete();
  void mark_published();

 private:
  GstElement* pipeline_ = nullptr;  // owned
  GstAppSink* appsink_ = nullptr;   // owned ref
  GSource* bus_watch_ = nullptr;    // owned
  std::shared_ptr<CompletionGate> gate_;
  // Guards destructors_ and released_.
  std::mutex mutex_;
  std::vector<std::function<void()>> destructors_;
  bool released_ = false;
};

}  // namespace strovix
