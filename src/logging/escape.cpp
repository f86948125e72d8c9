// Text a camera or server chose (reason phrases, GStreamer messages, debug text) is shown
// with its control characters as visible escapes: an ESC sequence could otherwise retitle or
// repaint a terminal, and a line break could forge a log line of its own.
#include <cstdio>
#include <string>
#include <string_view>

#include "strovix/redaction.hpp"

namespace strovix {
namespace {

void append_escape(std::string& out, unsigned char byte) {
  // The three a reader meets in every multi-line message keep their short, familiar form.
  switch (byte) {
    case '\n':
      out.append("\\n");
      return;
    case '\r':
      out.append("\\r");
      return;
    case '\t':
      out.append("\\t");
      return;
    default: {
      char code[5];
      std::snprintf(code, sizeof(code), "\\x%02x", byte);
      out.append(code);
    }
  }
}

// Length of the well-formed UTF-8 sequence at `text[i]` (1 to 4), or 0 when it is not one.
std::size_t utf8_length(std::string_view text, std::size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xbf;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    if (lead == 0xe0) low = 0xa0;
    if (lead == 0xed) high = 0x9f;  // UTF-16 surrogates
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    if (lead == 0xf0) low = 0x90;
    if (lead == 0xf4) high = 0x8f;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const auto c = static_cast<unsigned char>(text[i + k]);
    if (c < (k == 1 ? low : 0x80) || c > (k == 1 ? high : 0xbf)) return 0;
  }
  return length;
}

}  // namespace

std::string escape_control(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      if (c < 0x20 || c == 0x7f) {
        append_escape(out, c);
      } else {
        out.push_back(static_cast<char>(c));
      }
      ++i;
      continue;
    }
    const std::size_t length = utf8_length(text, i);
    // C1 controls (U+0080 to U+009F, CSI among them) act on terminals as ESC sequences do;
    // a stray byte may be read as one by a terminal that is not in UTF-8.
    const bool c1 = length == 2 && c == 0xc2 && static_cast<unsigned char>(text[i + 1]) < 0xa0;
    if (length == 0 || c1) {
      const std::size_t n = length == 0 ? 1 : length;
      for (std::size_t k = 0; k < n; ++k)
        append_escape(out, static_cast<unsigned char>(text[i + k]));
      i += n;
      continue;
    }
    out.append(text.substr(i, length));
    i += length;
  }
  return out;
}

}  // namespace strovix
