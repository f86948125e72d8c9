#include "strovix/gst/pipeline.hpp"

#include <gst/app/gstappsink.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>

#include "diagnosis/bus_message_cause.hpp"
#include "strovix/errors.hpp"
#include "strovix/logger.hpp"

namespace strovix {
namespace {

// Owned by the bus watch GSource; freed by GLib after the source is destroyed and any dispatch
// under way has returned, so a callback never sees freed data.
struct WatchData {
  PipelineWatcher watcher;
  // So the element outlives a dispatch in flight.
  ElementPtr element;
};

gboolean on_bus_message(GstBus* bus, GstMessage* message, gpointer user_data) {
  auto* data = static_cast<WatchData*>(user_data);
  try {
    return data->watcher(bus, message, data->element.get()) ? TRUE : FALSE;
  } catch (const std::exception& e) {
    library_logger()->error(std::string("strovix: bus watch callback failed: ") + e.what());
  } catch (...) {
    library_logger()->error("strovix: bus watch callback failed with an unknown error");
  }
  return TRUE;
}

void free_watch_data(gpointer user_data) { delete static_cast<WatchData*>(user_data); }

// An owned reference, or null.
GstAppSink* find_appsink(GstElement* pipeline, const std::string& name) {
  if (!name.empty() && GST_IS_BIN(pipeline)) {
    ElementPtr named(gst_bin_get_by_name(GST_BIN(pipeline), name.c_str()));
    if (named && GST_IS_APP_SINK(named.get())) return GST_APP_SINK(named.release());
  }
  if (GST_IS_APP_SINK(pipeline)) return GST_APP_SINK(gst_object_ref(pipeline));
  if (!GST_IS_BIN(pipeline)) return nullptr;
  GstAppSink* found = nullptr;
  IteratorPtr it(gst_bin_iterate_recurse(GST_BIN(pipeline)));
  GValue item = G_VALUE_INIT;
  bool done = false;
  while (!done && !found) {
    switch (gst_iterator_next(it.get(), &item)) {
      case GST_ITERATOR_OK: {
        auto* element = GST_ELEMENT(g_value_get_object(&item));
        if (GST_IS_APP_SINK(element)) found = GST_APP_SINK(gst_object_ref(element));
        g_value_reset(&item);
        break;
      }
      case GST_ITERATOR_RESYNC:
        gst_iterator_resync(it.get());
        break;
      default:
        done = true;
        break;
    }
  }
  g_value_unset(&item);
  return found;
}

std::string state_name(GstState state) { return gst_element_state_get_name(state); }

// Polls the current state in short slices: live pipelines answer NO_PREROLL at once, so one
// long gst_element_get_state would not wait for PLAYING.
GstState wait_for_state(GstElement* element, GstState wanted, double timeout,
                        GstStateChangeReturn* last) {
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(timeout > 0 ? timeout : 0));
  GstState current = GST_STATE_VOID_PENDING;
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    const auto left = deadline > now ? deadline - now : std::chrono::steady_clock::duration::zero();
    const auto slice =
        std::min<std::chrono::steady_clock::duration>(left, std::chrono::milliseconds(50));
    *last = gst_element_get_state(
        element, &current, nullptr,
        static_cast<GstClockTime>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(slice).count()));
    if (current == wanted || *last == GST_STATE_CHANGE_FAILURE) return current;
    if (now >= deadline) return current;
  }
}

}  // namespace

Pipeline::Pipeline(GstElement* pipeline, const std::string& appsink_name) {
  if (!pipeline) throw StreamSetupError("No pipeline element was given");
  ElementPtr owned(GST_ELEMENT(gst_object_ref_sink(pipeline)));
  appsink_.reset(find_appsink(owned.get(), appsink_name));
  if (!appsink_) {
    gst_element_set_state(owned.get(), GST_STATE_NULL);
    throw StreamSetupError("The pipeline has no appsink to pull frames from");
  }
  pipeline_ = std::move(owned);
}

Pipeline::~Pipeline() {
  bool released;
  {
    std::lock_guard lock(mutex_);
    released = released_;
  }
  if (!released) {
    // Dropped without an orderly teardown: stop the streaming threads before anything they
    // call into goes away.
    gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
    release_resources();
  }
  destructors_.clear();
  appsink_.reset();
  pipeline_.reset();
}

GstStateChangeReturn Pipeline::set_state(GstState state) {
  return gst_element_set_state(pipeline_.get(), state);
}

