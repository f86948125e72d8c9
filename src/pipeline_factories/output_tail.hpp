#pragma once
// The end every network pipeline shares, and the last steps of building one.
#include <gst/gst.h>

#include <memory>
#include <string>

#include "logging/url.hpp"
#include "strovix/gst/pipeline_factories.hpp"

namespace strovix::detail {

// videoconvert ! capsfilter ! appsink: keeps only the newest frame, not clock-synchronised.
// videoconvert passes I420 and NV12 through untouched. The appsink posts EOS at once rather
// than after its queued frame is pulled, so a source that ends (a server that closed the
// connection) is reported even while nobody pulls.
void add_output_tail(GstBin* bin);

// Wraps `bin` in a Pipeline with the completion callback and the watcher, connects
// `source_callback` (and, when asked, "no-more-pads") on `source` with the linking state, and
// sets it going.
std::shared_ptr<Pipeline> finish_network_pipeline(ElementPtr bin, const PipelineWatcher& watcher,
                                                  const OnComplete& on_complete,
                                                  const StreamUrl& url, GstElement* source,
                                                  const char* source_signal,
                                                  GCallback source_callback,
                                                  bool with_no_more_pads);

}  // namespace strovix::detail
