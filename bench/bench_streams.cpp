// CPU, frame rate, wake-ups and per-stream budget of live RTSP streams: N readers (full
// decode over UDP and over TCP, keyframe-only) against OpenCV's FFmpeg back-end, N
// hand-written appsink pipelines and the receive-only floor (rtspsrc ! depay ! fakesink), on
// cheap test content and on content as costly to decode as a camera's pictures; and readers
// of a camera that is down and of one that streams nothing.
//
// Each configuration runs in a child process of its own (this program with --child), so its
// CPU (getrusage), memory, threads, descriptors and context switches are its alone; the
// child also samples the server process's CPU over the same window. Frame rates are counted
// by one thread that polls every stream's new-frame event every 5 ms; for the hand-written
// pipelines and OpenCV the exact count of the reading thread is reported beside it, which
// checks that the poll misses nothing.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "bench_common.hpp"
#include "strovix/gobject_init.hpp"
#include "strovix/logger.hpp"
#include "strovix/stream_reader/gst.hpp"
#include "support/process_stats.hpp"

#ifdef STROVIX_BENCH_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>
#include <opencv2/videoio.hpp>
#endif

using namespace strovix;
using namespace strovix::bench;

namespace {

constexpr double kSourceFps = 30.0;
constexpr double kKeyframeFps = 1.0;  // one keyframe a second in every clip

#ifdef STROVIX_BENCH_OPENCV
constexpr bool kHaveOpenCV = true;
#else
constexpr bool kHaveOpenCV = false;
#endif

std::string hand_description(const std::string& url, const std::string& mode) {
  const std::string src = "rtspsrc location=" + url + " latency=200 ! rtph264depay ! ";
  if (mode == "receive") return src + "fakesink name=sink sync=false";
  return src +
         "h264parse name=parse ! avdec_h264 ! videoconvert ! video/x-raw,format=BGR"
         " ! appsink name=sink max-buffers=1 drop=true sync=false";
}

// OpenCV's FFmpeg back-end as a host uses it: one capture per stream, read continuously on
// a thread of its own (OpenCV's own defaults: RTSP over TCP, FFmpeg's decoder threads).
class OpenCVReader {
 public:
  explicit OpenCVReader(std::string url) : url_(std::move(url)) {
    thread_ = std::thread([this] { run(); });
  }
  ~OpenCVReader() {
    stop_.store(true);
    thread_.join();
  }
  std::shared_ptr<Event> new_frame_event() const { return event_; }
  std::uint64_t frames() const { return frames_.load(); }