Pipeline::StateQuery Pipeline::get_state(GstClockTime timeout) const {
  StateQuery q{GST_STATE_CHANGE_FAILURE, GST_STATE_VOID_PENDING, GST_STATE_VOID_PENDING};
  q.result = gst_element_get_state(pipeline_.get(), &q.current, &q.pending, timeout);
  return q;
}

ElementPtr Pipeline::get_by_name(const std::string& name) const {
  if (!GST_IS_BIN(pipeline_.get())) return nullptr;
  return ElementPtr(gst_bin_get_by_name(GST_BIN(pipeline_.get()), name.c_str()));
}

void Pipeline::wait_until_playing(int stream_id, double timeout) {
  GstStateChangeReturn last = GST_STATE_CHANGE_FAILURE;
  const GstState state = wait_for_state(pipeline_.get(), GST_STATE_PLAYING, timeout, &last);
  if (state == GST_STATE_PLAYING) return;
  // The error a source posted says why; the state alone does not.
  const std::string error = detail::first_error_text(pipeline_.get(), 1.0);
  const std::string cause = error.empty() ? "" : ": " + error;
  if (last == GST_STATE_CHANGE_FAILURE) {
    throw StreamSetupError("Stream " + std::to_string(stream_id) +
                           ": the pipeline failed to start (state " + state_name(state) + ")" +
                           cause);
  }
  throw StreamSetupError("Stream " + std::to_string(stream_id) +
                         ": the pipeline did not reach PLAYING within " + std::to_string(timeout) +
                         " s (state " + state_name(state) + ")" + cause);
}

void Pipeline::wait_until_null(int stream_id, double timeout) {
  GstStateChangeReturn last = GST_STATE_CHANGE_FAILURE;
  const GstState state = wait_for_state(pipeline_.get(), GST_STATE_NULL, timeout, &last);
  if (state == GST_STATE_NULL) return;
  throw StreamSetupError("Stream " + std::to_string(stream_id) +
                         ": the pipeline did not reach NULL within " + std::to_string(timeout) +
                         " s (state " + state_name(state) + ")");
}

void Pipeline::release_resources() {
  std::vector<std::function<void()>> actions;
  SourcePtr watch;
  {
    std::lock_guard lock(mutex_);
    if (released_) return;
    released_ = true;
    actions.swap(destructors_);
    watch = std::move(bus_watch_);
  }
  if (watch) {
    g_source_destroy(watch.get());
    watch.reset();
  }
  for (auto& action : actions) {
    try {
      action();
    } catch (const std::exception& e) {
      library_logger()->error(std::string("strovix: pipeline release action failed: ") + e.what());
    } catch (...) {
      library_logger()->error("strovix: pipeline release action failed with an unknown error");
    }
  }
}

void Pipeline::add_destructor(std::function<void()> action) {
  {
    std::lock_guard lock(mutex_);
    if (!released_) {
      destructors_.push_back(std::move(action));
      return;
    }
  }
  // Registered after the release: the resource it frees would otherwise never be freed.
  action();
}

void Pipeline::add_bus_watch(PipelineWatcher watcher) {
  if (!watcher) return;
  {
    std::lock_guard lock(mutex_);
    if (bus_watch_) {
      throw std::logic_error(
          "Pipeline::add_bus_watch: the pipeline already has a bus watch (a bus has only one); "
          "the first one stays installed");
    }
  }
  BusPtr bus(gst_element_get_bus(pipeline_.get()));
  SourcePtr source(gst_bus_create_watch(bus.get()));
  // A watch added to the bus past this class: GStreamer refuses a second one.
  if (!source)
    throw std::logic_error("Pipeline::add_bus_watch: the pipeline's bus already has a watch");
  auto* data =
      new WatchData{std::move(watcher), ElementPtr(GST_ELEMENT(gst_object_ref(pipeline_.get())))};
  g_source_set_callback(source.get(), G_SOURCE_FUNC(on_bus_message), data, free_watch_data);
  // Always the global default context, whatever the calling thread has pushed: that is the
  // context the start-up thread iterates.
  g_source_attach(source.get(), nullptr);
  std::lock_guard lock(mutex_);
  bus_watch_ = std::move(source);
}

void Pipeline::set_on_complete(OnComplete on_complete) {
  gate_ = std::make_shared<CompletionGate>(std::move(on_complete), pipeline_.get());
}

void Pipeline::mark_complete() {
  if (gate_) gate_->mark_complete();
}

void Pipeline::mark_published() {
  if (gate_) gate_->mark_published();
}

}  // namespace strovix
