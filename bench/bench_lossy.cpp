// Lossy and cut UDP paths: the reader (its defaults, with the move to TCP off, with
// damage-aware delivery off too, over TCP) and OpenCV's FFmpeg back-end (UDP, TCP) read the
// same scrolling picture, one after another, in a private network namespace of this program's
// own where nftables drops a random share of the UDP datagrams, or all of them for a while.
// Every picture a consumer gets is scored against the clean one, and its age read from the
// frame number the server paints into it.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_common.hpp"
#include "strovix/gobject_init.hpp"
#include "strovix/logger.hpp"
#include "strovix/stream_reader/gst.hpp"
#include "support/rtsp_server.hpp"

#ifdef STROVIX_BENCH_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>
#endif

using namespace strovix;
using namespace strovix::bench;

namespace {

constexpr const char* kInNetns = "STROVIX_BENCH_IN_NETNS";
constexpr const char* kPath = "/scroll";
constexpr const char* kPattern = "pinwheel";
constexpr int kWidth = 640, kHeight = 360, kScroll = 4;
// Rows 0-15 carry the painted frame number, not the pattern.
constexpr int kCounterRows = 16;
// Below this a picture shows the damage plainly; intact ones score well above it.
constexpr double kDamagedBelow = 30.0;

bool sh(const std::string& command) { return std::system(command.c_str()) == 0; }

// The namespace's one nftables chain: what it drops of the UDP datagrams.
bool udp_drop(int per_mille) {
  if (!sh("nft flush chain inet strovix_bench input")) return false;
  if (per_mille <= 0) return true;
  if (per_mille >= 1000) return sh("nft add rule inet strovix_bench input meta l4proto udp drop");
  return sh("nft add rule inet strovix_bench input meta l4proto udp numgen random mod 1000 '<' " +
            std::to_string(per_mille) + " drop");
}

struct Picture {
  std::vector<std::uint8_t> luma;
  double at = 0;  // wall-clock seconds when the consumer got it
};

class Consumer {
 public:
  virtual ~Consumer() = default;
  // The next picture newer than the last one returned, waiting at most `timeout` seconds.
  virtual bool next(double timeout, Picture* out) = 0;
  // Pictures the consumer has got so far (including those the bench skipped).
  virtual std::uint64_t frames() = 0;
  virtual std::string transport() { return ""; }
};

class ReaderConsumer : public Consumer {
 public:
  ReaderConsumer(const std::string& url, const GstStreamReader::Options& options)
      : reader_(1, url, {}, options) {}
  ~ReaderConsumer() override { reader_.wait_until_closed(); }
  bool next(double timeout, Picture* out) override {
    if (!reader_.new_frame_event()->wait(timeout)) return false;
    reader_.new_frame_event()->clear();
    const Frame f = reader_.latest_frame();
    if (!f.image || f.sequence == last_ || f.image->width != kWidth) return false;
    last_ = f.sequence;
    out->at = wall_ms() / 1000.0;
    out->luma.resize(static_cast<std::size_t>(kWidth) * kHeight);
    for (int y = 0; y < kHeight; ++y) {
      std::copy_n(f.image->row(y), kWidth, out->luma.data() + static_cast<std::size_t>(y) * kWidth);
    }
    return true;
  }
  std::uint64_t frames() override { return reader_.stats().frames_delivered; }
  std::string transport() override { return reader_.stats().transport; }

 private:
  GstStreamReader reader_;
  std::uint64_t last_ = 0;
};

#ifdef STROVIX_BENCH_OPENCV
// cv::VideoCapture read on a thread of its own, as a host would, opened again when a read
// fails; the luma of each picture computed from its BGR.
class OpenCvConsumer : public Consumer {
 public:
  OpenCvConsumer(const std::string& url, bool tcp) : url_(url) {
    // Without options OpenCV asks FFmpeg for TCP.
    if (tcp) {
      unsetenv("OPENCV_FFMPEG_CAPTURE_OPTIONS");
    } else {
      setenv("OPENCV_FFMPEG_CAPTURE_OPTIONS", "rtsp_transport;udp", 1);
    }
    thread_ = std::thread([this] { loop(); });
  }
  ~OpenCvConsumer() override {
    stop_ = true;
    thread_.join();
  }
  bool next(double timeout, Picture* out) override {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::duration<double>(timeout),
                           [&] { return count_ != returned_; })) {
      return false;
    }
    returned_ = count_;
    *out = latest_;
    return true;
  }
  std::uint64_t frames() override {
    std::lock_guard lock(mutex_);
    return count_;
  }

 private:
  void loop() {
    cv::Mat bgr;
    for (int opens = 0; !stop_ && opens < 100; ++opens) {
      cv::VideoCapture capture(url_, cv::CAP_FFMPEG);
      while (!stop_ && capture.isOpened() && capture.read(bgr)) {
        if (bgr.cols != kWidth || bgr.rows != kHeight || bgr.type() != CV_8UC3) continue;
        Picture p;
        p.at = wall_ms() / 1000.0;
        p.luma.resize(static_cast<std::size_t>(kWidth) * kHeight);
        for (int y = 0; y < kHeight; ++y) {
          const std::uint8_t* row = bgr.ptr<std::uint8_t>(y);
          for (int x = 0; x < kWidth; ++x) {
            const std::uint8_t* px = row + 3 * x;
            p.luma[static_cast<std::size_t>(y) * kWidth + x] = static_cast<std::uint8_t>(
                std::lround(0.114 * px[0] + 0.587 * px[1] + 0.299 * px[2]));
          }
        }
        std::lock_guard lock(mutex_);
        latest_ = std::move(p);
        ++count_;
        changed_.notify_all();
      }
    }
  }
  const std::string url_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  Picture latest_;
  std::uint64_t count_ = 0, returned_ = 0;
  std::thread thread_;
};
#endif

