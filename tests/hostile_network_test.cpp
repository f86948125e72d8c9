// A hostile network: cameras and servers that redirect elsewhere, URLs that carry their
// secrets in the query or lack their "//", and text from outside that holds control
// characters. Nothing the user trusted the reader with leaves the URL's own origin or
// reaches a text unredacted, and nothing a server says can forge or repaint a line.
#include <glib.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "strovix/redaction.hpp"

using namespace strovix;

namespace {

TEST(EscapeControl, MakesOutsideTextInert) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plain text, 100% ok", "plain text, 100% ok"},
      {"\x1b]0;owned\x07title", "\\x1b]0;owned\\x07title"},
      {"two\nlines\r\n", "two\\x0alines\\x0d\\x0a"},
      {std::string("nul\0byte", 8), "nul\\x00byte"},
      {"tab\there\x7f", "tab\\x09here\\x7f"},
      // UTF-8 stays; C1 controls (CSI) and bytes outside well-formed UTF-8 do not.
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\xb7", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\xb7"},
      {"\xc2\x9b" "31m", "\\xc2\\x9b31m"},
      {"\x9b" "2J", "\\x9b2J"},
      {"cut \xe2\x82", "cut \\xe2\\x82"},
      {"\xed\xa0\x80 \xc0\xaf", "\\xed\\xa0\\x80 \\xc0\\xaf"},
      {"", ""},
  };
  for (const auto& [in, want] : cases) {
    EXPECT_EQ(escape_control(in), want) << in;
    EXPECT_EQ(escape_control(want), want) << "escaping twice changes nothing";
  }
}

}  // namespace
