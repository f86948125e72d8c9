#include "pipeline_factories/elements.hpp"

#include "diagnosis/bus_message_cause.hpp"
#include "strovix/errors.hpp"

namespace strovix::detail {

void set_credentials(GstElement* src, const StreamUrl& url) {
  if (url.user) g_object_set(src, "user-id", url.user->c_str(), nullptr);
  if (url.password) g_object_set(src, "user-pw", url.password->c_str(), nullptr);
}

std::shared_ptr<GTlsDatabase> load_tls_database(const std::string& given) {
  if (given.empty()) return nullptr;
  // GLib's file database wants an absolute path: with a relative one every handshake fails.
  // Resolved against the working directory at construction.
  GCharPtr absolute(g_canonicalize_filename(given.c_str(), nullptr));
  const std::string ca_file = absolute.get();
  GError* raw = nullptr;
  GTlsDatabase* database = g_tls_file_database_new(ca_file.c_str(), &raw);
  GErrorPtr error(raw);
  if (!database) {
    throw StreamSetupError("Cannot read the TLS CA file '" + ca_file +
                           "': " + (error && error->message ? error->message : "unknown error"));
  }
  return share_gobject(database);
}

GstElement* make_element(const char* factory, const char* name) {
  return gst_element_factory_make(factory, name);
}

// Holding a reference across the call keeps this right whether or not the GStreamer version
// consumes the element on failure.
bool add_to_bin(GstBin* bin, GstElement* element) {
  ElementPtr held(GST_ELEMENT(gst_object_ref_sink(element)));
  return gst_bin_add(bin, element);
}

GstElement* add_element(GstBin* bin, const char* factory, const char* name) {
  GstElement* element = make_element(factory, name);
  if (!element) {
    throw StreamSetupError(std::string("GStreamer element '") + factory +
                           "' is not available (is its plugin installed?)");
  }
  if (!add_to_bin(bin, element)) {
    throw StreamSetupError(std::string("cannot add '") + factory + "' to the pipeline");
  }
  return element;
}

void post_error(GstElement* element, GQuark domain, gint code, const std::string& text,
                const std::string& debug, const std::string& cause) {
  GErrorPtr error(g_error_new_literal(domain, code, text.c_str()));
  GstStructure* details = gst_structure_new_empty("details");
  gst_structure_set(details, CAUSE_FIELD, G_TYPE_STRING, (cause.empty() ? text : cause).c_str(),
                    nullptr);
  gst_element_post_message(element, gst_message_new_error_with_details(
                                        GST_OBJECT(element), error.get(),
                                        debug.empty() ? nullptr : debug.c_str(), details));
}

CapsPtr pad_caps(GstPad* pad) {
  GstCaps* caps = gst_pad_get_current_caps(pad);
  if (!caps) caps = gst_pad_query_caps(pad, nullptr);
  return CapsPtr(caps);
}

std::string caps_name(const GstCaps* caps) {
  if (!caps || gst_caps_is_empty(caps) || gst_caps_is_any(caps)) return {};
  return gst_structure_get_name(gst_caps_get_structure(caps, 0));
}

void sink_unused_pad(GstBin* bin, GstPad* pad) {
  if (gst_pad_is_linked(pad)) return;
  GstElement* sink = make_element("fakesink");
  if (!sink) return;
  g_object_set(sink, "sync", FALSE, "async", FALSE, nullptr);
  if (!add_to_bin(bin, sink)) return;
  gst_element_sync_state_with_parent(sink);
  PadPtr sinkpad(gst_element_get_static_pad(sink, "sink"));
  gst_pad_link(pad, sinkpad.get());
}

ElementPtr parent_bin(GstElement* element) {
  return ElementPtr(GST_ELEMENT(gst_object_get_parent(GST_OBJECT(element))));
}

}  // namespace strovix::detail
