#pragma once
// Process figures read from /proc, for tests that check nothing is left running or open and
// for the benchmarks: the one parser of /proc in the project.
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

namespace strovix::testing {

// What the figures use of a /proc/<pid>/stat or /proc/<pid>/task/<tid>/stat file.
struct ProcStat {
  std::string name;        // the command, as the kernel shortened it
  double cpu_seconds = 0;  // user + system, clock-tick resolution
};

// nullopt when the file is gone (the process or thread ended) or does not parse.
inline std::optional<ProcStat> read_proc_stat(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "r");
  if (!f) return std::nullopt;
  char buf[2048];
  const size_t n = std::fread(buf, 1, sizeof(buf) - 1, f);
  std::fclose(f);
  buf[n] = 0;
  // The command may hold spaces and parentheses: it ends at the last ')'.
  const char* open = std::strchr(buf, '(');
  const char* close = std::strrchr(buf, ')');
  if (!open || !close || close < open) return std::nullopt;
  unsigned long utime = 0, stime = 0;
  // Fields after the command: state ppid pgrp session tty tpgid flags minflt cminflt majflt
  // cmajflt utime stime.
  std::sscanf(close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime);
  return ProcStat{std::string(open + 1, close),
                  static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK))};
}

// A numeric field of a /proc/.../status file ("VmRSS", "voluntary_ctxt_switches"); -1 when
// the file or the field is missing.
inline long read_status_field(const std::string& path, const char* field) {
  FILE* f = std::fopen(path.c_str(), "r");
  if (!f) return -1;
  const std::string format = std::string(field) + ": %ld";
  char line[256];
  long value = -1;
  while (std::fgets(line, sizeof(line), f)) {
    if (std::sscanf(line, format.c_str(), &value) == 1) break;
  }
  std::fclose(f);
  return value;
}

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
inline long rss_kib() { return read_status_field("/proc/self/status", "VmRSS"); }

// Seconds of CPU a process has used; -1 when it is gone.
inline double cpu_seconds_of(const std::string& pid) {
  const auto stat = read_proc_stat("/proc/" + pid + "/stat");
  return stat ? stat->cpu_seconds : -1;
}

// Seconds of CPU this process has used.
inline double cpu_seconds() { return cpu_seconds_of("self"); }

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
