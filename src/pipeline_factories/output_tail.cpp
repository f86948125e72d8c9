#include "pipeline_factories/output_tail.hpp"

#include "logging/debug_redaction.hpp"
#include "pipeline_factories/decode_chain.hpp"
#include "pipeline_factories/elements.hpp"
#include "pipeline_factories/link_state.hpp"
#include "strovix/errors.hpp"
#include "strovix/logger.hpp"

namespace strovix::detail {
namespace {

constexpr const char* kOutputCaps = "video/x-raw,format=(string){I420,NV12,BGR}";

}  // namespace

void add_output_tail(GstBin* bin) {
  GstElement* convert = add_element(bin, "videoconvert", CONVERT_NAME);
  GstElement* filter = add_element(bin, "capsfilter");
  GstElement* sink = add_element(bin, "appsink", APPSINK_NAME);
  CapsPtr caps(gst_caps_from_string(kOutputCaps));
  g_object_set(filter, "caps", caps.get(), nullptr);
  g_object_set(sink, "max-buffers", 1u, "drop", TRUE, "sync", FALSE, "wait-on-eos", FALSE, nullptr);
  if (!gst_element_link_many(convert, filter, sink, nullptr)) {
    throw StreamSetupError("cannot link the pipeline's output elements");
  }
}

std::shared_ptr<Pipeline> finish_network_pipeline(ElementPtr bin, const PipelineWatcher& watcher,
                                                  const OnComplete& on_complete,
                                                  const StreamUrl& url, GstElement* source,
                                                  const char* source_signal,
                                                  GCallback source_callback,
                                                  bool with_no_more_pads) {
  auto pipeline = std::make_shared<Pipeline>(bin.get(), APPSINK_NAME);
  pipeline->set_on_complete(on_complete);
  auto state = std::make_shared<LinkState>();
  state->gate = pipeline->completion_gate();
  state->logger = stream_logger(url, {});
  g_signal_connect_data(
      source, source_signal, source_callback, new StatePtr(state),
      [](gpointer data, GClosure*) { delete static_cast<StatePtr*>(data); }, GConnectFlags(0));
  if (with_no_more_pads) connect_with_state(source, "no-more-pads", on_no_more_pads, state);
  if (watcher) pipeline->add_bus_watch(watcher);
  // A failure to start (no route to host, bad location) is also posted on the bus, where the
  // watcher reports it; it is not a structural fault of the pipeline.
  pipeline->set_state(GST_STATE_PLAYING);
  return pipeline;
}

}  // namespace strovix::detail
