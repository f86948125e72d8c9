// Wake-ups of N readers in one process: voluntary context switches per second, for the
// whole process and per thread name, with nothing else running in it (no poller).
//
//   bench_wakeups streaming N [warmup_s window_s]   N readers of the bench server's loop
//   bench_wakeups down N [warmup_s window_s]        N readers of a refused loopback port
//
// A "down" stream fails at once and spends its life backing off between restarts.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench_common.hpp"
#include "strovix/gobject_init.hpp"
#include "strovix/logger.hpp"
#include "strovix/stream_reader/gst.hpp"

using namespace strovix;
using namespace strovix::bench;

namespace {

struct ThreadSample {
  std::string name;
  long voluntary = 0;
};

// Every thread of this process now: tid -> (name, voluntary switches).
std::map<long, ThreadSample> sample_threads() {
  std::map<long, ThreadSample> out;
  DIR* dir = opendir("/proc/self/task");
  if (!dir) return out;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const std::string base = std::string("/proc/self/task/") + entry->d_name;
    ThreadSample s;
    std::ifstream comm(base + "/comm");
    std::getline(comm, s.name);
    std::ifstream status(base + "/status");
    std::string line;
    bool found = false;
    while (std::getline(status, line)) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
        s.voluntary = std::stol(line.substr(line.find(':') + 1));
        found = true;
        break;
      }
    }
    if (found) out[std::stol(entry->d_name)] = s;
  }
  closedir(dir);
  return out;
}

// A loopback port that nobody listens on: bound, then released.
int refused_port() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    if (fd >= 0) close(fd);
    return 9;  // discard: normally closed
  }
  const int port = ntohs(addr.sin_port);
  close(fd);
  return port;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_wakeups streaming|down N [warmup_s window_s]\n");
    return 2;
  }
  const std::string mode = argv[1];
  const int n = std::stoi(argv[2]);
  const double warmup = argc > 3 ? std::stod(argv[3]) : 3.0;
  const double window = argc > 4 ? std::stod(argv[4]) : 10.0;
  if ((mode != "streaming" && mode != "down") || n < 1) {
    std::fprintf(stderr, "bench_wakeups: bad arguments\n");
    return 2;
  }
  stream_log_sink()->set_level(spdlog::level::critical);
  gobject_init::start();
  preload_plugins();

  std::unique_ptr<ServerProcess> server;
  std::string url;
  if (mode == "streaming") {
    server = std::make_unique<ServerProcess>(exe_dir() + "/bench_server");
    url = server->url("/loop");
  } else {
    url = "rtsp://127.0.0.1:" + std::to_string(refused_port()) + "/down";
  }
  std::vector<std::unique_ptr<GstStreamReader>> readers;
  for (int i = 0; i < n; ++i)
    readers.push_back(std::make_unique<GstStreamReader>(i, url, RuntimeOptions{}));
  int up = 0;
  if (mode == "streaming") {
    for (auto& r : readers) up += r->new_frame_event()->wait(30.0) ? 1 : 0;
  }
  sleep_s(warmup);

  const auto before = sample_threads();
  const long process0 = self_voluntary_switches();
  const double cpu0 = self_cpu_s();
  const double t0 = mono_s();
  sleep_s(window);
  const double span = mono_s() - t0;
  const long process1 = self_voluntary_switches();
  const double cpu1 = self_cpu_s();
  const auto after = sample_threads();

  // Per thread name, without the digits of GStreamer's numbered element names (udpsrc12:src).
  std::map<std::string, std::pair<int, long>> by_name;  // name -> (threads, switches)
  for (const auto& [tid, s] : after) {
    auto it = before.find(tid);
    if (it == before.end()) continue;
    std::string name;
    for (char c : s.name) {
      if (c < '0' || c > '9') name += c;
    }
    auto& slot = by_name[name];
    slot.first += 1;
    slot.second += s.voluntary - it->second.voluntary;
  }
  const double total = static_cast<double>(process1 - process0) / span;
  std::printf(
      "RESULT mode=%s n=%d up=%d switches_per_s=%.1f per_stream=%.2f cpu_pct=%.2f "
      "window_s=%.2f\n",
      mode.c_str(), n, up, total, total / n, 100.0 * (cpu1 - cpu0) / span, span);
  std::printf("%-18s %8s %14s %12s\n", "thread name", "threads", "switches/s", "per thread");
  for (const auto& [name, slot] : by_name) {
    const double rate = static_cast<double>(slot.second) / span;
    if (rate < 0.05) continue;
    std::printf("%-18s %8d %14.1f %12.2f\n", name.c_str(), slot.first, rate, rate / slot.first);
  }
  std::fflush(stdout);
  for (auto& r : readers) r->close();
  readers.clear();
  return 0;
}
