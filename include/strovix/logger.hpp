#pragma once
#include <spdlog/sinks/dist_sink.h>
#include <spdlog/spdlog.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "strovix/export.hpp"
#include "strovix/log_level.hpp"
#include "strovix/redaction.hpp"

namespace strovix {

using Logger = std::shared_ptr<spdlog::logger>;

// The logger of the stream with this URL: one per URL, shared by every object of the
// stream. Its name is "strovix:" + the URL with its credentials removed, and every line it
// writes has the URL's user:password removed as well.
STROVIX_EXPORT Logger get_stream_logger(const std::string& url);

// The sink that every stream logger writes to. Hosts may add sinks to it or remove the
// default stderr sink (spdlog's dist_sink is thread-safe for that).
STROVIX_EXPORT std::shared_ptr<spdlog::sinks::dist_sink_mt> stream_log_sink();

// For reports that belong to no stream (a failing callback, a thread that ended): the
// logger "strovix:library" on the same sink.
STROVIX_EXPORT Logger library_logger();

// `text` with the stream's credentials removed, as the stream's log lines have them.
STROVIX_EXPORT std::string redact_for_logger(const Logger& logger, std::string_view text);

STROVIX_EXPORT spdlog::level::level_enum to_spdlog_level(LogLevel level);
// The LogLevel of a line's spdlog level (info for one outside the map).
STROVIX_EXPORT LogLevel from_spdlog_level(spdlog::level::level_enum level);

}  // namespace strovix
