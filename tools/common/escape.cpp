#include "common/escape.hpp"

#include <cstdio>

namespace strovix::tools {
namespace {

// Bytes of the UTF-8 sequence that starts at `i`, or 0 when it is not valid (overlong forms,
// surrogates and code points past U+10FFFF included).
std::size_t utf8_length(std::string_view s, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char lead = byte(i);
  std::size_t n = 0;
  unsigned code = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    n = 2;
    code = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    n = 3;
    code = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    n = 4;
    code = lead & 0x07u;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0u) != 0x80u) return 0;
    code = (code << 6) | (byte(i + k) & 0x3Fu);
  }
  if ((n == 3 && code < 0x800) || (n == 4 && (code < 0x10000 || code > 0x10FFFF)) ||
      (code >= 0xD800 && code <= 0xDFFF)) {
    return 0;
  }
  // C1 controls (U+0080..U+009F): CSI among them.
  if (code >= 0x80 && code <= 0x9F) return 0;
  return n;
}

}  // namespace

std::string escape_control(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    const std::size_t n = c >= 0x80 ? utf8_length(text, i) : 0;
    if (n > 0) {
      out.append(text.substr(i, n));
      i += n;
      continue;
    }
    char hex[5];
    std::snprintf(hex, sizeof(hex), "\\x%02x", c);
    out += hex;
    ++i;
  }
  return out;
}

}  // namespace strovix::tools
