#pragma once
// The cameras a fleet process reads, and how a new list becomes the running set: cameras
// are matched by name, and one whose URL and effective options are unchanged keeps its
// reader (no gap in its frames); only added, removed and changed ones are touched.
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/run_common.hpp"
#include "fleet/camera_list.hpp"
#include "fleet/fleet_args.hpp"
#include "fleet/fleet_state.hpp"
#include "read/read_args.hpp"
#include "strovix/stream_reader/gst.hpp"

namespace strovix::tools {

// One camera as this process should read it.
struct Wanted {
  Camera camera;
  ReadArgs args;  // the command line's, overridden by the camera's options
  std::vector<std::pair<std::string, std::string>> options;  // effective_options(args)
};

// The list read and this process's shard of it. Throws CameraListError for a list that does
// not parse, std::invalid_argument for a shard-count file that does not.
struct Selection {
  std::vector<Wanted> cameras;  // this shard's, in the list's order
  std::size_t listed = 0;       // cameras in the whole list
  Shard shard;                  // with the count read now
};
Selection load_selection(const ReadArgs& defaults, const FleetArgs& fleet);

// What a new selection changes, by camera name, each in the new list's order (removed: the
// old order).
struct ReloadPlan {
  std::vector<std::string> added, removed, changed, kept;
};
ReloadPlan plan_reload(const std::vector<Wanted>& running, const std::vector<Wanted>& next);

struct Member {
  Wanted wanted;
  int stream_id = 0;
  std::vector<std::string> secrets;
  std::unique_ptr<GstStreamReader> reader;
  std::string setup_error;  // without credentials
  std::uint64_t last_frames = 0;
  Frame newest;
};
using Members = std::vector<std::unique_ptr<Member>>;

// Builds the readers of `members` that have none, on a few threads at once; a reader that
// cannot be built leaves its setup_error.
void build_readers(Members& members);
// Closes and joins the readers, on a few threads at once.
void close_readers(Members& members);

// What apply_reload did.
struct ReloadOutcome {
  ReloadPlan plan;
  double seconds = 0.0;  // from the start of the reload to every new reader built
};
// Makes `members` the selection: closes removed and changed readers, builds added and
// changed ones, keeps the rest untouched. `next_id` numbers new readers.
ReloadOutcome apply_reload(Members& members, std::vector<Wanted> next, int& next_id);

// Samples every camera; never blocks on a stream.
std::shared_ptr<const FleetSample> sample_fleet(Members& members, Clock::time_point start,
                                                double interval);

}  // namespace strovix::tools
