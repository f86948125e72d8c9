#pragma once
// Splitting a camera list over N processes by rendezvous (highest-random-weight) hashing of
// the camera names: every camera lands in exactly one shard, and going from N to N+1 shards
// moves only the cameras whose new highest weight is the new shard's, about 1/(N+1) of them.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fleet/camera_list.hpp"

namespace strovix::tools {

struct Shard {
  int index = 0;  // K, 0 <= K < count
  int count = 1;  // N
  // "K/@FILE": N is the number in this file, read at start and on every reload, so that a
  // fleet grows or shrinks without a restart. Until the file says K < N this process reads
  // nothing (a new replica may start before the file grows).
  std::string count_file;
};

// "K/N" or "K/@FILE" (N read here from the file); throws std::invalid_argument with a
// message naming the problem.
Shard parse_shard(const std::string& text);

// The shard count in `path`: one whole number, blanks around it allowed. Throws
// std::invalid_argument naming the file.
int read_shard_count(const std::string& path);

// The weight of `name` for shard `index`: FNV-1a 64 of the name, mixed with the index by the
// splitmix64 finaliser. Stable across runs, builds and machines (never std::hash).
std::uint64_t shard_weight(std::string_view name, int index);

// The shard, of `count`, that picks `name`: the one of highest weight (ties: lowest index).
int shard_of(std::string_view name, int count);

std::vector<Camera> select_shard(const std::vector<Camera>& cameras, const Shard& shard);

}  // namespace strovix::tools