 private:
  void run() {
#ifdef STROVIX_BENCH_OPENCV
    cv::VideoCapture capture(url_, cv::CAP_FFMPEG);
    if (!capture.isOpened()) {
      std::fprintf(stderr, "bench_streams: OpenCV cannot open %s\n", url_.c_str());
      return;
    }
    cv::Mat frame;
    while (!stop_.load()) {
      if (!capture.read(frame)) {
        sleep_s(0.01);
        continue;
      }
      frames_.fetch_add(1, std::memory_order_relaxed);
      event_->set();
    }
#endif
  }
  std::string url_;
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> frames_{0};
  std::shared_ptr<Event> event_ = std::make_shared<Event>();
  std::thread thread_;
};

// One configuration, in this process. Prints one "RESULT ..." line and one "THREADS ..."
// line (CPU % per stream by thread name, for profiling).
int run_child(const std::string& mode, int n, const std::string& url, pid_t server_pid,
              double warmup_s, double window_s) {
  // The readers' info lines (status changes) would swamp the output at 64 streams.
  stream_log_sink()->set_level(spdlog::level::err);
  gobject_init::start();
  preload_plugins();
  sleep_s(0.2);
  const long rss0 = self_rss_kib();
  const int threads0 = testing::thread_count();
  const int fds0 = self_fd_count();

  std::vector<std::unique_ptr<GstStreamReader>> readers;
  std::vector<std::unique_ptr<HandPipeline>> hands;
  std::vector<std::unique_ptr<OpenCVReader>> opencvs;
  std::vector<std::shared_ptr<Event>> events;
  const bool is_reader = mode.rfind("reader", 0) == 0;
  const bool keyframes = mode.find("kf") != std::string::npos;
  // A camera that is down or silent delivers nothing: nothing to wait for.
  const bool expect_frames = mode != "idle" && mode != "reader-down" && mode != "reader-silent";
  for (int i = 0; i < n; ++i) {
    if (mode == "idle") {
      // The harness alone: the poller over N events that never fire.
      events.push_back(std::make_shared<Event>());
    } else if (mode == "opencv") {
      opencvs.push_back(std::make_unique<OpenCVReader>(url));
      events.push_back(opencvs.back()->new_frame_event());
    } else if (is_reader) {
      RuntimeOptions runtime;
      if (keyframes) runtime["keyframes_only"] = true;
      GstStreamReader::Options options;
      options.proxied = mode == "reader-tcp";
      readers.push_back(std::make_unique<GstStreamReader>(i, url, runtime, options));
      events.push_back(readers.back()->new_frame_event());
    } else {
      hands.push_back(std::make_unique<HandPipeline>(
          hand_description(url, mode == "hand-kf" ? "full" : mode), keyframes ? "parse" : ""));
      events.push_back(hands.back()->new_frame_event());
    }
  }

  // The poller: one thread, every stream's event every 5 ms.
  std::vector<std::uint64_t> counts(n, 0);
  std::atomic<bool> stop{false};
  std::mutex counts_mutex;
  std::thread poller([&] {
    while (!stop.load()) {
      {
        std::lock_guard lock(counts_mutex);
        for (int i = 0; i < n; ++i) {
          if (events[i]->is_set()) {
            events[i]->clear();
            ++counts[i];
          }
        }
      }
      sleep_s(0.005);
    }
  });
  auto snapshot = [&] {
    std::lock_guard lock(counts_mutex);
    return counts;
  };
  auto exact = [&] {
    std::uint64_t total = 0;
    for (auto& h : hands) total += h->frames();
    for (auto& o : opencvs) total += o->frames();
    return total;
  };

  // Every stream delivers before the clock starts (bounded).
  const double up_deadline = mono_s() + 40.0;
  int up = 0;
  while (expect_frames && mono_s() < up_deadline) {
    const auto c = snapshot();
    up = 0;
    for (auto v : c) up += v > 0;
    if (up == n) break;
    sleep_s(0.1);
  }
  sleep_s(warmup_s);

  const auto c0 = snapshot();
  const std::uint64_t e0 = exact();
  const auto th0 = self_threads_by_name();
  const double cpu0 = self_cpu_s();
  const long csw0 = self_voluntary_switches();
  const double srv0 = proc_cpu_s(server_pid);
  const double t0 = mono_s();
  sleep_s(window_s);
  const double t1 = mono_s();
  const double cpu1 = self_cpu_s();
  const long csw1 = self_voluntary_switches();
  const double srv1 = proc_cpu_s(server_pid);
  const auto th1 = self_threads_by_name();
  const std::uint64_t e1 = exact();
  const auto c1 = snapshot();
  const long rss1 = self_rss_kib();
  const int threads1 = testing::thread_count();
  const int fds1 = self_fd_count();

  const double span = t1 - t0;
  double fps_min = 1e9, fps_sum = 0;
  for (int i = 0; i < n; ++i) {
    const double fps = static_cast<double>(c1[i] - c0[i]) / span;
    fps_min = std::min(fps_min, fps);
    fps_sum += fps;
  }
  const bool exact_known = !hands.empty() || !opencvs.empty();
  std::printf(
      "RESULT mode=%s n=%d up=%d cpu_pct=%.3f server_pct=%.3f fps_min=%.3f fps_mean=%.3f "
      "exact_fps_mean=%.3f rss_kib=%ld threads=%d fds=%d switches_per_s=%.1f window_s=%.2f\n",
      mode.c_str(), n, up, 100.0 * (cpu1 - cpu0) / span, 100.0 * (srv1 - srv0) / span, fps_min,
      fps_sum / n, exact_known ? static_cast<double>(e1 - e0) / span / n : std::nan(""),
      rss1 - rss0, threads1 - threads0, fds1 - fds0, static_cast<double>(csw1 - csw0) / span, span);
  // Per thread kind, per stream: CPU % and wake-ups per second.
  std::printf("THREADS mode=%s n=%d", mode.c_str(), n);
  for (const auto& [name, after] : th1) {
    const auto before = th0.find(name);
    const double cpu = after.cpu_s - (before == th0.end() ? 0 : before->second.cpu_s);
    const long sw =
        after.voluntary_switches - (before == th0.end() ? 0 : before->second.voluntary_switches);
    if (cpu <= 0 && sw <= 0) continue;
    std::printf(" [%s]x%d=%.2f%%/%.0fw", name.c_str(), after.threads, 100.0 * cpu / span / n,
                static_cast<double>(sw) / span / n);
  }
  std::printf("\n");
  std::fflush(stdout);

  stop.store(true);
  poller.join();
  // Close all readers first so their pipelines wind down side by side.
  for (auto& r : readers) r->close();
  readers.clear();
  hands.clear();
  opencvs.clear();
  return 0;
}

struct Result {
  std::string line;
  double get(const std::string& key) const {
    auto v = field(line, key);
    return v ? *v : std::nan("");
  }
};

std::vector<int> parse_counts(const std::string& text) {
  std::vector<int> out;
  std::stringstream ss(text);
  std::string item;
  while (std::getline(ss, item, ',')) {
    if (!item.empty()) out.push_back(std::stoi(item));
  }
  return out;
}

struct Content {
  std::string key;    // in results
  std::string path;   // on the bench server
  std::string title;  // in the tables
  std::vector<int> counts;
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 7 && args[0] == "--child") {
    return run_child(args[1], std::stoi(args[2]), args[3], static_cast<pid_t>(std::stoi(args[4])),
                     std::stod(args[5]), std::stod(args[6]));
  }
  bool smoke = false;
  std::string md_path, targets_path, only_modes;
  std::string cheap_counts = "1,16,48", camera_counts = "1,16,48", hd_counts = "1",
              budget_counts = "1,16,48";
  int kf_capacity = 150, full_capacity = 0;
  int repeats = 1, small_n = 1;
  double warmup = 1.5, window = 5.0;
  for (std::size_t i = 0; i < args.size(); ++i) {
    auto value = [&] { return i + 1 < args.size() ? args[++i] : std::string(); };
    if (args[i] == "--smoke")
      smoke = true;
    else if (args[i] == "--md")
      md_path = value();
    else if (args[i] == "--targets")
      targets_path = value();
    else if (args[i] == "--counts")
      cheap_counts = value();
    else if (args[i] == "--camera-counts")
      camera_counts = value();
    else if (args[i] == "--hd-counts")
      hd_counts = value();
    else if (args[i] == "--budget-counts")
      budget_counts = value();
    else if (args[i] == "--modes")
      only_modes = "," + value() + ",";
    else if (args[i] == "--kf-capacity")
      kf_capacity = std::stoi(value());
    else if (args[i] == "--full-capacity")
      full_capacity = std::stoi(value());
    else if (args[i] == "--window")
      window = std::stod(value());
    else if (args[i] == "--warmup")
      warmup = std::stod(value());
    else if (args[i] == "--repeat")
      repeats = std::stoi(value());
    else {
      std::fprintf(stderr,
                   "usage: bench_streams [--smoke] [--md FILE] [--targets FILE] [--counts 1,16,48] "
                   "[--camera-counts 1,16,48] [--hd-counts 1] [--budget-counts 1,16,48] "
                   "[--modes a,b] [--kf-capacity N] [--full-capacity N] [--warmup S] "
                   "[--window S] [--repeat R]\n");
      return 2;
    }
  }
  if (smoke) {
    cheap_counts = "1";
    camera_counts = "1";
    hd_counts = "";
    budget_counts = "1";
    kf_capacity = 0;
    full_capacity = 0;
    warmup = 0.5;
    window = 1.0;
    repeats = 1;
  }
  std::vector<Content> contents = {
      {"cheap", "/loop", "cheap test content (moving ball, x264 ultrafast, ~0.1 Mbit/s)",
       parse_counts(cheap_counts)},
      {"camera", "/cam", "camera-like 640x360 (bars and a band of noise, x264 veryfast 1.5 Mbit/s)",
       parse_counts(camera_counts)},
      {"hd", "/cam1080", "camera-like 1920x1080 (bars and a band of noise, x264 veryfast 4 Mbit/s)",
       parse_counts(hd_counts)}};
  const std::vector<std::string> modes = {"reader-full", "reader-tcp", "opencv", "hand-full",
                                          "reader-kf",   "hand-kf",    "receive"};
  const std::vector<int> budget_ns = parse_counts(budget_counts);

