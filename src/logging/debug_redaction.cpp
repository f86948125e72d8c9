#include "logging/debug_redaction.hpp"

#include <gst/gst.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <list>
#include <mutex>

#include "logging/url.hpp"
#include "strovix/gst/handles.hpp"
#include "strovix/redaction.hpp"

namespace strovix::detail {
namespace {

struct Registry {
  // Guards live and merged.
  std::mutex mutex;
  std::list<std::shared_ptr<const Secrets>> live;
  // All live secrets in one list, rebuilt on each change: the debug handler reads it for
  // every line and must not merge them there.
  std::shared_ptr<const Secrets> merged = std::make_shared<const Secrets>();

  void rebuild_locked() {
    Secrets all;
    for (const auto& s : live) {
      for (const auto& secret : *s) {
        if (std::find(all.begin(), all.end(), secret) == all.end()) all.push_back(secret);
      }
    }
    std::stable_sort(all.begin(), all.end(), [](const std::string& a, const std::string& b) {
      return a.size() > b.size();
    });
    merged = std::make_shared<const Secrets>(std::move(all));
  }
};

Registry& registry() {
  // Never destroyed: GStreamer threads may log during static destruction.
  static Registry* instance = new Registry();
  return *instance;
}

// Runs on whichever thread GStreamer logs from; nothing may escape into GStreamer.
void redacting_log_function(GstDebugCategory* category, GstDebugLevel level, const gchar* file,
                            const gchar* function, gint line, GObject* object,
                            GstDebugMessage* message, gpointer user_data) noexcept {
  try {
    GCharPtr raw(gst_debug_log_get_line(category, level, file, function, line, object, message));
    if (!raw) return;
    std::string_view line(raw.get());
    const bool ends_line = !line.empty() && line.back() == '\n';
    if (ends_line) line.remove_suffix(1);
    // Elements quote what servers sent (reason phrases, headers): one line, escaped.
    std::string text = escape_control(redact_text(line, *registered_secrets()));
    if (ends_line) text.push_back('\n');
    FILE* out = static_cast<FILE*>(user_data);
    std::fwrite(text.data(), 1, text.size(), out);
    std::fflush(out);
  } catch (...) {
    // Out of memory while logging: the line is dropped rather than written unredacted.
  }
}

// Where GStreamer's default handler writes: GST_DEBUG_FILE ("-" for stdout), else stderr.
// A file is opened for appending to what GStreamer has already written; its %p and %r name
// patterns are not expanded.
FILE* debug_output() {
  const char* name = g_getenv("GST_DEBUG_FILE");
  if (!name || !*name) return stderr;
  if (std::strcmp(name, "-") == 0) return stdout;
  FILE* file = std::fopen(name, "a");
  return file ? file : stderr;
}

}  // namespace

SecretsRegistration::SecretsRegistration(Secrets secrets)
    : secrets_(std::make_shared<const Secrets>(std::move(secrets))) {
  if (secrets_->empty()) return;
  auto& reg = registry();
  std::lock_guard lock(reg.mutex);
  reg.live.push_back(secrets_);
  reg.rebuild_locked();
}

SecretsRegistration::~SecretsRegistration() {
  if (secrets_->empty()) return;
  auto& reg = registry();
  std::lock_guard lock(reg.mutex);
  reg.live.remove(secrets_);
  reg.rebuild_locked();
}

std::shared_ptr<const Secrets> registered_secrets() {
  auto& reg = registry();
  std::lock_guard lock(reg.mutex);
  return reg.merged;
}

void install_gst_debug_redaction() {
  static std::once_flag once;
  std::call_once(once, [] {
    // Default handler removed first: a line logged in between is lost, never written raw.
    if (gst_debug_remove_log_function(gst_debug_log_default) == 0) return;
    gst_debug_add_log_function(redacting_log_function, debug_output(), nullptr);
  });
}

}  // namespace strovix::detail
