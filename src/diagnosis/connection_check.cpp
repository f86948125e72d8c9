#include "diagnosis/connection_check.hpp"

#include <gio/gio.h>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "diagnosis/bus_message_cause.hpp"
#include "diagnosis/connection_probe.hpp"
#include "stream_reader/named_thread.hpp"
#include "strovix/gst/handles.hpp"

namespace strovix::detail {
namespace {

constexpr double kDiagnosisTimeoutSeconds = 3.0;

bool is_network_source(GstObject* object) {
  if (!GST_IS_ELEMENT(object)) return false;
  GstElementFactory* factory = gst_element_get_factory(GST_ELEMENT(object));
  if (!factory) return false;
  const char* name = gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(factory));
  return g_strcmp0(name, "rtspsrc") == 0 || g_strcmp0(name, "souphttpsrc") == 0;
}

bool is_http_source(GstObject* object) {
  GstElementFactory* factory = gst_element_get_factory(GST_ELEMENT(object));
  return factory &&
         g_strcmp0(gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(factory)), "souphttpsrc") == 0;
}

// The connection check of one pipeline: the sync handler's data, shared with a check's thread.
struct Check {
  // Where the source connects; none: nothing to check.
  std::optional<ConnectionTarget> target;
  // Guards running, worker, held and cause.
  std::mutex mutex;
  bool running = false;
  std::thread::id worker;
  // The pipeline's errors posted while the check runs, in order.
  std::deque<MessagePtr> held;
  // The cause found for the source's first connection error ("" none), reused for the errors
  // it posts after it; unset before the check has run.
  std::optional<std::string> cause;
  // The source got an answer with a status code: the server was reached, so later errors
  // need no connection diagnosis.
  std::atomic<bool> answered{false};
  // The monotonic time of the source's first message (0: none yet), to tell a request that
  // timed out from one the server cut short.
  std::atomic<gint64> first_seen{0};
  // Cancelled when the pipeline leaves PAUSED (close, restart): nobody needs the cause then.
  GObjectPtr<GCancellable> cancellable{g_cancellable_new()};
};

using CheckPtr = std::shared_ptr<Check>;

// Seconds since the source posted its first message.
double seconds_since_first_message(const Check& check) {
  const gint64 first = check.first_seen.load();
  return first ? static_cast<double>(g_get_monotonic_time() - first) / G_USEC_PER_SEC : 0.0;
}

// The cause of a source's connection failure, trusting what the source trusts: a camera's
// own CA must not read as rejected.
std::string find_cause(GstObject* source, const Check& check) {
  if (!check.target) return {};
  GTlsDatabase* raw_database = nullptr;
  g_object_get(source, "tls-database", &raw_database, nullptr);
  GObjectPtr<GTlsDatabase> database(raw_database);
  gboolean validation = TRUE;
  if (is_http_source(source)) {
    g_object_get(source, "ssl-strict", &validation, nullptr);
  } else {
    GTlsCertificateFlags flags = G_TLS_CERTIFICATE_VALIDATE_ALL;
    g_object_get(source, "tls-validation-flags", &flags, nullptr);
    validation = flags != G_TLS_CERTIFICATE_NO_FLAGS;
  }
  std::string cause =
      diagnose_connection(*check.target, kDiagnosisTimeoutSeconds, check.cancellable.get(),
                          database.get(), validation != FALSE);
  // souphttpsrc fails without a status only when no answer came: with the connection
  // itself fine, the server either kept silent until the time-out or closed it.
  if (cause.empty() && is_http_source(source) &&
      !g_cancellable_is_cancelled(check.cancellable.get())) {
    guint timeout = 0;
    g_object_get(source, "timeout", &timeout, nullptr);
    cause = timeout > 0 && seconds_since_first_message(check) >= 0.9 * timeout
                ? "timed out: the server accepted the connection but did not answer"
                : "the server closed the connection without answering";
  }
  return cause;
}

// Runs on the check's own thread: finds the cause, keeps it and posts the held errors again,
// which the sync handler then annotates with it.
void run_check(BusPtr owned_bus, GstObjectPtr<GstObject> owned_source, CheckPtr check) {
  GstBus* bus = owned_bus.get();
  {
    std::lock_guard lock(check->mutex);
    check->worker = std::this_thread::get_id();
  }
  std::string cause;
  try {
    cause = find_cause(owned_source.get(), *check);
  } catch (...) {
    cause.clear();
  }
  {
    std::lock_guard lock(check->mutex);
    check->cause = std::move(cause);
  }
  for (;;) {
    MessagePtr message;
    {
      std::lock_guard lock(check->mutex);
      if (check->held.empty()) {
        check->running = false;
        check->worker = std::thread::id();
        break;
      }
      message = std::move(check->held.front());
      check->held.pop_front();
    }
    gst_bus_post(bus, message.release());
  }
}