  ServerProcess server(exe_dir() + "/bench_server", {"--camera"});
  const std::string down_url = "rtsp://127.0.0.1:" + std::to_string(unused_port()) + "/cam";
  const std::string silent_url =
      "rtsp://127.0.0.1:" + std::to_string(server.silent_port()) + "/cam";
  const std::string self = exe_dir() + "/bench_streams";
  // Key: content, mode, N.
  std::map<std::tuple<std::string, std::string, int>, Result> results;
  std::map<std::tuple<std::string, std::string, int>, std::string> thread_lines;
  bool failed = false;
  auto wanted = [&](const std::string& mode) {
    return only_modes.empty() || only_modes.find("," + mode + ",") != std::string::npos;
  };
  auto run_once = [&](const std::string& content, const std::string& mode, int n,
                      const std::string& url) {
    if (!wanted(mode)) return;
    int code = 0;
    const std::string out =
        run_capture({self, "--child", mode, std::to_string(n), url, std::to_string(server.pid()),
                     std::to_string(warmup), std::to_string(window)},
                    &code);
    const auto pos = out.find("RESULT ");
    if (code != 0 || pos == std::string::npos) {
      std::fprintf(stderr, "bench_streams: %s %s n=%d failed (exit %d)\n", content.c_str(),
                   mode.c_str(), n, code);
      failed = true;
      return;
    }
    Result r{out.substr(pos, out.find('\n', pos) - pos)};
    const auto tpos = out.find("THREADS ");
    const std::string threads =
        tpos == std::string::npos ? "" : out.substr(tpos, out.find('\n', tpos) - tpos);
    std::printf("%s %s\n%s\n", content.c_str(), r.line.c_str(), threads.c_str());
    std::fflush(stdout);
    // Small N are a few per cent of a core over the window: keep the least disturbed run.
    const auto key = std::make_tuple(content, mode, n);
    auto it = results.find(key);
    if (it == results.end() || r.get("cpu_pct") < it->second.get("cpu_pct")) {
      results[key] = r;
      thread_lines[key] = threads;
    }
  };
  auto run = [&](const std::string& content, const std::string& mode, int n,
                 const std::string& url) {
    for (int i = 0; i < (n <= small_n ? repeats : 1); ++i) run_once(content, mode, n, url);
  };

