#pragma once
// What the streaming-thread callbacks of one network pipeline share, and the steps they have
// in common: linking a video pad through its decoding chain, reporting a stream without video.
#include <gst/gst.h>

#include <atomic>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "pipeline_factories/decode_chain.hpp"
#include "strovix/logger.hpp"
#include "strovix/gst/pipeline.hpp"

namespace strovix::detail {

// Holds the gate, never the Pipeline: the last reference to a pipeline must not be dropped on
// its own streaming thread.
struct LinkState {
  std::shared_ptr<CompletionGate> gate;
  Logger logger;
  std::atomic<bool> linked{false};
  std::atomic<bool> typed{false};
  // Guards offered.
  std::mutex mutex;
  std::string offered;  // encodings seen but not decoded, for the error text

  void complete();
  void note_offered(const std::string& what);
  std::string offered_text();
};

using StatePtr = std::shared_ptr<LinkState>;

// Connects `callback` with a reference to `state` as its data, dropped with the handler.
template <class Callback>
void connect_with_state(gpointer instance, const char* signal, Callback callback,
                        const StatePtr& state) {
  g_signal_connect_data(
      instance, signal, G_CALLBACK(callback), new StatePtr(state),
      [](gpointer data, GClosure*) { delete static_cast<StatePtr*>(data); }, GConnectFlags(0));
}

// Links `pad` through `chain` unless a video stream is already linked; a pad not taken gets a
// fakesink. `codec` names the stream in texts.
void link_video_pad(GstElement* owner, GstPad* pad, const std::vector<ElementSpec>& chain,
                    const std::string& codec, LinkState& state);

void post_no_video(GstElement* owner, LinkState& state);

// "no-more-pads" handler; its data is a StatePtr.
void on_no_more_pads(GstElement* element, gpointer data);

// Runs on a streaming thread; nothing may escape into GStreamer.
template <class F>
void guarded(LinkState& state, F&& f) noexcept {
  try {
    f();
  } catch (const std::exception& e) {
    state.logger->error("strovix: pipeline linking failed: {}", e.what());
  } catch (...) {
    state.logger->error("strovix: pipeline linking failed");
  }
}

}  // namespace strovix::detail
