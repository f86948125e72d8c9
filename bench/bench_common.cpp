#include "bench_common.hpp"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "strovix/gst/gstcallbacks.hpp"
#include "support/process_stats.hpp"

namespace strovix::bench {

double wall_ms() { return static_cast<double>(g_get_real_time()) / 1000.0; }

double mono_s() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void sleep_s(double seconds) {
  if (seconds > 0) std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

// ---- painted time stamp -------------------------------------------------------------------

namespace {

constexpr std::uint32_t kMask24 = (1u << kStampBits) - 1;

void fill_block(GstVideoFrame* frame, int bx, int row, bool one) {
  auto* y = static_cast<std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(frame, 0));
  auto* u = static_cast<std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(frame, 1));
  auto* v = static_cast<std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(frame, 2));
  const int ys = GST_VIDEO_FRAME_PLANE_STRIDE(frame, 0);
  const int us = GST_VIDEO_FRAME_PLANE_STRIDE(frame, 1);
  const int vs = GST_VIDEO_FRAME_PLANE_STRIDE(frame, 2);
  const int x0 = bx * kStampBlock;
  const int y0 = row * kStampBlock;
  for (int r = 0; r < kStampBlock; ++r) {
    std::memset(y + static_cast<std::ptrdiff_t>(y0 + r) * ys + x0, one ? 235 : 16, kStampBlock);
  }
  // Neutral chroma, so the block reads the same in every colour matrix.
  for (int r = 0; r < kStampBlock / 2; ++r) {
    std::memset(u + static_cast<std::ptrdiff_t>(y0 / 2 + r) * us + x0 / 2, 128, kStampBlock / 2);
    std::memset(v + static_cast<std::ptrdiff_t>(y0 / 2 + r) * vs + x0 / 2, 128, kStampBlock / 2);
  }
}

bool read_bit(const std::uint8_t* data, std::size_t stride, int bx, int row) {
  // The centre 8x8 of the block: edges may bleed after encoding.
  const int x0 = bx * kStampBlock + kStampBlock / 4;
  const int y0 = row * kStampBlock + kStampBlock / 4;
  unsigned sum = 0;
  for (int r = 0; r < kStampBlock / 2; ++r) {
    const std::uint8_t* p = data + static_cast<std::size_t>(y0 + r) * stride + x0 * 3;
    for (int c = 0; c < kStampBlock / 2 * 3; ++c) sum += p[c];
  }
  return sum > 128u * (kStampBlock / 2) * (kStampBlock / 2) * 3;
}

}  // namespace

void paint_stamp_i420(GstVideoFrame* frame, std::uint64_t value) {
  const auto hi = static_cast<std::uint32_t>(value >> kStampBits) & kMask24;
  const auto lo = static_cast<std::uint32_t>(value) & kMask24;
  const std::uint32_t check = ~(hi ^ lo) & kMask24;
  const std::uint32_t rows[3] = {hi, lo, check};
  for (int row = 0; row < 3; ++row) {
    for (int b = 0; b < kStampBits; ++b) {
      fill_block(frame, b, row, (rows[row] >> (kStampBits - 1 - b)) & 1u);
    }
  }
}

std::optional<std::uint64_t> read_stamp_bgr(const std::uint8_t* data, std::size_t stride, int width,
                                            int height) {
  if (!data || width < kStampWidth || height < kStampHeight) return std::nullopt;
  std::uint32_t rows[3] = {0, 0, 0};
  for (int row = 0; row < 3; ++row) {
    for (int b = 0; b < kStampBits; ++b) {
      rows[row] = (rows[row] << 1) | (read_bit(data, stride, b, row) ? 1u : 0u);
    }
  }
  if ((~(rows[0] ^ rows[1]) & kMask24) != rows[2]) return std::nullopt;
  return (static_cast<std::uint64_t>(rows[0]) << kStampBits) | rows[1];
}

// ---- processes ----------------------------------------------------------------------------

double self_cpu_s() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto sec = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return sec(usage.ru_utime) + sec(usage.ru_stime);
}

long self_voluntary_switches() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_nvcsw;
}

double proc_cpu_s(pid_t pid) { return strovix::testing::cpu_seconds_of(std::to_string(pid)); }

long self_rss_kib() { return strovix::testing::rss_kib(); }

int self_fd_count() { return strovix::testing::fd_count(); }

