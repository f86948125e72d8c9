#pragma once
// Damage-aware delivery for rtspsrc pipelines: the loss probe on the video's RTP and the
// gate in front of its decoder, added once rtspsrc's video pad is linked.
#include <gst/gst.h>

#include "strovix/gst/pipeline_factories.hpp"

namespace strovix::detail {

// Call before the pipeline leaves NULL, after the handler that links rtspsrc's pads is
// connected: this one runs after it.
void attach_damage_gate(GstElement* rtspsrc, const DamageSettings& settings);

}  // namespace strovix::detail
