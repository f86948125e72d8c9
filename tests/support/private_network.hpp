#pragma once
// Runs a test inside a private network namespace of its own (loopback only), where nftables
// rules can drop the reader's UDP without touching the machine's network. The test body
// starts with STROVIX_IN_PRIVATE_NETWORK(): outside the namespace it runs the same test again
// in a child process under `unshare -n` and passes or fails with it; inside it brings the
// loopback up and goes on. Needs root (CI runs as root); elsewhere the test is skipped with
// the reason, unless STROVIX_REQUIRE_NETNS=1 makes that a failure.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "support/child_process.hpp"

namespace strovix::testing {

inline const char* kInNetnsEnv = "STROVIX_IN_NETNS";

inline std::string find_program(const std::string& name) {
  for (const char* dir : {"/usr/sbin/", "/usr/bin/", "/sbin/", "/bin/"}) {
    const std::string path = std::string(dir) + name;
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return "";
}

// Runs a program to its end (at most `timeout` seconds); its exit status, or -1.
inline int run_program(const std::string& name, const std::vector<std::string>& args,
                       std::string* output = nullptr, double timeout = 20.0) {
  const std::string path = find_program(name);
  if (path.empty()) return -1;
  Child child(path, args);
  if (!child.started()) return -1;
  const int rc = child.finish(timeout);
  if (output) *output = child.out + child.err;
  return rc;
}

// Why the namespace cannot be had here, or "" when it can.
inline std::string private_network_unavailable() {
  if (geteuid() != 0) return "needs root for unshare -n and nftables";
  for (const char* program : {"unshare", "nft", "ip"}) {
    if (find_program(program).empty()) return std::string("no ") + program + " installed";
  }
  std::string output;
  if (run_program("unshare", {"-n", "true"}, &output) != 0) {
    return "unshare -n is refused here: " + output;
  }
  return "";
}

// Outside: the exit status of this test run again inside a new namespace (its output copied
// to ours). Inside: -1 after the loopback is up.
inline int run_in_private_network(std::string* skip_reason) {
  if (const char* inside = std::getenv(kInNetnsEnv); inside && std::string(inside) == "1") {
    std::string output;
    if (run_program("ip", {"link", "set", "lo", "up"}, &output) != 0) {
      ADD_FAILURE() << "cannot bring the loopback up: " << output;
    }
    return -1;
  }
  *skip_reason = private_network_unavailable();
  if (!skip_reason->empty()) return 0;
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (n <= 0) {
    *skip_reason = "cannot find this test program";
    return 0;
  }
  self[n] = '\0';
  const std::string filter =
      std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();
  Child child(find_program("unshare"), {"-n", self, filter, "--gtest_color=no"},
              {std::string(kInNetnsEnv) + "=1"});
  const int rc = child.started() ? child.finish(240.0) : -1;
  std::cout << child.out << child.err << std::flush;
  return rc;
}

// Drops or passes every UDP datagram in the namespace (both directions: on loopback each one
// crosses the input hook once).
class UdpCut {
 public:
  UdpCut() {
    std::string output;
    ok_ = run_program("nft", {"add", "table", "inet", "strovix_cut"}, &output) == 0 &&
          run_program("nft",
                      {"add chain inet strovix_cut input { type filter hook input priority 0; "
                       "policy accept; }"},
                      &output) == 0;
    if (!ok_) ADD_FAILURE() << "nft: " << output;
  }
  ~UdpCut() { run_program("nft", {"delete", "table", "inet", "strovix_cut"}); }
  bool cut() { return nft({"add rule inet strovix_cut input meta l4proto udp drop"}); }
  // Drops `percent` of the UDP datagrams at random instead.
  bool lose(int percent) {
    return nft({"add rule inet strovix_cut input meta l4proto udp numgen random mod 100 < " +
                std::to_string(percent) + " drop"});
  }
  bool restore() { return nft({"flush chain inet strovix_cut input"}); }

 private:
  bool nft(const std::vector<std::string>& args) {
    std::string output;
    const bool done = ok_ && run_program("nft", args, &output) == 0;
    if (!done) ADD_FAILURE() << "nft " << args.front() << ": " << output;
    return done;
  }
  bool ok_ = false;
};

}  // namespace strovix::testing

// First line of a test body that must run in a private network namespace.
#define STROVIX_IN_PRIVATE_NETWORK()                                                         \
  do {                                                                                       \
    std::string strovix_skip_reason;                                                         \
    const int strovix_rc = ::strovix::testing::run_in_private_network(&strovix_skip_reason); \
    if (strovix_rc == -1) break;                                                             \
    if (!strovix_skip_reason.empty()) {                                                      \
      const char* strovix_require = std::getenv("STROVIX_REQUIRE_NETNS");                    \
      if (strovix_require && std::string(strovix_require) == "1") {                          \
        FAIL() << "no private network namespace: " << strovix_skip_reason;                   \
      }                                                                                      \
      GTEST_SKIP() << "no private network namespace: " << strovix_skip_reason;               \
    }                                                                                        \
    EXPECT_EQ(strovix_rc, 0) << "the test failed inside its network namespace (above)";      \
    return;                                                                                  \
  } while (false)
