#pragma once
#include <gst/app/gstappsink.h>
#include <gst/gst.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "strovix/export.hpp"
#include "strovix/gst/completion_gate.hpp"
#include "strovix/gst/handles.hpp"

namespace strovix {

// Bus watch callback: (bus, message, pipeline element). Returns true to keep the watch.
// The element is borrowed for the duration of the call.
using PipelineWatcher = std::function<bool(GstBus*, GstMessage*, GstElement*)>;
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
  GstAppSink* appsink() const { return appsink_.get(); }
  // Borrowed; valid as long as this Pipeline lives.
  GstElement* element() const { return pipeline_.get(); }

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
  ElementPtr pipeline_;
  GstObjectPtr<GstAppSink> appsink_;
  SourcePtr bus_watch_;
  std::shared_ptr<CompletionGate> gate_;
  // Guards destructors_ and released_.
  std::mutex mutex_;
  std::vector<std::function<void()>> destructors_;
  bool released_ = false;
};

}  // namespace strovix