// PSNR of the luma below the counter rows against the reference at the best scroll offset.
double score(const std::vector<std::uint8_t>& luma, const std::vector<std::uint8_t>& ref) {
  int best_offset = 0;
  long long best_sad = -1;
  for (int offset = 0; offset < kWidth; offset += kScroll) {
    long long sad = 0;
    for (int r = 0; r < 8; ++r) {
      const std::size_t y =
          static_cast<std::size_t>(kCounterRows + (kHeight - kCounterRows) * (2 * r + 1) / 16);
      for (int x = 0; x < kWidth; x += 2) {
        sad += std::abs(luma[y * kWidth + x] - ref[y * kWidth + (x + offset) % kWidth]);
      }
    }
    if (best_sad < 0 || sad < best_sad) best_sad = sad, best_offset = offset;
  }
  double sum = 0;
  for (std::size_t y = kCounterRows; y < static_cast<std::size_t>(kHeight); ++y) {
    for (int x = 0; x < kWidth; ++x) {
      const int d = luma[y * kWidth + x] - ref[y * kWidth + (x + best_offset) % kWidth];
      sum += d * d;
    }
  }
  const double mse = sum / (static_cast<double>(kWidth) * (kHeight - kCounterRows));
  return mse <= 0 ? 99.0 : std::min(99.0, 10.0 * std::log10(255.0 * 255.0 / mse));
}

// When the server painted this picture (wall-clock seconds), or a negative value when its
// frame number does not read back as one painted in the last 30 s.
double painted_at(const strovix::testing::RtspTestServer& server, const Picture& p) {
  int number = 0;
  const std::uint8_t* row = p.luma.data() + static_cast<std::size_t>(kCounterRows / 2) * kWidth;
  for (int bit = 0; bit < strovix::testing::kCounterBits; ++bit) {
    if (row[bit * 16 + 8] > 128) number |= 1 << bit;
  }
  const double painted = server.painted_at(kPath, number);
  return painted > 0 && p.at - painted >= 0 && p.at - painted < 30 ? painted : -1.0;
}

struct Client {
  std::string name;
  std::function<std::unique_ptr<Consumer>(const std::string& url)> make;
};

struct LossRow {
  std::size_t scored = 0;
  double damaged_pct = NAN, worst_1 = NAN, fps = 0, age_median = NAN, age_p95 = NAN;
  std::string transport;
};

// Reads for `seconds` from one second after the first picture (at most 10 s after the start).
LossRow measure_loss(Consumer& c, const strovix::testing::RtspTestServer& server,
                     const std::vector<std::uint8_t>& ref, double seconds) {
  const double start = mono_s();
  double window_start = start + 10;
  bool started = false;
  std::uint64_t frames_at_start = 0;
  std::vector<double> scores, ages;
  Picture p;
  while (mono_s() < window_start + seconds) {
    const bool got = c.next(0.1, &p);
    if (got && window_start > mono_s() + 1) window_start = mono_s() + 1;
    if (!started && mono_s() >= window_start) {
      started = true;
      frames_at_start = c.frames();
    }
    if (!got || !started) continue;
    scores.push_back(score(p.luma, ref));
    // A damaged picture's frame number does not read back reliably.
    if (const double painted = painted_at(server, p);
        painted > 0 && scores.back() >= kDamagedBelow) {
      ages.push_back((p.at - painted) * 1000.0);
    }
  }
  LossRow row;
  row.fps = static_cast<double>(c.frames() - frames_at_start) / seconds;
  row.scored = scores.size();
  row.transport = c.transport();
  if (!scores.empty()) {
    const auto damaged =
        std::count_if(scores.begin(), scores.end(), [](double s) { return s < kDamagedBelow; });
    row.damaged_pct = 100.0 * static_cast<double>(damaged) / static_cast<double>(scores.size());
    std::sort(scores.begin(), scores.end());
    row.worst_1 = scores[scores.size() / 100];
  }
  row.age_median = quantile(ages, 0.5);
  row.age_p95 = quantile(ages, 0.95);
  return row;
}

