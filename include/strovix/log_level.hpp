#pragma once
#include "strovix/export.hpp"
// Log levels hosts can set without including the logging library.

namespace strovix {

enum class LogLevel { trace, debug, info, warning, error, critical, off };

// The level of every stream's logger, present and future (default info). Any thread.
STROVIX_EXPORT void set_log_level(LogLevel level);
STROVIX_EXPORT LogLevel log_level();

}  // namespace strovix
