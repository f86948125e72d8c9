#include "strovix/stream_reader/base.hpp"

namespace strovix {

std::string_view to_string(StreamStatus status) noexcept {
  switch (status) {
    case StreamStatus::INITIALIZING: return "INITIALIZING";
    case StreamStatus::STREAMING: return "STREAMING";
    case StreamStatus::HALTED: return "HALTED";
    case StreamStatus::CLOSED: return "CLOSED";
  }
  return "UNKNOWN";
}

}  // namespace strovix
