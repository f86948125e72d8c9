#pragma once
// HTTP Basic authentication of the status server against a file of "user:HASH" lines, HASH a
// crypt(3) hash (yescrypt "$y$", SHA-512 "$6$", bcrypt "$2b$") checked with libxcrypt.
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct crypt_data;

namespace strovix::tools {

class BasicAuth {
 public:
  // Reads and checks `path`; throws std::runtime_error "PATH:LINE: what" (never quoting a
  // hash) when a line is not a user and a supported hash, or when the file holds no user.
  explicit BasicAuth(const std::string& path);
  ~BasicAuth();
  BasicAuth(const BasicAuth&) = delete;
  BasicAuth& operator=(const BasicAuth&) = delete;

  enum class Verdict { allowed, denied, busy };
  // Whether an Authorization header value (null: none) names a user and its password.
  // One thread only (the server's): it keeps a short cache of accepted headers, because a
  // hash check costs milliseconds by design and the status page asks every second. Hash
  // checks get a quarter of the thread's time, after a first second (`busy`, answered 503,
  // beyond it), so that clients guessing passwords cannot stall the server.
  Verdict check_header(const char* authorization);
  bool allows(const char* authorization) { return check_header(authorization) == Verdict::allowed; }

 private:
  bool check(const std::string& user, const std::string& password);
  static std::string escape_user(const std::string& name);

  struct User {
    std::string name;
    std::string hash;
  };
  std::vector<User> users_;
  std::unique_ptr<crypt_data> scratch_;
  std::string cache_key_;  // random: the cache holds HMACs of headers, never the headers
  std::map<std::string, std::chrono::steady_clock::time_point> accepted_;
  // Hash-checking time still allowed, refilled with the clock.
  std::chrono::steady_clock::duration budget_ = kBudget;
  std::chrono::steady_clock::time_point refilled_ = std::chrono::steady_clock::now();
  static constexpr std::chrono::steady_clock::duration kBudget = std::chrono::seconds(1);
};

}  // namespace strovix::tools
