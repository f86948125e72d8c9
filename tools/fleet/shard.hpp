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
};

// "K/N"; throws std::invalid_argument with a message naming the problem.
Shard parse_shard(const std::string& text);

// The weight of `name` for shard `index`: FNV-1a 64 of the name, mixed with the index by the
// splitmix64 finaliser. Stable across runs, builds and machines (never std::hash).
std::uint64_t shard_weight(std::string_view name, int index);

// The shard, of `count`, that picks `name`: the one of highest weight (ties: lowest index).
int shard_of(std::string_view name, int count);

std::vector<Camera> select_shard(const std::vector<Camera>& cameras, const Shard& shard);

}  // namespace strovix::tools
