#include "serve/serve_auth.hpp"

#include <crypt.h>
#include <glib.h>
#include <sys/random.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace strovix::tools {
namespace {

constexpr std::size_t kMaxFileBytes = 1 << 20;
constexpr std::size_t kMaxHeaderBytes = 4096;
constexpr std::size_t kMaxCached = 64;
constexpr auto kCachedFor = std::chrono::seconds(60);

bool supported_hash(const std::string& hash) {
  return hash.rfind("$y$", 0) == 0 || hash.rfind("$6$", 0) == 0 || hash.rfind("$2b$", 0) == 0;
}

// Equal strings, in a time that depends on their lengths only.
bool same(const char* a, std::size_t a_size, const std::string& b) {
  unsigned char diff = a_size == b.size() ? 0 : 1;
  const std::size_t n = std::max(a_size, b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned char x = i < a_size ? static_cast<unsigned char>(a[i]) : 0;
    const unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
    diff |= static_cast<unsigned char>(x ^ y);
  }
  return diff == 0;
}

}  // namespace

BasicAuth::BasicAuth(const std::string& path) : scratch_(std::make_unique<crypt_data>()) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read the authentication file " + path);
  std::string text(kMaxFileBytes + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  if (text.size() > kMaxFileBytes) throw std::runtime_error(path + ": larger than 1 MiB");
  std::istringstream lines(text);
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    const auto fail = [&](const std::string& what) {
      throw std::runtime_error(path + ":" + std::to_string(number) + ": " + what);
    };
    const auto colon = line.find(':');
    if (colon == std::string::npos || colon == 0) fail("not a 'user:HASH' line");
    User user{line.substr(0, colon), line.substr(colon + 1)};
    if (!supported_hash(user.hash)) {
      fail("user '" + escape_user(user.name) +
           "': the hash is none of yescrypt ($y$), SHA-512 ($6$), bcrypt ($2b$)");
    }
    // libxcrypt answers a malformed setting with a failure token starting with '*'; a bare
    // setting (salt, no hash) gives a longer text than itself and would never match.
    const char* probe = crypt_r("", user.hash.c_str(), scratch_.get());
    if (!probe || probe[0] == '*' || std::strlen(probe) != user.hash.size()) {
      fail("user '" + escape_user(user.name) + "': the hash is malformed");
    }
    users_.push_back(std::move(user));
  }
  if (users_.empty()) throw std::runtime_error(path + ": no 'user:HASH' line");
  unsigned char key[32];
  if (getrandom(key, sizeof(key), 0) != static_cast<ssize_t>(sizeof(key))) {
    throw std::runtime_error("no random bytes for the authentication cache");
  }
  cache_key_.assign(reinterpret_cast<const char*>(key), sizeof(key));
}

BasicAuth::~BasicAuth() = default;

std::string BasicAuth::escape_user(const std::string& name) {
  std::string out;
  for (const char c : name) out += g_ascii_isprint(c) ? c : '?';
  return out;
}

BasicAuth::Verdict BasicAuth::check_header(const char* authorization) {
  if (!authorization) return Verdict::denied;
  const std::size_t size = std::strlen(authorization);
  if (size > kMaxHeaderBytes || g_ascii_strncasecmp(authorization, "Basic ", 6) != 0) {
    return Verdict::denied;
  }
  const auto now = std::chrono::steady_clock::now();
  char* hmac = g_compute_hmac_for_data(
      G_CHECKSUM_SHA256, reinterpret_cast<const guchar*>(cache_key_.data()), cache_key_.size(),
      reinterpret_cast<const guchar*>(authorization), size);
  const std::string key = hmac;
  g_free(hmac);
  if (const auto it = accepted_.find(key); it != accepted_.end()) {
    if (it->second > now) return Verdict::allowed;
    accepted_.erase(it);
  }
  // A quarter of the time passed refills the budget, up to a second.
  budget_ = std::min(kBudget, budget_ + (now - refilled_) / 4);
  refilled_ = now;
  if (budget_ <= std::chrono::steady_clock::duration::zero()) return Verdict::busy;

  std::string encoded(authorization + 6);
  const auto begin = encoded.find_first_not_of(' ');
  if (begin == std::string::npos) return Verdict::denied;
  gsize decoded_size = 0;
  guchar* decoded = g_base64_decode(encoded.c_str() + begin, &decoded_size);
  std::string credentials(reinterpret_cast<const char*>(decoded), decoded_size);
  // The password leaves memory with the request.
  if (decoded) {
    std::memset(decoded, 0, decoded_size);
    g_free(decoded);
  }
  const auto colon = credentials.find(':');
  const bool ok = colon != std::string::npos &&
                  check(credentials.substr(0, colon), credentials.substr(colon + 1));
  std::fill(credentials.begin(), credentials.end(), '\0');
  budget_ -= std::chrono::steady_clock::now() - now;
  if (!ok) return Verdict::denied;
  if (accepted_.size() >= kMaxCached) {
    for (auto it = accepted_.begin(); it != accepted_.end();) {
      it = it->second <= now ? accepted_.erase(it) : std::next(it);
    }
    if (accepted_.size() >= kMaxCached) accepted_.clear();
  }
  accepted_[key] = now + kCachedFor;
  return Verdict::allowed;
}

bool BasicAuth::check(const std::string& user, const std::string& password) {
  const User* found = nullptr;
  for (const auto& u : users_) {
    if (same(u.name.data(), u.name.size(), user)) found = &u;
  }
  // An unknown user costs one hash as well, so that timing does not tell users apart.
  const std::string& hash = found ? found->hash : users_.front().hash;
  if (password.find('\0') != std::string::npos) return false;
  const char* result = crypt_r(password.c_str(), hash.c_str(), scratch_.get());
  if (!result || result[0] == '*') return false;
  const bool match = same(result, std::strlen(result), hash);
  std::memset(scratch_.get(), 0, sizeof(crypt_data));
  return found != nullptr && match;
}

}  // namespace strovix::tools
