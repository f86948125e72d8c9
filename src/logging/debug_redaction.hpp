#pragma once
// Secrets of the streams that are open, and the GStreamer debug-log handler that hides them.
#include <memory>
#include <string>
#include <vector>

#include "logging/url.hpp"
#include "strovix/logger.hpp"

namespace strovix::detail {

using Secrets = std::vector<std::string>;

// Keeps its secrets in the process-wide set for as long as it lives.
class SecretsRegistration {
 public:
  explicit SecretsRegistration(Secrets secrets);
  ~SecretsRegistration();
  SecretsRegistration(const SecretsRegistration&) = delete;
  SecretsRegistration& operator=(const SecretsRegistration&) = delete;

 private:
  std::shared_ptr<const Secrets> secrets_;
};

// The secrets of every registration alive now, longest first.
std::shared_ptr<const Secrets> registered_secrets();

// Replaces GStreamer's default debug-log handler by one that writes the same lines (without
// colours) through redact_text with the registered secrets. Does nothing when the default
// handler is not installed (the host replaced it) or when called again.
void install_gst_debug_redaction();

// The stream logger of `url` that also hides `more_secrets` (a custom pipeline description's
// passwords) in its lines and, for as long as it lives, in GStreamer's debug output. Without
// more secrets and without a name, the URL's shared logger (get_stream_logger); a name
// replaces the URL in the logger's name.
Logger stream_logger(const StreamUrl& url, const std::vector<std::string>& more_secrets,
                     const std::string& name = {});
Logger stream_logger(const std::string& url, const std::vector<std::string>& more_secrets,
                     const std::string& name = {});

}  // namespace strovix::detail
