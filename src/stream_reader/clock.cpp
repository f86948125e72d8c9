#include "stream_reader/clock.hpp"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <system_error>

namespace strovix::detail {

double wall_clock_seconds() noexcept {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string format_seconds(double seconds) {
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof(buf), seconds, std::chars_format::fixed);
  if (ec != std::errc()) {
    std::snprintf(buf, sizeof(buf), "%.17g", seconds);
    return buf;
  }
  std::string text(buf, end);
  if (text.find('.') == std::string::npos && text.find_first_of("ni") == std::string::npos) {
    text += ".0";
  }
  return text;
}

}  // namespace strovix::detail
