#pragma once
// Wires a CaptureClock into an rtspsrc pipeline and reads it back for a pulled sample.
#include <gst/gst.h>

#include <optional>

namespace strovix::detail {

// Gives `pipeline` a capture clock fed by `rtspsrc`: its RTP packets (a probe on each source
// pad it adds) and the sender reports its jitter buffers pass on ("handle-sync"). The clock
// lives as long as the pipeline element. Call before the pipeline leaves NULL.
void attach_capture_clock(GstElement* pipeline, GstElement* rtspsrc);

// The camera's capture time of a sample pulled from `pipeline`'s appsink, or nothing for a
// pipeline without a clock (HTTP, custom descriptions) or before the first sender report.
std::optional<double> capture_time_of(GstElement* pipeline, GstSample* sample);

}  // namespace strovix::detail
