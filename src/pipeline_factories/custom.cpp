#include "logging/url.hpp"
#include "pipeline_factories/origin_guard.hpp"
#include "strovix/errors.hpp"
#include "strovix/gst/pipeline_factories.hpp"
#include "strovix/logger.hpp"

namespace strovix {
namespace {

// The description's own network sources get the guard the URL factories give theirs: their
// location's login and their user-id/user-pw go only to the location's origin.
void guard_network_sources(GstElement* top) {
  GstIterator* it = gst_bin_iterate_recurse(GST_BIN(top));
  GValue item = G_VALUE_INIT;
  while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
    auto* element = GST_ELEMENT(g_value_get_object(&item));
    GstElementFactory* factory = gst_element_get_factory(element);
    const char* name = factory ? GST_OBJECT_NAME(factory) : "";
    const bool rtsp = g_str_equal(name, "rtspsrc");
    if (rtsp || g_str_equal(name, "souphttpsrc")) {
      gchar* location = nullptr;
      gchar* user = nullptr;
      gchar* password = nullptr;
      g_object_get(element, "location", &location, "user-id", &user, "user-pw", &password, nullptr);
      detail::StreamUrl url = detail::parse_stream_url(location ? location : "");
      if (user && *user) url.user = user;
      if (password && *password) url.password = password;
      g_free(location);
      g_free(user);
      g_free(password);
      if (rtsp) {
        detail::guard_rtsp_redirects(element, url);
      } else {
        detail::guard_http_redirects(element, url);
      }
    }
    g_value_reset(&item);
  }
  g_value_unset(&item);
  gst_iterator_free(it);
}

GstBusSyncReply custom_sync_handler(GstBus*, GstMessage* message, gpointer) {
  return detail::drop_after_refusal(message);
}

}  // namespace

CustomPipelineFactory::CustomPipelineFactory(std::string pipeline_str,
                                             PipelineWatcher pipeline_watcher,
                                             OnComplete on_complete)
    : pipeline_str_(std::move(pipeline_str)),
      pipeline_watcher_(std::move(pipeline_watcher)),
      on_complete_(std::move(on_complete)) {}

CustomPipelineFactory::CustomPipelineFactory(std::string pipeline_str, std::string,
                                             PipelineWatcher pipeline_watcher,
                                             OnComplete on_complete)
    : CustomPipelineFactory(std::move(pipeline_str), std::move(pipeline_watcher),
                            std::move(on_complete)) {}

std::shared_ptr<Pipeline> CustomPipelineFactory::build() {
  GError* raw_error = nullptr;
  // Fatal-error flags: an unknown element or a broken link fails here instead of yielding
  // half a pipeline.
  GstElement* parsed = gst_parse_launch_full(pipeline_str_.c_str(), nullptr,
                                             GST_PARSE_FLAG_FATAL_ERRORS, &raw_error);
  GErrorPtr error(raw_error);
  if (error || !parsed) {
    ElementPtr discarded(parsed ? GST_ELEMENT(gst_object_ref_sink(parsed)) : nullptr);
    // A description may hold URLs with passwords (location=...): quote it without them.
    const auto secrets = detail::description_secrets(pipeline_str_);
    throw StreamSetupError(
        "Could not build the pipeline \"" + redact_credentials(pipeline_str_, secrets) +
        "\": " + redact_credentials(error ? error->message : "unknown error", secrets));
  }
  GstElement* top = parsed;
  if (!GST_IS_PIPELINE(parsed)) {
    // A description of one element (or a bare bin) comes back without a pipeline around it.
    top = gst_pipeline_new(nullptr);
    gst_bin_add(GST_BIN(top), parsed);
  }
  guard_network_sources(top);
  {
    BusPtr bus(gst_element_get_bus(top));
    gst_bus_set_sync_handler(bus.get(), custom_sync_handler, nullptr, nullptr);
  }
  auto pipeline = std::make_shared<Pipeline>(top);
  pipeline->add_bus_watch(pipeline_watcher_);
  pipeline->set_on_complete(on_complete_);
  // A start-up failure (say, a missing file) is posted on the bus and handled there.
  pipeline->set_state(GST_STATE_PLAYING);
  pipeline->mark_complete();
  return pipeline;
}

}  // namespace strovix
