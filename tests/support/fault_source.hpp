#pragma once
// "strovixfaultsrc": a tiny source element for tests that need a pipeline to end on cue.
// It sends `frames` BGR frames (16x16, 30/1) and then ends, as its "ending" property says:
//   eos        end-of-stream
//   error      one ERROR message on the bus (and nothing else)
//   alternate  end-of-stream and error by turns, counted across all instances in the process
// "stop-delay-ms" makes stopping (PAUSED to READY) take that long, like a source whose
// teardown waits for its server; "stop-failures" makes the first N changes from READY to NULL fail, so the
// pipeline does not reach NULL.
// Use it in a custom description, e.g. "strovixfaultsrc ending=alternate ! appsink".
#include <cstdint>

namespace strovix::testing {

// Registers the element with GStreamer (once per process; later calls do nothing).
void register_fault_source();

// Instances that have started streaming so far, across the process.
std::uint64_t fault_source_starts();

}  // namespace strovix::testing
