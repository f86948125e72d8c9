// souphttpsrc follows redirects inside libsoup, on the same message, and answers the new
// host's 401 with the location's user-id and user-pw: a camera (or anybody who can inject a
// "302 Location: http://elsewhere/") would collect the password. libsoup is not linked here;
// its message class is reached through GObject: an emission hook on SoupMessage's
// "restarted" (emitted with the new URI in place, before it is requested) and "authenticate"
// signals sees every message, and the source is found as the owner of a handler on it.
#include <dlfcn.h>
#include <glib-object.h>

#include <list>
#include <mutex>

#include "pipeline_factories/origin_guard.hpp"
#include "strovix/gst/handles.hpp"

namespace strovix::detail {
namespace {

struct Guard {
  GstElement* src;  // borrowed: removed by a weak reference before the element goes
  Origin origin;
  bool has_credentials = false;
  int redirects = 0;
};

struct Guards {
  // Guards list.
  std::mutex mutex;
  std::list<Guard> list;
  guint restarted = 0;
  guint authenticate = 0;
};

Guards& guards() {
  // Never destroyed: soup threads may still emit during static destruction.
  static Guards* instance = new Guards();
  return *instance;
}

// The URI a message now has, as a string; empty when this libsoup's message has no GUri.
std::string message_uri(GObject* message) {
  GParamSpec* pspec = g_object_class_find_property(G_OBJECT_GET_CLASS(message), "uri");
  if (!pspec || pspec->value_type != G_TYPE_URI) return {};
  GUri* uri = nullptr;
  g_object_get(message, "uri", &uri, nullptr);
  if (!uri) return {};
  GCharPtr text(g_uri_to_string(uri));
  g_uri_unref(uri);
  return text ? text.get() : "";
}

guint message_status(GObject* message) {
  GParamSpec* pspec = g_object_class_find_property(G_OBJECT_GET_CLASS(message), "status-code");
  if (!pspec || pspec->value_type != G_TYPE_UINT) return 0;
  guint status = 0;
  g_object_get(message, "status-code", &status, nullptr);
  return status;
}

// SOUP_MESSAGE_NO_REDIRECT: libsoup checks it before following the next Location.
constexpr guint kNoRedirectFlag = 1u << 1;

void stop_following(GObject* message) {
  GParamSpec* pspec = g_object_class_find_property(G_OBJECT_GET_CLASS(message), "flags");
  if (!pspec || !G_TYPE_IS_FLAGS(pspec->value_type)) return;
  guint flags = 0;
  g_object_get(message, "flags", &flags, nullptr);
  g_object_set(message, "flags", flags | kNoRedirectFlag, nullptr);
}

void refuse(Guard& guard, GObject* message, const std::string& text) {
  stop_following(message);
  // souphttpsrc reads these when the other host asks for a login: nothing left to send.
  g_object_set(guard.src, "user-id", nullptr, "user-pw", nullptr, nullptr);
  guard.has_credentials = false;
  post_redirect_refusal(guard.src, text);
}

// Runs on a souphttpsrc's session thread, for the messages of every SoupSession in the
// process; must not throw into GLib.
gboolean on_message_signal(GSignalInvocationHint* hint, guint n_values, const GValue* values,
                           gpointer) noexcept {
  try {
    if (n_values < 1 || !G_VALUE_HOLDS_OBJECT(&values[0])) return TRUE;
    GObject* message = G_OBJECT(g_value_get_object(&values[0]));
    auto& g = guards();
    std::lock_guard lock(g.mutex);
    for (auto& guard : g.list) {
      if (g_signal_handler_find(message, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, guard.src) ==
          0) {
        continue;
      }
      const guint status = message_status(message);
      const bool redirected = status >= 300 && status < 400;
      if (hint->signal_id == g.restarted && redirected && ++guard.redirects > kMaxRedirects) {
        refuse(guard, message, too_many_redirects_text(kMaxRedirects));
        break;
      }
      // A 407 is the proxy's: its login is the proxy's own.
      const bool checks = hint->signal_id == g.restarted ? redirected : status != 407;
      if (!checks || !guard.has_credentials) break;
      const std::string uri = message_uri(message);
      const auto to = origin_of(uri);
      if (!to || !(*to == guard.origin))
        refuse(guard, message, redirect_refusal_text(uri, guard.origin));
      break;
    }
  } catch (...) {
    // Out of memory: the hook stays; nothing may reach GLib.
  }
  return TRUE;
}

// SoupMessage's type once souphttpsrc has loaded libsoup; 0 while it is not known. The
// library is only looked up, never loaded: libsoup 2 and 3 abort in one process.
GType soup_message_type() {
  if (GType type = g_type_from_name("SoupMessage")) return type;
  for (const char* name : {"libsoup-3.0.so.0", "libsoup-2.4.so.1"}) {
    void* handle = dlopen(name, RTLD_LAZY | RTLD_NOLOAD);
    if (!handle) continue;
    using GetType = GType (*)();
    auto get_type = reinterpret_cast<GetType>(dlsym(handle, "soup_message_get_type"));
    const GType type = get_type ? get_type() : 0;
    dlclose(handle);
    if (type) return type;
  }
  return 0;
}

// Called with the guards' mutex held; true once both hooks are in place.
bool install_hooks_locked(Guards& g) {
  if (g.restarted && g.authenticate) return true;
  const GType type = soup_message_type();
  if (!type) return false;
  g_type_class_unref(g_type_class_ref(type));
  const guint restarted = g_signal_lookup("restarted", type);
  const guint authenticate = g_signal_lookup("authenticate", type);
  if (!restarted || !authenticate) return false;
  g_signal_add_emission_hook(restarted, 0, on_message_signal, nullptr, nullptr);
  g_signal_add_emission_hook(authenticate, 0, on_message_signal, nullptr, nullptr);
  g.restarted = restarted;
  g.authenticate = authenticate;
  return true;
}

void forget(gpointer, GObject* gone) {
  auto& g = guards();
  std::lock_guard lock(g.mutex);
  g.list.remove_if([&](const Guard& guard) { return G_OBJECT(guard.src) == gone; });
}

}  // namespace

void guard_http_redirects(GstElement* src, const StreamUrl& url) {
  const auto origin = origin_of(url.location);
  auto& g = guards();
  std::lock_guard lock(g.mutex);
  const bool has_credentials = url.user.has_value() || url.password.has_value();
  if (!origin || !install_hooks_locked(g)) {
    // No way to watch this libsoup's redirects: with credentials, none is followed.
    if (has_credentials) g_object_set(src, "automatic-redirect", FALSE, nullptr);
    return;
  }
  g.list.push_back({src, *origin, has_credentials, 0});
  g_object_weak_ref(G_OBJECT(src), forget, nullptr);
}

}  // namespace strovix::detail
