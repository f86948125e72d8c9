// A fleet's reload, in process: 48 readers of the RTSP test server, then the list changed
// (cameras added, removed and changed) and the shard count grown. How long does applying a
// list take, and do the cameras no change touched see any pause? A thread polls every
// unchanged reader's pull time of its newest frame every 2 ms; the longest interval between
// two frames during a reload is set against the longest in as long a steady stretch.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bench_common.hpp"
#include "fleet/camera_list.hpp"
#include "fleet/fleet_members.hpp"
#include "fleet/shard.hpp"
#include "strovix/gobject_init.hpp"
#include "strovix/logger.hpp"
#include "support/rtsp_server.hpp"

using namespace strovix;
using namespace strovix::tools;

namespace {

constexpr int kCameras = 48;

std::vector<Wanted> wanted(const std::string& text, const Shard& shard = {}) {
  std::vector<Wanted> out;
  for (auto& camera : select_shard(parse_camera_list(text, "list"), shard)) {
    ReadArgs args;
    args.backoff = Backoff{0.2, 0.5, 0};
    Wanted w{camera, args, effective_options(args)};
    out.push_back(std::move(w));
  }
  return out;
}

// Longest interval between frames (ms) of each watched reader since the last take().
class GapWatch {
 public:
  explicit GapWatch(std::vector<GstStreamReader*> readers)
      : readers_(std::move(readers)), last_(readers_.size(), 0.0), longest_(readers_.size()) {
    thread_ = std::thread([this] { run(); });
  }
  ~GapWatch() {
    stop_ = true;
    thread_.join();
  }
  double take() {
    double worst = 0;
    for (auto& l : longest_) worst = std::max(worst, l.exchange(0.0));
    return worst;
  }

 private:
  void run() {
    while (!stop_) {
      for (std::size_t i = 0; i < readers_.size(); ++i) {
        const double t = readers_[i]->stats().last_frame_time;
        if (t != last_[i]) {
          if (last_[i] > 0) {
            const double gap = (t - last_[i]) * 1000.0;
            double seen = longest_[i].load();
            while (gap > seen && !longest_[i].compare_exchange_weak(seen, gap)) {
            }
          }
          last_[i] = t;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  std::vector<GstStreamReader*> readers_;
  std::vector<double> last_;
  std::vector<std::atomic<double>> longest_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

bool all_deliver(Members& members, double timeout) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
  while (std::chrono::steady_clock::now() < deadline) {
    bool all = true;
    for (auto& m : members) all = all && m->reader && m->reader->stats().frames_delivered > 0;
    if (all) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

std::vector<GstStreamReader*> readers_of(Members& members, const std::set<std::string>& names) {
  std::vector<GstStreamReader*> out;
  for (auto& m : members) {
    if (names.count(m->wanted.camera.name) && m->reader) out.push_back(m->reader.get());
  }
  return out;
}

struct Phase {
  std::string what;
  ReloadOutcome outcome;
  double steady_ms = 0;
  double reload_ms = 0;
  std::size_t watched = 0;
};

// Steady stretch, then the reload and as long again after it; the unchanged cameras watched.
Phase measure(const std::string& what, Members& members, std::vector<Wanted> next, int& next_id,
              double stretch) {
  std::set<std::string> kept_names;
  {
    std::vector<Wanted> running;
    for (auto& m : members) running.push_back(m->wanted);
    for (const auto& name : plan_reload(running, next).kept) kept_names.insert(name);
  }
  Phase phase{what, {}, 0, 0, 0};
  GapWatch watch(readers_of(members, kept_names));
  phase.watched = kept_names.size();
  bench::sleep_s(stretch);
  phase.steady_ms = watch.take();
  phase.outcome = apply_reload(members, std::move(next), next_id);
  bench::sleep_s(stretch);
  phase.reload_ms = watch.take();
  all_deliver(members, 20);
  return phase;
}

}  // namespace

int main(int argc, char** argv) {
  const bool smoke = argc > 1 && std::string(argv[1]) == "--smoke";
  const int cameras = smoke ? 8 : kCameras;
  const double stretch = smoke ? 1.0 : 3.0;
  set_log_level(LogLevel::warning);
  gobject_init::start();
  testing::RtspTestServer rtsp;
  rtsp.add_looped_h264_mount("/a", {.width = 320, .height = 240, .fps = 30, .key_int_max = 30});
  rtsp.add_looped_h264_mount("/b", {.width = 320, .height = 240, .fps = 30, .key_int_max = 30});
  rtsp.start();
  auto list = [&](int first, int count, int changed) {
    std::string text;
    for (int i = first; i < first + count; ++i) {
      text += "cam" + std::to_string(i) + " " + rtsp.url(i < first + changed ? "/b" : "/a") + "\n";
    }
    return text;
  };
  Members members;
  int next_id = 1;
  const auto start = std::chrono::steady_clock::now();
  const auto initial = apply_reload(members, wanted(list(0, cameras, 0)), next_id);
  const bool up = all_deliver(members, 30);
  const double first_frames =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("start: %d cameras built in %.0f ms, all delivering after %.2f s%s\n", cameras,
              initial.seconds * 1000, first_frames, up ? "" : " (not all delivered)");

  const int step = std::max(1, cameras / 12);
  std::vector<Phase> phases;
  // cam0..: `step` removed at the front, `step` changed (URL /b), `step` added at the end.
  phases.push_back(
      measure("list changed", members, wanted(list(step, cameras, step)), next_id, stretch));
  phases.push_back(measure("list unchanged (SIGHUP)", members, wanted(list(step, cameras, step)),
                           next_id, stretch));
  const std::string whole = list(step, cameras, step);
  phases.push_back(
      measure("shard 0/1 -> 0/3", members, wanted(whole, {0, 3, ""}), next_id, stretch));
  phases.push_back(
      measure("shard 0/3 -> 0/4", members, wanted(whole, {0, 4, ""}), next_id, stretch));
  std::printf(
      "| reload | added | removed | changed | kept | apply ms | longest frame interval of the "
      "kept, steady | during the reload |\n");
  std::printf("|---|---|---|---|---|---|---|---|\n");
  for (const auto& p : phases) {
    std::printf("| %s | %zu | %zu | %zu | %zu | %.0f | %.0f ms | %.0f ms |\n", p.what.c_str(),
                p.outcome.plan.added.size(), p.outcome.plan.removed.size(),
                p.outcome.plan.changed.size(), p.outcome.plan.kept.size(), p.outcome.seconds * 1000,
                p.steady_ms, p.reload_ms);
  }
  for (const auto& p : phases) {
    std::printf(
        "RESULT reload=\"%s\" apply_ms=%.1f kept=%zu steady_gap_ms=%.1f reload_gap_ms=%.1f\n",
        p.what.c_str(), p.outcome.seconds * 1000, p.watched, p.steady_ms, p.reload_ms);
  }
  close_readers(members);
  return 0;
}