// Seconds from the cut to the first picture painted after it (NaN: none within `bound`).
// `lasting` false restores the path after 8 s.
double measure_cut(Consumer& c, const strovix::testing::RtspTestServer& server, bool lasting,
                   double bound) {
  Picture p;
  const double start = mono_s();
  double first = -1;
  while (mono_s() - start < 20 && (first < 0 || mono_s() - first < 3)) {
    if (c.next(0.1, &p) && first < 0) first = mono_s();
  }
  if (first < 0) return NAN;
  const double cut_at = wall_ms() / 1000.0;
  const double cut_mono = mono_s();
  udp_drop(1000);
  bool restored = false;
  double gap = NAN;
  while (mono_s() - cut_mono < bound) {
    if (!lasting && !restored && mono_s() - cut_mono >= 8) restored = udp_drop(0);
    if (!c.next(0.1, &p)) continue;
    if (const double painted = painted_at(server, p); painted > cut_at) {
      gap = p.at - cut_at;
      break;
    }
  }
  udp_drop(0);
  return gap;
}

std::vector<Client> clients() {
  std::vector<Client> all;
  auto reader = [](std::string name, std::function<void(GstStreamReader::Options&)> set) {
    return Client{std::move(name), [set](const std::string& url) {
                    GstStreamReader::Options o;
                    o.pixel_format = PixelFormat::GRAY8;
                    set(o);
                    return std::unique_ptr<Consumer>(new ReaderConsumer(url, o));
                  }};
  };
  all.push_back(reader("strovix, UDP (defaults)", [](auto&) {}));
  all.push_back(reader("strovix, UDP, no move to TCP", [](auto& o) { o.tcp_fallback = false; }));
  all.push_back(reader("strovix, UDP, damage-aware and move to TCP off", [](auto& o) {
    o.tcp_fallback = false;
    o.deliver_damaged = true;
  }));
  all.push_back(reader("strovix, TCP (`proxied`)", [](auto& o) { o.proxied = true; }));
#ifdef STROVIX_BENCH_OPENCV
  for (bool tcp : {false, true}) {
    all.push_back(Client{tcp ? "OpenCV FFmpeg, TCP (its default)" : "OpenCV FFmpeg, UDP",
                         [tcp](const std::string& url) {
                           return std::unique_ptr<Consumer>(new OpenCvConsumer(url, tcp));
                         }});
  }
#endif
  return all;
}

std::string cell(double v, int decimals, const char* unit) {
  return std::isnan(v) ? "n/a" : num(v, decimals) + unit;
}

