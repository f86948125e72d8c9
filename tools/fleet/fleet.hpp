#pragma once
// strovix-read --cameras: every camera of a list read at once in this process.
#include <signal.h>

#include "fleet/fleet_args.hpp"
#include "read/read_args.hpp"

namespace strovix::tools {

// Runs until the duration ends or SIGINT/SIGTERM (blocked by the caller) arrives; returns the
// exit status: 0 every camera delivered, 4 some never did, 3 none could be set up, 2 a bad
// list, 1 the server could not start.
int run_fleet(const ReadArgs& read, const FleetArgs& fleet, const sigset_t& stop_signals);

}  // namespace strovix::tools
