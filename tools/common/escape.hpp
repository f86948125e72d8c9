#pragma once
// Text that a camera or a server chose (reason phrases, decoder messages, URLs) is printed on
// terminals and served to browsers: control characters in it are shown, never obeyed.
#include <string>
#include <string_view>

namespace strovix::tools {

// `text` with every C0 and C1 control character, DEL and every byte that is not part of valid
// UTF-8 written as "\xNN" (a backslash stays itself). Printable UTF-8 is kept.
std::string escape_control(std::string_view text);

}  // namespace strovix::tools
