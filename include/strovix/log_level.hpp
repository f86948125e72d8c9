#pragma once
// Log levels hosts can set without including the logging library.

namespace strovix {

enum class LogLevel { trace, debug, info, warning, error, critical, off };

// The level of every stream's logger, present and future (default info). Any thread.
void set_log_level(LogLevel level);
LogLevel log_level();

}  // namespace strovix
