#pragma once
// The JSON text forms every report of strovix-read writes (its lines are built by hand: flat
// objects of known keys).
#include <string>

namespace strovix::tools {

// `text` as a quoted JSON string.
std::string json_string(const std::string& text);
// `value` printed with `format`; null when it is not finite.
std::string json_number(double value, const char* format = "%.3f");

}  // namespace strovix::tools
