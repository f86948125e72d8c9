#pragma once
// The connection check: what a fresh connection to a source's host says, attached to the
// source's errors that name no cause of their own.
#include <gio/gio.h>
#include <gst/gst.h>

#include "diagnosis/connection_probe.hpp"
#include "logging/url.hpp"

namespace strovix::detail {

// The connection check of one pipeline, for the sync handler below: made for the URL its
// source reads, freed with free_connection_check (a bus sync handler's destroy notify).
gpointer new_connection_check(const StreamUrl& url);
void free_connection_check(gpointer check);

// Bus sync handler for rtspsrc and souphttpsrc pipelines; `check` from new_connection_check.
// Runs on the thread that posts: an error from the source that carries no status code (the
// sources only say "Failed to connect" or "Internal data stream error") is replaced by a copy
// whose details name the cause diagnose_connection finds. The check runs on a thread of its
// own, "ConnectionCheck", never on the streaming thread (a state change to NULL would wait for
// it): the pipeline's errors are held back meanwhile and posted again, in order, once the
// cause is known. The pipeline leaving PAUSED cancels a check under way.
// Also remembers, on the top-level pipeline, the text of the first error that passes, for
// first_error_text.
GstBusSyncReply annotate_connection_error(GstBus* bus, GstMessage* message, gpointer check);

}  // namespace strovix::detail
