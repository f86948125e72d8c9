#pragma once
// strovix-read's own messages on stderr, in the format the library's lines have: text
// ("strovix-read: [CAMERA: ]message") or, with --log-format json, one JSON object a line.
#include <string>

#include "strovix/log_level.hpp"

namespace strovix::tools {

// Before any thread logs. json also switches the library's stderr lines and routes GLib's
// messages through the same format.
void set_cli_log_json(bool json);
bool cli_log_json();

// `camera` empty: the message concerns no one camera. The text must hold no credentials.
void cli_log(LogLevel level, const std::string& camera, const std::string& message);

}  // namespace strovix::tools