void start_check(GstBus* bus, GstMessage* message, GstObject* source, const CheckPtr& check) {
  {
    std::lock_guard lock(check->mutex);
    check->held.emplace_back(gst_message_ref(message));
    // Two streaming threads may get here at once: one check, whose cause is stored once.
    if (check->running) return;
    check->running = true;
  }
  // Holds its own references: nothing it uses can go away under it, and it ends within the
  // check's time-out (or at once when cancelled), so it is not joined.
  try {
    // (std::function needs a copyable body: the references travel in a shared pair.)
    auto refs = std::make_shared<std::pair<BusPtr, GstObjectPtr<GstObject>>>(
        BusPtr(GST_BUS(gst_object_ref(bus))),
        GstObjectPtr<GstObject>(GST_OBJECT(gst_object_ref(source))));
    start_named_thread("ConnectionCheck", [refs, check] {
      run_check(std::move(refs->first), std::move(refs->second), check);
    }).detach();
  } catch (const std::exception&) {
    // No thread for the check: the errors go on without a cause rather than stay held.
    std::deque<MessagePtr> held;
    {
      std::lock_guard lock(check->mutex);
      check->cause = std::string();
      check->running = false;
      held.swap(check->held);
    }
    for (auto& m : held) gst_bus_post(bus, m.release());
  }
}

// Posts a copy of the error whose details name the cause; the original is dropped.
void post_annotated(GstBus* bus, GstMessage* message, GstObject* source, const std::string& cause) {
  GError* raw_error = nullptr;
  gchar* raw_debug = nullptr;
  gst_message_parse_error(message, &raw_error, &raw_debug);
  GErrorPtr error(raw_error);
  GCharPtr debug(raw_debug);
  const GstStructure* details = error_details(message);
  GstStructure* annotated =
      details ? gst_structure_copy(details) : gst_structure_new_empty("details");
  gst_structure_set(annotated, CAUSE_FIELD, G_TYPE_STRING, cause.c_str(), nullptr);
  GstMessage* copy =
      gst_message_new_error_with_details(source, error.get(), debug.get(), annotated);
  gst_message_set_seqnum(copy, gst_message_get_seqnum(message));
  gst_bus_post(bus, copy);
}

GstBusSyncReply annotate(GstBus* bus, GstMessage* message, const CheckPtr& check) {
  GstObject* source = GST_MESSAGE_SRC(message);
  if (!is_network_source(source)) return GST_BUS_PASS;
  gint64 none = 0;
  check->first_seen.compare_exchange_strong(none, g_get_monotonic_time());
  if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ELEMENT) {
    // souphttpsrc reports every answer's status here, before any error it leads to.
    const GstStructure* s = gst_message_get_structure(message);
    guint code = 0;
    if (s && gst_structure_has_name(s, "http-headers") &&
        gst_structure_get_uint(s, "http-status-code", &code) && code != 0) {
      check->answered = true;
    }
    return GST_BUS_PASS;
  }
  if (GST_MESSAGE_TYPE(message) != GST_MESSAGE_ERROR) return GST_BUS_PASS;
  const GstStructure* details = error_details(message);
  if (details && gst_structure_has_field(details, CAUSE_FIELD)) return GST_BUS_PASS;
  guint code = 0;
  const char* reason = nullptr;
  if (error_status(details, &code, &reason) || check->answered) {
    check->answered = true;
    return GST_BUS_PASS;
  }
  if (!error_cause(message).empty()) {
    check->answered = true;
    return GST_BUS_PASS;
  }
  std::optional<std::string> known;
  {
    std::lock_guard lock(check->mutex);
    known = check->cause;
  }
  if (!known) {
    start_check(bus, message, source, check);
    return GST_BUS_DROP;
  }
  if (known->empty()) return GST_BUS_PASS;
  post_annotated(bus, message, source, *known);
  return GST_BUS_DROP;
}

}  // namespace

gpointer new_connection_check(const StreamUrl& url) {
  auto check = std::make_shared<Check>();
  check->target = connection_target(url);
  return new CheckPtr(std::move(check));
}

void free_connection_check(gpointer check) { delete static_cast<CheckPtr*>(check); }

GstBusSyncReply annotate_connection_error(GstBus* bus, GstMessage* message, gpointer data) {
  const CheckPtr& check = *static_cast<CheckPtr*>(data);
  const auto type = GST_MESSAGE_TYPE(message);
  GstObject* src = GST_MESSAGE_SRC(message);
  if (type == GST_MESSAGE_STATE_CHANGED && src && GST_IS_PIPELINE(src)) {
    GstState old_state, new_state;
    gst_message_parse_state_changed(message, &old_state, &new_state, nullptr);
    if (new_state <= GST_STATE_READY && old_state > new_state) {
      g_cancellable_cancel(check->cancellable.get());
    }
  }
  if (type == GST_MESSAGE_ERROR && src) {
    std::lock_guard lock(check->mutex);
    if (check->running && check->worker != std::this_thread::get_id()) {
      check->held.emplace_back(gst_message_ref(message));
      return GST_BUS_DROP;
    }
  }
  const GstBusSyncReply reply = annotate(bus, message, check);
  if (reply == GST_BUS_PASS && GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
    remember_first_error(message);
  }
  return reply;
}

}  // namespace strovix::detail
