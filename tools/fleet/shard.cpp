#include "fleet/shard.hpp"

#include <charconv>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace strovix::tools {
namespace {

constexpr int kMaxShards = 100000;

std::uint64_t fnv1a64(std::string_view text) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (const unsigned char c : text) {
    hash ^= c;
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

std::uint64_t splitmix64(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

bool parse_whole(std::string_view text, int& value) {
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return !text.empty() && ec == std::errc() && ptr == end;
}

}  // namespace

int read_shard_count(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  std::string count = text.str();
  const auto first = count.find_first_not_of(" \t\r\n");
  const auto last = count.find_last_not_of(" \t\r\n");
  count = first == std::string::npos ? "" : count.substr(first, last - first + 1);
  int value = 0;
  if (!in || !parse_whole(count, value) || value < 1 || value > kMaxShards) {
    throw std::invalid_argument("the shard count file " + path +
                                " must hold one number from 1 to " + std::to_string(kMaxShards));
  }
  return value;
}

Shard parse_shard(const std::string& text) {
  const auto slash = text.find('/');
  Shard shard;
  if (slash != std::string::npos && text.compare(slash + 1, 1, "@") == 0) {
    if (!parse_whole(std::string_view(text).substr(0, slash), shard.index) || shard.index < 0 ||
        shard.index >= kMaxShards || slash + 2 >= text.size()) {
      throw std::invalid_argument("--shard needs K/@FILE with 0 <= K < " +
                                  std::to_string(kMaxShards) + ", not '" + text + "'");
    }
    shard.count_file = text.substr(slash + 2);
    shard.count = read_shard_count(shard.count_file);
    return shard;
  }
  if (slash == std::string::npos ||
      !parse_whole(std::string_view(text).substr(0, slash), shard.index) ||
      !parse_whole(std::string_view(text).substr(slash + 1), shard.count) || shard.count < 1 ||
      shard.count > kMaxShards || shard.index < 0 || shard.index >= shard.count) {
    throw std::invalid_argument("--shard needs K/N with 0 <= K < N <= " +
                                std::to_string(kMaxShards) + ", not '" + text + "'");
  }
  return shard;
}

std::uint64_t shard_weight(std::string_view name, int index) {
  // The index goes through splitmix64 first so that neighbouring indices share no bits.
  return splitmix64(fnv1a64(name) ^ splitmix64(static_cast<std::uint64_t>(index)));
}

int shard_of(std::string_view name, int count) {
  int best = 0;
  std::uint64_t best_weight = shard_weight(name, 0);
  for (int k = 1; k < count; ++k) {
    const std::uint64_t weight = shard_weight(name, k);
    if (weight > best_weight) {
      best = k;
      best_weight = weight;
    }
  }
  return best;
}

std::vector<Camera> select_shard(const std::vector<Camera>& cameras, const Shard& shard) {
  std::vector<Camera> selected;
  if (shard.index >= shard.count) return selected;
  for (const auto& camera : cameras) {
    if (shard_of(camera.name, shard.count) == shard.index) selected.push_back(camera);
  }
  return selected;
}

}  // namespace strovix::tools