int run(double seconds, double cut_bound, const std::string& md_path, const std::string& only) {
  if (!sh("ip link set lo up") || !sh("nft add table inet strovix_bench") ||
      !sh("nft add chain inet strovix_bench input '{ type filter hook input priority 0; }'")) {
    std::fprintf(stderr, "bench_lossy: cannot set up loopback and nftables in the namespace\n");
    return 1;
  }
  stream_log_sink()->set_level(spdlog::level::off);
  gobject_init::start();
  strovix::testing::RtspTestServer server;
  strovix::testing::RtspMountOptions mount;
  mount.width = kWidth;
  mount.height = kHeight;
  mount.pattern = kPattern;
  mount.scroll = kScroll;
  mount.counter = true;
  server.add_mount(kPath, mount);
  server.start();
  const auto ref = strovix::testing::scroll_reference(kPattern, kWidth, kHeight);
  const std::string url = server.url(kPath);

  std::vector<Client> chosen;
  for (Client& c : clients()) {
    if (c.name.find(only) != std::string::npos) chosen.push_back(std::move(c));
  }
  std::ostringstream loss, cuts;
  for (const Client& client : chosen) {
    for (int per_mille : {0, 5, 20, 50}) {
      udp_drop(per_mille);
      LossRow row;
      {
        auto consumer = client.make(url);
        row = measure_loss(*consumer, server, ref, seconds);
        udp_drop(0);  // lets a consumer stuck in a read see its end
      }
      loss << "| " << client.name << " | " << num(per_mille / 10.0, 1) << " % | "
           << cell(row.damaged_pct, 1, " %") << " (" << row.scored << ") | "
           << cell(row.worst_1, 1, " dB") << " | " << num(row.fps, 1) << " | "
           << cell(row.age_median, 0, " ms") << " / " << cell(row.age_p95, 0, " ms") << " | "
           << (row.transport.empty() ? "" : row.transport) << " |\n";
      std::printf("bench_lossy: %s, %.1f %% loss: %zu scored, %s damaged, %.1f fps\n",
                  client.name.c_str(), per_mille / 10.0, row.scored,
                  cell(row.damaged_pct, 1, " %").c_str(), row.fps);
      std::fflush(stdout);
    }
  }
  for (const Client& client : chosen) {
    if (client.name.find("TCP") != std::string::npos &&
        client.name.find("UDP") == std::string::npos) {
      continue;  // a UDP cut does not touch them
    }
    if (client.name.find("damage-aware") != std::string::npos) continue;
    double gaps[2];
    for (int lasting = 0; lasting < 2; ++lasting) {
      auto consumer = client.make(url);
      gaps[lasting] = measure_cut(*consumer, server, lasting == 1, cut_bound);
    }
    auto gap = [&](double g) {
      return std::isnan(g) ? "none within " + num(cut_bound, 0) + " s" : num(g, 1) + " s";
    };
    cuts << "| " << client.name << " | " << gap(gaps[0]) << " | " << gap(gaps[1]) << " |\n";
    std::printf("bench_lossy: %s: gap %s (8 s cut), %s (lasting cut)\n", client.name.c_str(),
                gap(gaps[0]).c_str(), gap(gaps[1]).c_str());
    std::fflush(stdout);
  }

  std::ofstream md(md_path.empty() ? "/dev/stdout" : md_path);
  md << "## Lossy and cut UDP\n\n"
     << "Each consumer alone in a private network namespace (`unshare -n`) where nftables drops a\n"
     << "random share of the UDP datagrams; the in-process RTSP server sends a 640x360 scrolling\n"
     << "pinwheel, x264 ultrafast zero-latency, one keyframe a second, the frame number painted "
        "in\n"
     << "its top rows; " << num(seconds, 0)
     << " s a row, from one second after the first picture.\n"
     << "Every picture the host got is scored (PSNR of its luma below the number against the\n"
     << "clean picture at the best scroll offset; OpenCV's from its BGR); damaged = below 30 dB.\n"
     << "Age: when the host got an intact picture minus when the server painted it (median / 95th\n"
     << "percentile). Transport: the reader's at the end of the row. OpenCV asks FFmpeg for TCP\n"
     << "unless told otherwise (`OPENCV_FFMPEG_CAPTURE_OPTIONS=rtsp_transport;udp` here).\n\n"
     << "| consumer | UDP loss | damaged share (scored) | worst 1 % | fps | age | transport |\n"
     << "|---|---:|---:|---:|---:|---:|---|\n"
     << loss.str() << "\n"
     << "Gap: from the moment every UDP datagram is dropped to the first picture painted after it\n"
     << "(a cut of 8 s, and one that lasts; bounded at " << num(cut_bound, 0) << " s).\n\n"
     << "| consumer | 8 s UDP cut | lasting UDP cut |\n|---|---:|---:|\n"
     << cuts.str();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string md_path, only;
  double seconds = 20, cut_bound = 60;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--md" && i + 1 < args.size()) {
      md_path = args[++i];
    } else if (args[i] == "--seconds" && i + 1 < args.size()) {
      seconds = std::max(1.0, std::stod(args[++i]));
    } else if (args[i] == "--only" && i + 1 < args.size()) {
      only = args[++i];
    } else if (args[i] == "--cut-bound" && i + 1 < args.size()) {
      cut_bound = std::max(10.0, std::stod(args[++i]));
    } else {
      std::fprintf(
          stderr,
          "usage: bench_lossy [--md FILE] [--seconds S] [--cut-bound S] [--only NAME-PART]\n");
      return 2;
    }
  }
  if (const char* inside = std::getenv(kInNetns); inside && std::string(inside) == "1") {
    return run(seconds, cut_bound, md_path, only);
  }
  // Outside: this program again, in a namespace of its own.
  if (!sh("unshare -n nft list ruleset >/dev/null 2>&1")) {
    std::fprintf(stderr,
                 "bench_lossy: no private network namespace with nftables here (needs root and "
                 "nft); not measured\n");
    if (!md_path.empty()) {
      std::ofstream(md_path) << "## Lossy and cut UDP\n\nNot measured: this machine gave no "
                                "private network namespace with nftables.\n";
    }
    return 0;
  }
  setenv(kInNetns, "1", 1);
  std::vector<std::string> argv_strings{"unshare", "-n", "--", exe_dir() + "/bench_lossy"};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> exec_argv;
  for (auto& s : argv_strings) exec_argv.push_back(s.data());
  exec_argv.push_back(nullptr);
  execvp("unshare", exec_argv.data());
  std::perror("bench_lossy: unshare");
  return 1;
}
