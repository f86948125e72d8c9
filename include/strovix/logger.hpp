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

// How the default stderr sink writes lines. text: "[time] [level] [logger] message".
// json: one object per line, {"time","level","camera","message"}, for log collectors
// (journald, Loki, Elasticsearch); a message with line breaks stays one line. Any thread.
enum class LogFormat { text, json };
STROVIX_EXPORT void set_log_format(LogFormat format);

// The json format's formatter, for a host's own sinks. "camera" is the stream's log name
// (GstStreamReaderOptions::log_name), else the stream id its line names, else the stream's
// URL without credentials; null for lines of no stream.
STROVIX_EXPORT std::unique_ptr<spdlog::formatter> json_log_formatter();

// One line of that format without its line break, for a host's own messages; an empty
// camera is written as null.
STROVIX_EXPORT std::string json_log_line(std::chrono::system_clock::time_point time, LogLevel level,
                                         std::string_view camera, std::string_view message);

STROVIX_EXPORT spdlog::level::level_enum to_spdlog_level(LogLevel level);
// The LogLevel of a line's spdlog level (info for one outside the map).
STROVIX_EXPORT LogLevel from_spdlog_level(spdlog::level::level_enum level);

}  // namespace strovix
