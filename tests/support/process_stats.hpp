#pragma once
// Process figures read from /proc, for tests that check nothing is left running or open.
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace strovix::testing {

inline int count_dir_entries(const char* path) {
  DIR* dir = opendir(path);
  if (!dir) return -1;
  int n = 0;
  while (dirent* e = readdir(dir)) n += std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..");
  closedir(dir);
  return n;
}

inline int thread_count() { return count_dir_entries("/proc/self/task"); }
inline int fd_count() { return count_dir_entries("/proc/self/fd") - 1; }  // minus the DIR's own

// Resident set size in KiB.
inline long rss_kib() {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  long kib = -1;
  while (std::fgets(line, sizeof(line), f)) {
    if (std::sscanf(line, "VmRSS: %ld kB", &kib) == 1) break;
  }
  std::fclose(f);
  return kib;
}

// Seconds of CPU this process has used.
inline double cpu_seconds() {
  FILE* f = std::fopen("/proc/self/stat", "r");
  if (!f) return -1;
  char buf[1024];
  const size_t n = std::fread(buf, 1, sizeof(buf) - 1, f);
  std::fclose(f);
  buf[n] = 0;
  const char* p = std::strrchr(buf, ')');
  if (!p) return -1;
  unsigned long utime = 0, stime = 0;
  // Fields after the command: state ppid pgrp session tty tpgid flags minflt cminflt majflt
  // cmajflt utime stime.
  std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime);
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace strovix::testing

namespace strovix::testing {

// Threads of this process whose OS name starts with `prefix`.
inline int threads_named(const std::string& prefix) {
  DIR* dir = opendir("/proc/self/task");
  if (!dir) return -1;
  int n = 0;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    const std::string path = std::string("/proc/self/task/") + e->d_name + "/comm";
    if (FILE* f = std::fopen(path.c_str(), "r")) {
      char name[64] = {0};
      if (std::fgets(name, sizeof(name), f) && std::string(name).rfind(prefix, 0) == 0) ++n;
      std::fclose(f);
    }
  }
  closedir(dir);
  return n;
}

// The reader's own threads (supervision and sample pulling).
inline int reader_threads() {
  return threads_named("PipelineRestart") + threads_named("SamplePullingTh");
}

}  // namespace strovix::testing
