#pragma once
// The connection check: what a fresh connection to a source's host says, attached to the
// source's errors that name no cause of their own.
#include <gst/gst.h>

#include <string>

namespace strovix::detail {

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

}  // namespace strovix::detail