  // Interleaved: every configuration of one N runs back to back, so a disturbance (another
  // process on the machine) falls on all of them alike.
  std::vector<int> all_ns;
  for (const auto& c : contents) all_ns.insert(all_ns.end(), c.counts.begin(), c.counts.end());
  all_ns.insert(all_ns.end(), budget_ns.begin(), budget_ns.end());
  std::sort(all_ns.begin(), all_ns.end());
  all_ns.erase(std::unique(all_ns.begin(), all_ns.end()), all_ns.end());
  for (int n : all_ns) {
    run("any", "idle", n, server.url("/loop"));
    for (const auto& c : contents) {
      if (std::find(c.counts.begin(), c.counts.end(), n) == c.counts.end()) continue;
      for (const auto& mode : modes) {
        if (mode == "opencv" && !kHaveOpenCV) continue;
        run(c.key, mode, n, server.url(c.path));
      }
    }
    if (std::find(budget_ns.begin(), budget_ns.end(), n) != budget_ns.end()) {
      run("any", "reader-down", n, down_url);
      run("any", "reader-silent", n, silent_url);
    }
  }
  if (kf_capacity > 0) {
    run("idle-cap", "idle", kf_capacity, server.url("/loop"));
    run("camera", "reader-kf", kf_capacity, server.url("/cam"));
    run("camera", "hand-kf", kf_capacity, server.url("/cam"));
  }
  if (full_capacity > 0) run("cheap", "reader-full", full_capacity, server.url("/loop"));

  auto get = [&](const std::string& content, const std::string& mode, int n,
                 const std::string& key) {
    auto it = results.find({content, mode, n});
    return it == results.end() ? std::nan("") : it->second.get(key);
  };
  auto idle_of = [&](int n, const std::string& key) {
    double v = get("any", "idle", n, key);
    if (std::isnan(v)) v = get("idle-cap", "idle", n, key);
    return std::isnan(v) ? 0.0 : v;
  };
  // Net of the harness (GStreamer's idle threads and the 5 ms poller) measured alone at the
  // same N, so that small N are not charged for it.
  auto per_stream = [&](const std::string& content, const std::string& mode, int n) {
    return (get(content, mode, n, "cpu_pct") - idle_of(n, "cpu_pct")) / n;
  };
  auto wakeups = [&](const std::string& content, const std::string& mode, int n) {
    return (get(content, mode, n, "switches_per_s") - idle_of(n, "switches_per_s")) / n;
  };
  auto rate = [&](const std::string& content, const std::string& mode, int n) {
    std::string s = num(get(content, mode, n, "fps_min"), 1) + " / " +
                    num(get(content, mode, n, "fps_mean"), 1);
    const double exact_fps = get(content, mode, n, "exact_fps_mean");
    if (!std::isnan(exact_fps)) s += " (" + num(exact_fps, 1) + ")";
    const double up = get(content, mode, n, "up");
    if (!std::isnan(up) && up < n) s += ", only " + num(up, 0) + " up";
    return s;
  };
  auto cpu_cell = [&](const std::string& content, const std::string& mode, int n) {
    if (mode == "opencv" && !kHaveOpenCV) return std::string("not built");
    std::string s = num(per_stream(content, mode, n), 2);
    // A configuration that cannot keep every stream at the source rate has its CPU capped by
    // the machine, not by its cost: flag it.
    const double fps_min = get(content, mode, n, "fps_min");
    const bool kf = mode.find("kf") != std::string::npos;
    if (!std::isnan(fps_min) && fps_min < (kf ? 0.6 : 0.9 * kSourceFps)) s += " (slow)";
    return s;
  };

