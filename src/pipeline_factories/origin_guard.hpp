#pragma once
// A URL's credentials go to the scheme, host and port the URL names, and nowhere else: a
// redirect elsewhere (or from TLS to plain text) is refused with an error of its own, and
// whatever the source reports after that refusal is dropped so the refusal stays the stream's
// error.
#include <gst/gst.h>

#include <optional>
#include <string>

#include "logging/url.hpp"

namespace strovix::detail {

struct Origin {
  std::string scheme;  // lower-cased
  std::string host;    // lower-cased, without brackets
  int port = -1;       // the scheme's default port where none is written
  bool operator==(const Origin&) const = default;
};

// The origin of an absolute URL; unset when it has none (relative, unparseable).
std::optional<Origin> origin_of(const std::string& url);

// Redirects followed per connection attempt before the attempt fails.
inline constexpr int kMaxRedirects = 8;

// The refusal's text: names the target's host and port (never a userinfo), escaped.
std::string redirect_refusal_text(const std::string& target, const Origin& own);
std::string too_many_redirects_text(int count);

// Posts the refusal as an error of `src` (from any thread) and marks its pipeline: later
// errors of that pipeline are dropped by drop_after_refusal. Only the first call per pipeline
// posts.
void post_redirect_refusal(GstElement* src, const std::string& text);

// For bus sync handlers: GST_BUS_DROP for an error of a pipeline whose redirect was refused,
// other than the refusal itself.
GstBusSyncReply drop_after_refusal(GstMessage* message);

// souphttpsrc: follows redirects within the URL's origin (at most kMaxRedirects), and refuses
// one that leaves it while the source holds credentials; the credentials are cleared from the
// source before the request reaches the other host.
void guard_http_redirects(GstElement* souphttpsrc, const StreamUrl& url);

// rtspsrc: the same for its requests (a 301/302 on DESCRIBE sends it elsewhere).
void guard_rtsp_redirects(GstElement* rtspsrc, const StreamUrl& url);

}  // namespace strovix::detail
