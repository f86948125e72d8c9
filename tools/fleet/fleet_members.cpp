#include "fleet/fleet_members.hpp"

#include <algorithm>
#include <atomic>
#include <map>
#include <thread>

#include "common/reader_setup.hpp"
#include "common/run_loop.hpp"
#include "fleet/shard.hpp"
#include "strovix/logger.hpp"
#include "strovix/redaction.hpp"

namespace strovix::tools {
namespace {

// Readers are built and closed by this many threads at once: a build may wait (must_play)
// and a close may wait for a rebuild, and neither should add up over hundreds of cameras.
constexpr unsigned kSetupThreads = 8;

// Runs job(i) for every i < count on up to kSetupThreads threads.
template <typename Job>
void for_each_parallel(std::size_t count, Job job) {
  std::atomic<std::size_t> next{0};
  std::vector<std::thread> workers;
  const std::size_t threads = std::min<std::size_t>(kSetupThreads, count);
  for (std::size_t t = 0; t < threads; ++t) {
    workers.emplace_back([&] {
      for (std::size_t i = next++; i < count; i = next++) job(i);
    });
  }
  for (auto& w : workers) w.join();
}

}  // namespace

Selection load_selection(const ReadArgs& defaults, const FleetArgs& fleet) {
  Selection selection;
  const auto cameras = read_camera_list(*fleet.cameras);
  selection.listed = cameras.size();
  selection.shard = fleet.shard.value_or(Shard{});
  if (!selection.shard.count_file.empty()) {
    selection.shard.count = read_shard_count(selection.shard.count_file);
  }
  for (auto& camera : select_shard(cameras, selection.shard)) {
    Wanted wanted{camera, camera_args(defaults, camera), {}};
    wanted.options = effective_options(wanted.args);
    selection.cameras.push_back(std::move(wanted));
  }
  return selection;
}

ReloadPlan plan_reload(const std::vector<Wanted>& running, const std::vector<Wanted>& next) {
  std::map<std::string, const Wanted*> old;
  for (const auto& w : running) old[w.camera.name] = &w;
  ReloadPlan plan;
  for (const auto& w : next) {
    const auto it = old.find(w.camera.name);
    if (it == old.end()) {
      plan.added.push_back(w.camera.name);
    } else if (it->second->camera.url != w.camera.url || it->second->options != w.options) {
      plan.changed.push_back(w.camera.name);
    } else {
      plan.kept.push_back(w.camera.name);
    }
    if (it != old.end()) old.erase(it);
  }
  for (const auto& w : running) {
    if (old.count(w.camera.name)) plan.removed.push_back(w.camera.name);
  }
  return plan;
}

void build_readers(Members& members) {
  for_each_parallel(members.size(), [&](std::size_t i) {
    auto& m = *members[i];
    if (m.reader) return;
    try {
      auto options = reader_options(m.wanted.args);
      options.log_name = m.wanted.camera.name;
      m.reader = std::make_unique<GstStreamReader>(m.stream_id, m.wanted.camera.url,
                                                   reader_runtime_options(m.wanted.args), options);
      m.setup_error.clear();
    } catch (const std::exception& e) {
      m.setup_error = one_line(redact_credentials(e.what(), m.secrets));
    }
  });
}

void close_readers(Members& members) {
  for_each_parallel(members.size(), [&](std::size_t i) {
    if (members[i]->reader) members[i]->reader->wait_until_closed();
    members[i]->reader.reset();
  });
}

ReloadOutcome apply_reload(Members& members, std::vector<Wanted> next, int& next_id) {
  const auto start = Clock::now();
  std::vector<Wanted> running;
  for (const auto& m : members) running.push_back(m->wanted);
  ReloadOutcome outcome{plan_reload(running, next), 0.0};

  std::map<std::string, std::unique_ptr<Member>> by_name;
  for (auto& m : members) by_name[m->wanted.camera.name] = std::move(m);
  Members leaving;
  Members result;
  Members fresh;
  for (auto& w : next) {
    auto it = by_name.find(w.camera.name);
    if (it != by_name.end() && it->second->wanted.camera.url == w.camera.url &&
        it->second->wanted.options == w.options) {
      // Kept: the same reader; only its place in the list may have changed.
      it->second->wanted = std::move(w);
      result.push_back(std::move(it->second));
      by_name.erase(it);
      continue;
    }
    if (it != by_name.end()) {
      leaving.push_back(std::move(it->second));
      by_name.erase(it);
    }
    auto m = std::make_unique<Member>();
    m->secrets = url_secrets(w.camera.url);
    m->wanted = std::move(w);
    m->stream_id = next_id++;
    result.push_back(std::move(m));
  }
  for (auto& [name, m] : by_name) leaving.push_back(std::move(m));
  // A changed camera's old reader goes before its new one connects: a camera may allow
  // only so many sessions.
  close_readers(leaving);
  for (auto& m : result) {
    // A kept camera that could not be set up is tried again: a reload is how an operator
    // says the cause is fixed.
    if (!m->reader) fresh.push_back(std::move(m));
  }
  build_readers(fresh);
  // Put the built ones back in their places.
  std::size_t f = 0;
  for (auto& m : result) {
    if (!m) m = std::move(fresh[f++]);
  }
  members = std::move(result);
  outcome.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return outcome;
}

std::shared_ptr<const FleetSample> sample_fleet(Members& members, Clock::time_point start,
                                                double interval) {
  auto sample = std::make_shared<FleetSample>();
  sample->time = wall_seconds();
  sample->elapsed = seconds_since(start);
  for (auto& member : members) {
    auto& m = *member;
    CameraSample c;
    c.name = m.wanted.camera.name;
    c.url = escape_control(redact_url(m.wanted.camera.url));
    c.stream_id = m.stream_id;
    c.options = m.wanted.options;
    c.set_up = m.reader != nullptr;
    if (m.reader) {
      c.stats = m.reader->stats();
      c.stats.last_error = one_line(redact_credentials(c.stats.last_error, m.secrets));
      Frame frame = m.reader->latest_frame();
      if (frame.image) m.newest = std::move(frame);
      const std::uint64_t frames = c.stats.frames_delivered;
      c.fps = interval > 0 ? static_cast<double>(frames - m.last_frames) / interval : 0.0;
      m.last_frames = frames;
      const double last = c.stats.last_frame_time > 0 ? c.stats.last_frame_time
                                                      : (m.newest.image ? m.newest.timestamp : 0);
      if (last > 0) c.age_seconds = std::max(0.0, sample->time - last);
    } else {
      c.stats.last_error = m.setup_error;
    }
    c.newest = m.newest;
    sample->cameras.push_back(std::move(c));
  }
  return sample;
}

}  // namespace strovix::tools
