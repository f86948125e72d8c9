#pragma once
// What the tests of strovix-read --cameras share: output parsing, a temporary folder, a
// plain HTTP GET, and waiting for the child's lines.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "support/child_process.hpp"

namespace strovix::fleet_testing {

using Clock = std::chrono::steady_clock;
using strovix::testing::Child;

inline std::vector<std::string> lines_with(const std::string& text, const std::string& needle) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    auto end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (line.find(needle) != std::string::npos) lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

inline std::optional<double> number_of(const std::string& line, const std::string& key) {
  const auto at = line.find("\"" + key + "\":");
  if (at == std::string::npos) return std::nullopt;
  const char* begin = line.c_str() + at + key.size() + 3;
  char* end = nullptr;
  const double value = std::strtod(begin, &end);
  if (end == begin) return std::nullopt;
  return value;
}

inline std::string text_of(const std::string& line, const std::string& key) {
  const auto at = line.find("\"" + key + "\":\"");
  if (at == std::string::npos) return "";
  const auto begin = at + key.size() + 4;
  return line.substr(begin, line.find('"', begin) - begin);
}

class TempDir {
 public:
  TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "strovix-fleet-XXXXXX").string();
    if (mkdtemp(pattern.data())) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  std::string write(const std::string& name, const std::string& text) const {
    const std::string path = path_ + "/" + name;
    std::ofstream(path) << text;
    return path;
  }
  // Written beside, then renamed over: readers see the old file or the new one, never half.
  std::string replace(const std::string& name, const std::string& text) const {
    const std::string temporary = write("." + name + ".tmp", text);
    const std::string path = path_ + "/" + name;
    std::filesystem::rename(temporary, path);
    return path;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline std::optional<std::string> find_program(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    auto end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    const std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return std::nullopt;
}

// The address the child prints once it serves.
inline std::string served_url(Child& child) {
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  const std::regex serving("serving (https?://[0-9.]+:[0-9]+/)");
  std::smatch match;
  while (Clock::now() < deadline) {
    if (std::regex_search(child.err, match, serving)) return match[1];
    child.wait_for_stdout("\n\n\n\n\n\n\n\n\n\n", 0.1);  // pumps the pipes meanwhile
  }
  return "";
}

// Pumps the child's pipes until `done()` holds; false when it does not within the time.
template <typename Done>
bool wait_until(Child& child, double timeout, Done done) {
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(timeout));
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    child.wait_for_stdout("\n\n\n\n\n\n\n\n\n\n", 0.05);
  }
  return true;
}

inline std::size_t count_of(const std::string& text, const std::string& needle) {
  std::size_t n = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

struct HttpReply {
  int status = 0;
  std::string body;
};

// GET of "http://127.0.0.1:PORT/path" over loopback, HTTP/1.0 so that the server closes.
inline HttpReply http_get(const std::string& url) {
  HttpReply reply;
  std::smatch m;
  const std::regex parts("http://([0-9.]+):([0-9]+)(/.*)?");
  if (!std::regex_match(url, m, parts)) return reply;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(std::stoi(m[2])));
  inet_pton(AF_INET, std::string(m[1]).c_str(), &address.sin_addr);
  timeval timeout{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    ::close(fd);
    return reply;
  }
  const std::string request =
      "GET " + (m[3].matched ? std::string(m[3]) : "/") + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  if (::write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
    ::close(fd);
    return reply;
  }
  std::string raw;
  char buf[16384];
  for (ssize_t n; (n = ::read(fd, buf, sizeof(buf))) > 0;)
    raw.append(buf, static_cast<std::size_t>(n));
  ::close(fd);
  const auto head_end = raw.find("\r\n\r\n");
  if (raw.rfind("HTTP/1.", 0) != 0 || head_end == std::string::npos) return reply;
  reply.status = std::atoi(raw.c_str() + 9);
  reply.body = raw.substr(head_end + 4);
  return reply;
}

// One --json status line of a camera.
struct StatusLine {
  double t = 0;
  int stream_id = 0;
  double frames = 0;
  double restarts = 0;
  std::string status;
};

inline std::map<std::string, std::vector<StatusLine>> status_lines(const std::string& out) {
  std::map<std::string, std::vector<StatusLine>> by_camera;
  for (const auto& line : lines_with(out, "\"type\":\"status\"")) {
    StatusLine s;
    s.t = number_of(line, "t").value_or(0);
    s.stream_id = static_cast<int>(number_of(line, "stream_id").value_or(0));
    s.frames = number_of(line, "frames").value_or(0);
    s.restarts = number_of(line, "restarts").value_or(0);
    s.status = text_of(line, "status");
    by_camera[text_of(line, "camera")].push_back(s);
  }
  return by_camera;
}

}  // namespace strovix::fleet_testing
