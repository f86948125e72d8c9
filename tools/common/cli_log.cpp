#include "common/cli_log.hpp"

#include <glib.h>

#include <atomic>
#include <chrono>
#include <cstdio>

#include "strovix/logger.hpp"
#include "strovix/redaction.hpp"

namespace strovix::tools {
namespace {

std::atomic<bool> json_lines{false};

LogLevel level_of(GLogLevelFlags flags) {
  if (flags & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL)) return LogLevel::critical;
  if (flags & G_LOG_LEVEL_WARNING) return LogLevel::warning;
  if (flags & (G_LOG_LEVEL_MESSAGE | G_LOG_LEVEL_INFO)) return LogLevel::info;
  return LogLevel::debug;
}

// GLib's and GStreamer's g_warning and friends, as one JSON line each. Runs on any thread.
GLogWriterOutput write_glib_line(GLogLevelFlags flags, const GLogField* fields, gsize count,
                                 gpointer) {
  const char* domain = nullptr;
  const char* message = nullptr;
  for (gsize i = 0; i < count; ++i) {
    const std::string_view key = fields[i].key;
    // Both are NUL-terminated strings (length -1) when GLib itself builds the fields.
    if (fields[i].length != -1) continue;
    if (key == "GLIB_DOMAIN") domain = static_cast<const char*>(fields[i].value);
    if (key == "MESSAGE") message = static_cast<const char*>(fields[i].value);
  }
  if (g_log_writer_default_would_drop(flags, domain)) return G_LOG_WRITER_HANDLED;
  std::string text = domain ? std::string(domain) + ": " : std::string();
  text += message ? message : "";
  cli_log(level_of(flags), "", redact_credentials(text));
  return G_LOG_WRITER_HANDLED;
}

}  // namespace

void set_cli_log_json(bool json) {
  json_lines = json;
  set_log_format(json ? LogFormat::json : LogFormat::text);
  if (json) {
    static const bool installed = [] {
      g_log_set_writer_func(write_glib_line, nullptr, nullptr);
      return true;
    }();
    (void)installed;
  }
}

bool cli_log_json() { return json_lines; }

void cli_log(LogLevel level, const std::string& camera, const std::string& message) {
  std::string line;
  if (json_lines) {
    line = json_log_line(std::chrono::system_clock::now(), level, camera, message) + "\n";
  } else {
    line = "strovix-read: " + (camera.empty() ? "" : camera + ": ") + message + "\n";
  }
  // One write per line, so that lines of several threads never interleave.
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace strovix::tools
