#pragma once
// The connection check: what a fresh connection to a source's host says, attached to the
// source's errors that name no cause of their own.
#include <gio/gio.h>
#include <gst/gst.h>

#include <string>

namespace strovix::detail {

// What a fresh connection to the URL's host and port says, within `timeout_seconds`:
// "host not found", "connection refused", "timed out connecting", "TLS certificate rejected",
// ..., or "" when a connection (and TLS handshake, for https) succeeds or `cancellable` is
// cancelled. Blocks, at most `timeout_seconds`, DNS lookup included. The handshake trusts
// `tls_database` (null: the system's certificates), or anything when `tls_validation` is false,
// as the source does.
std::string diagnose_connection(const std::string& url, double timeout_seconds,
                                GCancellable* cancellable = nullptr,
                                GTlsDatabase* tls_database = nullptr, bool tls_validation = true);

// Bus sync handler for rtspsrc and souphttpsrc pipelines. Runs on the thread that posts: an
// error from the source that carries no status code (the sources only say "Failed to connect"
// or "Internal data stream error") is replaced by a copy whose details name the cause found
// by diagnose_connection on the source's location. The check runs on a thread of its own,
// never on the streaming thread (a state change to NULL would wait for it): the pipeline's
// errors are held back meanwhile and posted again, in order, once the cause is known. The
// pipeline leaving PAUSED cancels a check under way.
// Also remembers, on the top-level pipeline, the text of the first error that passes, for
// first_error_text.
GstBusSyncReply annotate_connection_error(GstBus* bus, GstMessage* message, gpointer);

}  // namespace strovix::detail
