#pragma once
// The cause text of a bus error message, and the memory of a pipeline's first error.
#include <gst/gst.h>

#include <string>

namespace strovix::detail {

// The details field that carries a cause as data: the connection check's diagnosis, or the
// cause of an error the reader posts itself (post_error).
inline constexpr const char* CAUSE_FIELD = "strovix-cause";

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

// The details structure of an error message (borrowed from it), or null.
const GstStructure* error_details(GstMessage* message);

// The RTSP or HTTP status code and reason the sources attach to an error's details; false
// when there is none. `reason` is borrowed from `details` and may be null.
bool error_status(const GstStructure* details, guint* code, const char** reason);

// Remembers, on the top-level pipeline of the message's source, the error_message_text of
// the first error, for first_error_text.
void remember_first_error(GstMessage* message);

// Marks a pipeline whose bus runs annotate_connection_error, so first_error_text may wait.
void expect_first_error(GstElement* pipeline);

// The error_message_text of the first error annotate_connection_error let pass on this
// pipeline, waiting up to `wait_seconds` for one on a pipeline marked by expect_first_error
// (a source may report its failure to start just after the state change fails); "" when none
// came.
std::string first_error_text(GstElement* pipeline, double wait_seconds = 0.0);

}  // namespace strovix::detail
