#pragma once
#include <gst/gst.h>

#include <string>

namespace strovix::detail {

// The text of an error message, led by its cause when GStreamer names one: the RTSP or HTTP
// status code and reason the sources attach (401, 404, 503, ...), an authorisation or
// missing-resource error code, or the connection diagnosis that annotate_connection_error
// added. Without a known cause, the error's own text. Never quotes a URL's userinfo.
std::string error_message_text(GstMessage* message);

// The text to keep as a stream's last error: error_message_text, except for an error without
// a cause on a pipeline whose first error had one (a source's failure is followed by the
// follow-on errors of the elements behind it): then that first error's text.
std::string error_text_to_keep(GstMessage* message, GstElement* pipeline);

// The cause, alone, or empty when none is known (same sources as error_message_text).
std::string error_cause(GstMessage* message);

// What a fresh connection to the URL's host and port says, within `timeout_seconds`:
// "host not found", "connection refused", "timed out connecting", "TLS certificate rejected",
// ..., or "" when a connection (and TLS handshake, for https) succeeds. Blocks.
std::string diagnose_connection(const std::string& url, double timeout_seconds);

// Bus sync handler for rtspsrc and souphttpsrc pipelines. Runs on the thread that posts: an
// error from the source that carries no status code (the sources only say "Failed to connect"
// or "Internal data stream error") is replaced by a copy whose details name the cause found
// by diagnose_connection on the source's location.
// Also remembers, on the top-level pipeline, the text of the first error that passes, for
// first_error_text.
GstBusSyncReply annotate_connection_error(GstBus* bus, GstMessage* message, gpointer);

// Marks a pipeline whose bus runs annotate_connection_error, so first_error_text may wait.
void expect_first_error(GstElement* pipeline);

// The error_message_text of the first error annotate_connection_error let pass on this
// pipeline, waiting up to `wait_seconds` for one on a pipeline marked by expect_first_error
// (a source may report its failure to start just after the state change fails); "" when none
// came.
std::string first_error_text(GstElement* pipeline, double wait_seconds = 0.0);

}  // namespace strovix::detail
