#include "diagnosis/bus_message_cause.hpp"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "strovix/gst/handles.hpp"
#include "strovix/logger.hpp"

namespace strovix::detail {
namespace {

std::string status_cause(guint code, const char* reason) {
  std::string text = std::to_string(code);
  if (reason && *reason) text += std::string(" ") + reason;
  switch (code) {
    case 401:
      return text + ": wrong or missing credentials";
    case 403:
      return text + ": these credentials may not open this stream";
    case 404:
      return text + ": wrong path, no stream at this address";
    case 503:
      return text + ": the server is busy or has too many clients";
    default:
      return text;
  }
}

constexpr const char* kFirstErrorKey = "strovix-first-error";
constexpr const char* kExpectedKey = "strovix-first-error-expected";
// Guards the first-error texts, written on streaming threads and read by the thread that
// waits for the pipeline to play.
std::mutex g_first_error_mutex;
std::condition_variable g_first_error_cond;

}  // namespace

const GstStructure* error_details(GstMessage* message) {
  const GstStructure* details = nullptr;
  gst_message_parse_error_details(message, &details);
  return details;
}

bool error_status(const GstStructure* details, guint* code, const char** reason) {
  if (!details) return false;
  for (const char* prefix : {"rtsp", "http"}) {
    const std::string code_field = std::string(prefix) + "-status-code";
    const std::string reason_field = std::string(prefix) + "-status-reason";
    if (gst_structure_get_uint(details, code_field.c_str(), code) && *code != 0) {
      *reason = gst_structure_get_string(details, reason_field.c_str());
      return true;
    }
  }
  return false;
}

std::string error_cause(GstMessage* message) {
  if (!message || GST_MESSAGE_TYPE(message) != GST_MESSAGE_ERROR) return {};
  const GstStructure* details = error_details(message);
  if (details) {
    if (const char* cause = gst_structure_get_string(details, CAUSE_FIELD)) return cause;
    guint code = 0;
    const char* reason = nullptr;
    if (error_status(details, &code, &reason)) {
      // souphttpsrc leaves the reason out of the details: its error text is the reason.
      GError* raw = nullptr;
      gst_message_parse_error(message, &raw, nullptr);
      GErrorPtr error(raw);
      if (!reason && error) reason = error->message;
      return status_cause(code, reason);
    }
  }
  GError* raw_error = nullptr;
  gchar* raw_debug = nullptr;
  gst_message_parse_error(message, &raw_error, &raw_debug);
  GErrorPtr error(raw_error);
  GCharPtr debug(raw_debug);
  if (!error) return {};
  const std::string text = error->message ? error->message : "";
  if (error->domain == GST_RESOURCE_ERROR) {
    if (error->code == GST_RESOURCE_ERROR_NOT_AUTHORIZED) {
      return "not authorized: wrong or missing credentials";
    }
    // rtspsrc's words for a request the server accepted but never answered.
    if (debug && std::strstr(debug.get(), "Timeout while waiting for server response")) {
      return "timed out: the server accepted the connection but did not answer";
    }
  }
  if (error->domain == GST_STREAM_ERROR && error->code == GST_STREAM_ERROR_CODEC_NOT_FOUND) {
    const auto offered = text.find("(offered: ");
    return "no supported video codec" +
           (offered == std::string::npos ? std::string() : " " + text.substr(offered));
  }
  return {};
}

std::string error_message_text(GstMessage* message) {
  if (!message || GST_MESSAGE_TYPE(message) != GST_MESSAGE_ERROR) return {};
  GError* raw_error = nullptr;
  gst_message_parse_error(message, &raw_error, nullptr);
  GErrorPtr error(raw_error);
  const std::string text = error && error->message ? error->message : "";
  const std::string cause = error_cause(message);
  // Texts are quoted without any URL userinfo (a cause may quote a location), and with what
  // the server chose to say escaped: they end up in exceptions, stats and terminals.
  std::string quoted = cause + " (" + text + ")";
  if (cause.empty() || text.find(cause) != std::string::npos) quoted = text;
  if (!cause.empty() && cause.find(text) != std::string::npos) quoted = cause;
  return escape_control(redact_credentials(quoted));
}

std::string error_text_to_keep(GstMessage* message, GstElement* pipeline) {
  if (!error_cause(message).empty()) return error_message_text(message);
  const std::string first = first_error_text(pipeline);
  return first.empty() ? error_message_text(message) : first;
}

void remember_first_error(GstMessage* message) {
  GstObject* source = GST_MESSAGE_SRC(message);
  if (!source) return;
  GstObjectPtr<GstObject> top(GST_OBJECT(gst_object_ref(source)));
  while (GstObject* parent = gst_object_get_parent(top.get())) top.reset(parent);
  {
    std::lock_guard lock(g_first_error_mutex);
    if (!g_object_get_data(G_OBJECT(top.get()), kFirstErrorKey)) {
      g_object_set_data_full(G_OBJECT(top.get()), kFirstErrorKey,
                             new std::string(error_message_text(message)),
                             [](gpointer p) { delete static_cast<std::string*>(p); });
    }
  }
  g_first_error_cond.notify_all();
}

void expect_first_error(GstElement* pipeline) {
  g_object_set_data(G_OBJECT(pipeline), kExpectedKey, GINT_TO_POINTER(1));
}

std::string first_error_text(GstElement* pipeline, double wait_seconds) {
  if (!pipeline) return {};
  if (!g_object_get_data(G_OBJECT(pipeline), kExpectedKey)) wait_seconds = 0.0;
  std::unique_lock lock(g_first_error_mutex);
  const std::string* text = nullptr;
  g_first_error_cond.wait_for(lock, std::chrono::duration<double>(wait_seconds), [&] {
    text = static_cast<const std::string*>(g_object_get_data(G_OBJECT(pipeline), kFirstErrorKey));
    return text != nullptr;
  });
  return text ? *text : std::string();
}

}  // namespace strovix::detail