  std::ostringstream md;
  md << "## CPU per live stream\n\n"
     << "30 fps H.264 (one keyframe a second, no B-frames) from the bench server's pre-encoded "
        "loops, over RTSP on loopback. Process CPU (getrusage) over a "
     << num(window, 0) << " s window after every stream has delivered and " << num(warmup, 0)
     << " s of warm-up (N = " << small_n << ": the least CPU of " << repeats
     << " runs, whose other figures are kept with it), less the harness alone at the same N "
        "(GStreamer's idle threads and the thread that polls every stream's new-frame event "
        "every 5 ms), divided by N; % of one core. Every configuration runs in a process of "
        "its own, all configurations of one N back to back.\n\n"
     << "- reader UDP: the reader's default options; reader TCP: `proxied` (RTSP over TCP, "
        "OpenCV's default transport).\n"
     << "- OpenCV FFmpeg: `cv::VideoCapture(url, cv::CAP_FFMPEG)` read continuously on a "
        "thread of its own per stream, with OpenCV's defaults (TCP, FFmpeg's automatic decoder "
        "threads), BGR frames like the reader's.\n"
     << "- hand-written: `rtspsrc latency=200 ! rtph264depay ! h264parse ! avdec_h264 ! "
        "videoconvert ! video/x-raw,format=BGR ! appsink max-buffers=1 drop=true sync=false` "
        "pulled by a thread; its keyframe-only variant drops delta units after h264parse with "
        "the same pad probe the reader uses.\n"
     << "- floor: `rtspsrc latency=200 ! rtph264depay ! fakesink`, which neither parses nor "
        "decodes.\n"
     << "- (slow): some stream fell below the source rate, so the figure is bounded by the "
        "machine's two cores (shared with the server), not by the configuration's cost.\n";
  if (!kHaveOpenCV) {
    md << "\nOpenCV was not found at build time (install libopencv-dev, or run scripts/bench.sh, "
          "which does): the OpenCV column is left out.\n";
  }
  for (const auto& c : contents) {
    if (c.counts.empty()) continue;
    md << "\n### " << c.title << "\n\n"
       << "| N | reader UDP | reader TCP | OpenCV FFmpeg | hand-written | reader UDP / OpenCV | "
          "reader TCP / OpenCV | reader / hand | reader keyframe-only | hand-written "
          "keyframe-only | floor | reader kf / hand kf | reader kf / floor |\n"
       << "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    for (int n : c.counts) {
      const std::string& k = c.key;
      md << "| " << n << " | " << cpu_cell(k, "reader-full", n) << " | "
         << cpu_cell(k, "reader-tcp", n) << " | " << cpu_cell(k, "opencv", n) << " | "
         << cpu_cell(k, "hand-full", n) << " | "
         << ratio(per_stream(k, "reader-full", n), per_stream(k, "opencv", n)) << " | "
         << ratio(per_stream(k, "reader-tcp", n), per_stream(k, "opencv", n)) << " | "
         << ratio(per_stream(k, "reader-full", n), per_stream(k, "hand-full", n)) << " | "
         << cpu_cell(k, "reader-kf", n) << " | " << cpu_cell(k, "hand-kf", n) << " | "
         << cpu_cell(k, "receive", n) << " | "
         << ratio(per_stream(k, "reader-kf", n), per_stream(k, "hand-kf", n)) << " | "
         << ratio(per_stream(k, "reader-kf", n), per_stream(k, "receive", n)) << " |\n";
    }
  }
  md << "\n### Frame rate reached (frames per second per stream: slowest stream / mean)\n\n"
     << "Source rate: " << num(kSourceFps, 0) << " fps; keyframe-only delivers the "
     << num(kKeyframeFps, 0)
     << " keyframe a second. For the hand-written pipelines and OpenCV the reading thread's "
        "exact count (mean) follows in brackets.\n\n"
     << "| content | N | reader UDP | reader TCP | OpenCV FFmpeg | hand-written | reader "
        "keyframe-only | hand-written keyframe-only | floor (buffers) |\n"
     << "|---|---:|---:|---:|---:|---:|---:|---:|---:|\n";
  for (const auto& c : contents) {
    for (int n : c.counts) {
      md << "| " << c.key << " | " << n;
      for (const auto& mode : modes) md << " | " << rate(c.key, mode, n);
      md << " |\n";
    }
  }
  md << "\n### Wake-ups: voluntary context switches per second per stream\n\n"
     << "Every voluntary context switch is a thread going to sleep and being woken again. "
        "Counted for the whole process with getrusage (the sum of voluntary_ctxt_switches over "
        "/proc/self/task/*/status, plus the threads that ended in the window), net of the "
        "harness, divided by N.\n\n"
     << "| content | N | reader UDP | reader TCP | OpenCV FFmpeg | hand-written | reader "
        "keyframe-only | hand-written keyframe-only | floor | reader UDP / OpenCV | reader kf / "
        "hand kf |\n|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
  for (const auto& c : contents) {
    for (int n : c.counts) {
      md << "| " << c.key << " | " << n;
      for (const auto& mode : modes) md << " | " << num(wakeups(c.key, mode, n), 0);
      md << " | " << ratio(wakeups(c.key, "reader-full", n), wakeups(c.key, "opencv", n)) << " | "
         << ratio(wakeups(c.key, "reader-kf", n), wakeups(c.key, "hand-kf", n)) << " |\n";
    }
  }
  if (kf_capacity > 0) {
    md << "\n### Keyframe-only capacity (camera-like 640x360)\n\n"
       << "| N | reader CPU per stream % | hand-written CPU per stream % | reader / hand | "
          "process CPU % of 2 cores | slowest / mean fps | server CPU % |\n"
       << "|---:|---:|---:|---:|---:|---:|---:|\n"
       << "| " << kf_capacity << " | " << num(per_stream("camera", "reader-kf", kf_capacity), 2)
       << " | " << num(per_stream("camera", "hand-kf", kf_capacity), 2) << " | "
       << ratio(per_stream("camera", "reader-kf", kf_capacity),
                per_stream("camera", "hand-kf", kf_capacity))
       << " | " << num(get("camera", "reader-kf", kf_capacity, "cpu_pct") / 2.0, 1) << " | "
       << rate("camera", "reader-kf", kf_capacity) << " | "
       << num(get("camera", "reader-kf", kf_capacity, "server_pct"), 1) << " |\n";
  }
  if (full_capacity > 0) {
    md << "\n### Full-decode capacity (cheap content)\n\n"
       << "| N | reader CPU % of 2 cores | slowest / mean fps | server CPU % |\n"
       << "|---:|---:|---:|---:|\n| " << full_capacity << " | "
       << num(get("cheap", "reader-full", full_capacity, "cpu_pct") / 2.0, 1) << " | "
       << rate("cheap", "reader-full", full_capacity) << " | "
       << num(get("cheap", "reader-full", full_capacity, "server_pct"), 1) << " |\n";
  }
  md << "\n### Server CPU during each run (% of one core, whole server process)\n\n"
     << "| content | N | reader UDP | reader TCP | OpenCV FFmpeg | hand-written | reader "
        "keyframe-only | hand-written keyframe-only | floor |\n"
     << "|---|---:|---:|---:|---:|---:|---:|---:|---:|\n";
  for (const auto& c : contents) {
    for (int n : c.counts) {
      md << "| " << c.key << " | " << n;
      for (const auto& mode : modes) md << " | " << num(get(c.key, mode, n, "server_pct"), 1);
      md << " |\n";
    }
  }

  // The budget: what one stream costs a host, by what the camera does.
  md << "\n## Budget per stream\n\n"
     << "What one reader costs its host, by what its camera does, for sizing shards: the "
        "camera-like 640x360 stream for full decode and keyframe-only; a camera that is down "
        "(its port refuses connections, so the reader backs off between attempts); a camera "
        "that streams nothing (it accepts the connection and never answers, so the reader "
        "waits for its RTSP time-out, then backs off). CPU and wake-ups net of the harness; "
        "resident memory, threads and file descriptors are the process's growth from before "
        "the first stream to the end of the window; all divided by N.\n\n"
     << "| camera | N | CPU % of one core | RSS KiB | threads | file descriptors | wake-ups "
        "per s | CPU / OpenCV FFmpeg | wake-ups / OpenCV FFmpeg |\n"
     << "|---|---:|---:|---:|---:|---:|---:|---:|---:|\n";
  auto budget_row = [&](const std::string& label, const std::string& content,
                        const std::string& mode, int n) {
    if (std::isnan(get(content, mode, n, "cpu_pct"))) return;
    const bool streams = content == "camera";
    md << "| " << label << " | " << n << " | " << num(per_stream(content, mode, n), 2) << " | "
       << num(get(content, mode, n, "rss_kib") / n, 0) << " | "
       << num(get(content, mode, n, "threads") / n, 1) << " | "
       << num(get(content, mode, n, "fds") / n, 1) << " | " << num(wakeups(content, mode, n), 0)
       << " | "
       << (streams ? ratio(per_stream(content, mode, n), per_stream(content, "opencv", n))
                   : std::string("-"))
       << " | "
       << (streams ? ratio(wakeups(content, mode, n), wakeups(content, "opencv", n))
                   : std::string("-"))
       << " |\n";
  };
  for (int n : budget_ns) budget_row("streaming, full decode", "camera", "reader-full", n);
  for (int n : budget_ns) budget_row("streaming, keyframe-only", "camera", "reader-kf", n);
  for (int n : budget_ns) budget_row("down (backing off)", "any", "reader-down", n);
  for (int n : budget_ns) budget_row("streams nothing", "any", "reader-silent", n);
  if (kHaveOpenCV) {
    for (int n : budget_ns) budget_row("OpenCV FFmpeg, for comparison", "camera", "opencv", n);
  }

  md << "\n### Where the CPU goes (camera-like 640x360, per stream)\n\n"
     << "CPU % of one core and wake-ups per second of each kind of thread, per stream, from "
        "/proc/self/task/*/stat and status (live threads only).\n\n";
  for (const auto& mode : {"reader-full", "reader-tcp", "hand-full", "reader-kf", "opencv"}) {
    for (int n : {16}) {
      auto it = thread_lines.find({"camera", mode, n});
      if (it != thread_lines.end()) md << "- `" << it->second << "`\n";
    }
  }
  md << "\n## Resident memory per stream\n\n"
     << "RSS of the configuration's process at the end of its window, minus its RSS before "
        "the first stream (after GStreamer start-up and after the plugins were loaded once), "
        "divided by N; KiB. Threads per stream likewise.\n\n"
     << "| content | N | reader UDP | OpenCV FFmpeg | hand-written | reader / hand | reader "
        "keyframe-only | hand-written keyframe-only | threads per stream: reader / OpenCV / "
        "hand-written |\n|---|---:|---:|---:|---:|---:|---:|---:|---:|\n";
  for (const auto& c : contents) {
    for (int n : c.counts) {
      auto mem = [&](const std::string& mode) { return get(c.key, mode, n, "rss_kib") / n; };
      md << "| " << c.key << " | " << n << " | " << num(mem("reader-full"), 0) << " | "
         << num(mem("opencv"), 0) << " | " << num(mem("hand-full"), 0) << " | "
         << ratio(mem("reader-full"), mem("hand-full")) << " | " << num(mem("reader-kf"), 0)
         << " | " << num(mem("hand-kf"), 0) << " | "
         << num(get(c.key, "reader-full", n, "threads") / n, 1) << " / "
         << num(get(c.key, "opencv", n, "threads") / n, 1) << " / "
         << num(get(c.key, "hand-full", n, "threads") / n, 1) << " |\n";
    }
  }
  md << "\n";
  std::printf("\n%s", md.str().c_str());
  if (!md_path.empty()) std::ofstream(md_path) << md.str();

  // Target rows: | target | measured | met |
  std::ostringstream targets;
  auto row = [&](const std::string& target, const std::string& measured, bool met) {
    targets << "| " << target << " | " << measured << " | " << (met ? "met" : "**missed**")
            << " |\n";
  };
  // A ratio target over a list of N: "N=1: 0.93x, ..." and whether every one holds.
  auto ratio_row = [&](const std::string& target, const std::string& content,
                       const std::string& mode, const std::string& base, const std::vector<int>& ns,
                       double limit) {
    std::string measured;
    bool met = !ns.empty();
    for (int n : ns) {
      const double r = per_stream(content, mode, n) / per_stream(content, base, n);
      measured += (measured.empty() ? "" : ", ") + std::string("N=") + std::to_string(n) + ": " +
                  ratio(per_stream(content, mode, n), per_stream(content, base, n));
      met = met && r <= limit;
    }
    row(target, measured, met);
  };
  const auto& camera_ns = contents[1].counts;
  if (kHaveOpenCV) {
    ratio_row(
        "camera-like content: full decode CPU per stream <= 1.0 x OpenCV FFmpeg (UDP, "
        "default)",
        "camera", "reader-full", "opencv", camera_ns, 1.0);
    ratio_row(
        "camera-like content: full decode CPU per stream <= 1.0 x OpenCV FFmpeg (TCP, "
        "proxied)",
        "camera", "reader-tcp", "opencv", camera_ns, 1.0);
  } else {
    row("camera-like content: full decode CPU per stream <= 1.0 x OpenCV FFmpeg",
        "OpenCV not built in", false);
  }
  {
    std::vector<int> ns = camera_ns;
    if (kf_capacity > 0) ns.push_back(kf_capacity);
    ratio_row(
        "camera-like content: keyframe-only CPU per stream <= 1.1 x hand-written "
        "keyframe-only",
        "camera", "reader-kf", "hand-kf", ns, 1.1);
  }
  {
    // Every stream at the source rate wherever the hand-written pipeline keeps it.
    std::string measured;
    bool met = true;
    for (const auto& c : contents) {
      for (int n : c.counts) {
        const bool hand_ok = get(c.key, "hand-full", n, "fps_min") >= 0.97 * kSourceFps;
        const double fps = get(c.key, "reader-full", n, "fps_min");
        if (!hand_ok) continue;
        measured +=
            (measured.empty() ? "" : ", ") + c.key + " N=" + std::to_string(n) + ": " + num(fps, 1);
        met = met && fps >= 0.97 * kSourceFps && get(c.key, "reader-full", n, "up") == n;
      }
    }
    row("every reader stream at the source rate where the hand-written pipeline keeps it "
        "(slowest stream >= 29.1 fps)",
        measured.empty() ? "none measured" : measured, met && !measured.empty());
  }
  ratio_row("cheap content: CPU per stream at full decode <= 0.7 x hand-written", "cheap",
            "reader-full", "hand-full", contents[0].counts, 0.7);
  ratio_row("cheap content: keyframe-only CPU per stream <= 1.1 x receive-only floor", "cheap",
            "reader-kf", "receive", contents[0].counts, 1.1);
  if (full_capacity > 0) {
    const double slowest = get("cheap", "reader-full", full_capacity, "fps_min");
    row(">= 50 full-decode streams at the source rate (cheap content, server on the same 2 "
        "cores)",
        "N=" + std::to_string(full_capacity) + ": slowest " + num(slowest, 1) + " fps",
        full_capacity >= 50 && slowest >= 0.97 * kSourceFps &&
            get("cheap", "reader-full", full_capacity, "up") == full_capacity);
  }
  if (kf_capacity > 0) {
    // A window of a few seconds holds one keyframe more or less of a 1 fps stream, whatever
    // its phase.
    const double slowest = get("camera", "reader-kf", kf_capacity, "fps_min");
    const double mean = get("camera", "reader-kf", kf_capacity, "fps_mean");
    row(">= 150 keyframe-only streams at the source rate (camera-like content, server on the "
        "same 2 cores)",
        "N=" + std::to_string(kf_capacity) + ": slowest " + num(slowest, 2) + " fps, mean " +
            num(mean, 2) + " fps",
        kf_capacity >= 150 && slowest >= 1.0 - 1.0 / window - 0.01 && mean >= 0.95 &&
            get("camera", "reader-kf", kf_capacity, "up") == kf_capacity);
  }
  for (int n : {1, 16}) {
    const double r =
        get("camera", "reader-full", n, "rss_kib") / get("camera", "hand-full", n, "rss_kib");
    if (std::isnan(r)) continue;
    row("resident memory per stream <= 1.2 x hand-written, camera-like, N=" + std::to_string(n),
        ratio(get("camera", "reader-full", n, "rss_kib"), get("camera", "hand-full", n, "rss_kib")),
        r <= 1.2);
  }
  std::printf("%s", targets.str().c_str());
  if (!targets_path.empty()) std::ofstream(targets_path, std::ios::app) << targets.str();
  return failed ? 1 : 0;
}