std::map<std::string, ThreadGroupStats> self_threads_by_name() {
  std::map<std::string, ThreadGroupStats> out;
  DIR* dir = opendir("/proc/self/task");
  if (!dir) return out;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    const std::string base = std::string("/proc/self/task/") + e->d_name;
    const auto stat = strovix::testing::read_proc_stat(base + "/stat");
    if (!stat) continue;  // the thread ended meanwhile
    // Numbered threads of one kind ("multiudpsink12", "avdec_h264-3") count as one kind.
    std::string name = stat->name;
    while (!name.empty() && (std::isdigit(static_cast<unsigned char>(name.back())) ||
                             name.back() == '-' || name.back() == ':')) {
      name.pop_back();
    }
    const long switches =
        strovix::testing::read_status_field(base + "/status", "voluntary_ctxt_switches");
    auto& group = out[name];
    group.cpu_s += stat->cpu_seconds;
    group.voluntary_switches += switches > 0 ? switches : 0;
    ++group.threads;
  }
  closedir(dir);
  return out;
}

int unused_port() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  close(fd);
  return port;
}

std::string exe_dir() {
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return ".";
  std::string path(buf, static_cast<std::size_t>(n));
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

namespace {

pid_t spawn(const std::vector<std::string>& argv, int* stdin_fd, int* stdout_fd) {
  int in[2] = {-1, -1}, out[2] = {-1, -1};
  if ((stdin_fd && pipe2(in, O_CLOEXEC) != 0) || pipe2(out, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    if (stdin_fd) dup2(in[0], 0);
    dup2(out[1], 1);
    execv(args[0], args.data());
    std::fprintf(stderr, "cannot run %s: %s\n", args[0], std::strerror(errno));
    _exit(127);
  }
  if (stdin_fd) {
    close(in[0]);
    *stdin_fd = in[1];
  }
  close(out[1]);
  *stdout_fd = out[0];
  return pid;
}

// Waits for the child at most `timeout_s`, then kills it.
int reap(pid_t pid, double timeout_s) {
  const double deadline = mono_s() + timeout_s;
  int status = 0;
  while (mono_s() < deadline) {
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (r < 0) return -1;
    sleep_s(0.02);
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return 137;
}

}  // namespace

ServerProcess::ServerProcess(const std::string& program, const std::vector<std::string>& args) {
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  pid_ = spawn(argv, &to_child_, &from_child_);
  const std::string line = read_line(args.empty() ? 30.0 : 120.0);
  if (std::sscanf(line.c_str(), "PORT %d %d %d", &port_, &live_port_, &silent_port_) < 2) {
    throw std::runtime_error("bench server did not report its ports (got '" + line + "')");
  }
}

ServerProcess::~ServerProcess() {
  if (to_child_ >= 0) {
    const char quit[] = "quit\n";
    [[maybe_unused]] auto n = write(to_child_, quit, sizeof(quit) - 1);
    close(to_child_);
  }
  if (pid_ > 0) reap(pid_, 10.0);
  if (from_child_ >= 0) close(from_child_);
}

std::string ServerProcess::url(const std::string& path) const {
  return "rtsp://127.0.0.1:" + std::to_string(port_) + path;
}

std::string ServerProcess::live_url() const {
  return "rtsp://127.0.0.1:" + std::to_string(live_port_) + "/live";
}

std::string ServerProcess::read_line(double timeout_s) {
  const double deadline = mono_s() + timeout_s;
  for (;;) {
    const auto nl = buffered_.find('\n');
    if (nl != std::string::npos) {
      std::string line = buffered_.substr(0, nl);
      buffered_.erase(0, nl + 1);
      return line;
    }
    const double left = deadline - mono_s();
    if (left <= 0) return {};
    pollfd p{from_child_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left * 1000) + 1) <= 0) continue;
    char buf[512];
    const ssize_t n = read(from_child_, buf, sizeof(buf));
    if (n <= 0) return {};
    buffered_.append(buf, static_cast<std::size_t>(n));
  }
}

bool ServerProcess::command(const std::string& line, double timeout_s) {
  const std::string text = line + "\n";
  if (write(to_child_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return false;
  return read_line(timeout_s) == "OK " + line;
}

std::string run_capture(const std::vector<std::string>& argv, int* exit_code) {
  int out = -1;
  const pid_t pid = spawn(argv, nullptr, &out);
  std::string text;
  char buf[4096];
  for (;;) {
    const ssize_t n = read(out, buf, sizeof(buf));
    if (n > 0) {
      text.append(buf, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  close(out);
  const int code = reap(pid, 30.0);
  if (exit_code) *exit_code = code;
  return text;
}

// ---- the hand-written pipeline ------------------------------------------------------------

HandPipeline::HandPipeline(const std::string& description, const std::string& keyframe_probe_on) {
  GError* error = nullptr;
  GstElement* element = gst_parse_launch(description.c_str(), &error);
  // A missing element is a "recoverable" error: parsing still returns a pipeline, without it.
  if (!element || error) {
    std::string what = error ? error->message : "unknown error";
    if (error) g_error_free(error);
    if (element) gst_object_unref(gst_object_ref_sink(element));
    throw std::runtime_error("hand-written pipeline does not build: " + what);
  }
  pipeline_ = GST_ELEMENT(gst_object_ref_sink(element));
  GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline_), "sink");
  if (!sink) {
    gst_object_unref(pipeline_);
    throw std::runtime_error("hand-written pipeline has no element named 'sink'");
  }
  if (GST_IS_APP_SINK(sink)) {
    sink_ = GST_APP_SINK(sink);
  } else {
    GstPad* pad = gst_element_get_static_pad(sink, "sink");
    gst_pad_add_probe(
        pad, GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad*, GstPadProbeInfo*, gpointer self) {
          static_cast<HandPipeline*>(self)->count_one();
          return GST_PAD_PROBE_OK;
        },
        this, nullptr);
    gst_object_unref(pad);
    gst_object_unref(sink);
  }
  if (!keyframe_probe_on.empty()) {
    GstElement* parser = gst_bin_get_by_name(GST_BIN(pipeline_), keyframe_probe_on.c_str());
    if (parser) {
      GstPad* pad = gst_element_get_static_pad(parser, "src");
      gstcallbacks::add_keyframes_only_probe(pad);
      gst_object_unref(pad);
      gst_object_unref(parser);
    }
  }
  gst_element_set_state(pipeline_, GST_STATE_PLAYING);
  if (sink_) thread_ = std::thread([this] { pull_loop(); });
}

void HandPipeline::count_one() {
  frames_.fetch_add(1, std::memory_order_relaxed);
  event_->set();
}

HandPipeline::~HandPipeline() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
  gst_element_set_state(pipeline_, GST_STATE_NULL);
  latest_.reset();
  if (sink_) gst_object_unref(sink_);
  gst_object_unref(pipeline_);
}

void HandPipeline::pull_loop() {
  while (!stop_.load()) {
    SamplePtr sample(gst_app_sink_try_pull_sample(sink_, 100 * GST_MSECOND));
    if (!sample) {
      if (gst_app_sink_is_eos(sink_)) {
        eos_.store(true);
        sleep_s(0.01);
      }
      continue;
    }
    const double now = wall_ms();
    {
      std::lock_guard lock(mutex_);
      latest_ = std::move(sample);
      latest_ms_ = now;
    }
    count_one();
  }
}

SamplePtr HandPipeline::latest(double* pulled_ms) {
  std::lock_guard lock(mutex_);
  if (pulled_ms) *pulled_ms = latest_ms_;
  return latest_ ? SamplePtr(gst_sample_ref(latest_.get())) : nullptr;
}

// ---- statistics ---------------------------------------------------------------------------

double quantile(std::vector<double> values, double q) {
  if (values.empty()) return std::nan("");
  std::sort(values.begin(), values.end());
  const double pos = q * static_cast<double>(values.size() - 1);
  const auto lo = static_cast<std::size_t>(std::floor(pos));
  const auto hi = std::min(lo + 1, values.size() - 1);
  return values[lo] + (values[hi] - values[lo]) * (pos - static_cast<double>(lo));
}

double max_of(const std::vector<double>& values) {
  if (values.empty()) return std::nan("");
  return *std::max_element(values.begin(), values.end());
}

std::string num(double value, int decimals) {
  if (std::isnan(value)) return "n/a";
  char buf[64];
  std::snprintf(buf, sizeof(buf), "%.*f", decimals, value);
  return buf;
}

std::string ratio(double numerator, double denominator) {
  if (std::isnan(numerator) || std::isnan(denominator) || denominator == 0) return "n/a";
  char buf[64];
  std::snprintf(buf, sizeof(buf), "%.2fx", numerator / denominator);
  return buf;
}

std::optional<double> field(const std::string& line, const std::string& key) {
  const std::string needle = key + "=";
  std::size_t pos = 0;
  while ((pos = line.find(needle, pos)) != std::string::npos) {
    if (pos == 0 || line[pos - 1] == ' ') {
      return std::strtod(line.c_str() + pos + needle.size(), nullptr);
    }
    pos += needle.size();
  }
  return std::nullopt;
}

void preload_plugins() {
  for (const char* name : {"rtspsrc", "rtph264depay", "h264parse", "avdec_h264", "videoconvert",
                           "capsfilter", "appsink", "fakesink", "queue"}) {
    if (GstElement* e = gst_element_factory_make(name, nullptr)) {
      gst_object_unref(gst_object_ref_sink(e));
    }
  }
}

}  // namespace strovix::bench
