// Secrets that sit outside a URL's userinfo: credential-named query parameters
// ("?user=admin&pwd=..."), and network URLs whose scheme lacks its "//", where nothing
// delimits a userinfo at all.
#include <glib.h>

#include <algorithm>
#include <array>
#include <string>
#include <string_view>

#include "logging/url.hpp"
#include "strovix/gst/handles.hpp"

namespace strovix::detail {
namespace {

// Parameter names that carry a password or an equivalent token, compared without case.
constexpr std::array<std::string_view, 25> kSecretParameters = {"password",
                                                                "pass",
                                                                "passwd",
                                                                "pwd",
                                                                "psw",
                                                                "token",
                                                                "access_token",
                                                                "auth",
                                                                "key",
                                                                "apikey",
                                                                "api_key",
                                                                "secret",
                                                                "signature",
                                                                "sig",
                                                                "passphrase",
                                                                "credential",
                                                                "credentials",
                                                                "authtoken",
                                                                "auth_token",
                                                                "refresh_token",
                                                                "id_token",
                                                                "client_secret",
                                                                "x-amz-signature",
                                                                "x-amz-credential",
                                                                "x-amz-security-token"};

constexpr std::array<std::string_view, 4> kNetworkSchemes = {"rtsp", "rtsps", "http", "https"};

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && g_ascii_strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// Ends a parameter's value in a URL or in free text quoting one.
bool ends_value(char c) {
  return c == '&' || c == ';' || c == '#' || g_ascii_isspace(c) ||
         std::string_view("\"'<>),").find(c) != std::string_view::npos;
}

bool is_name_char(char c) { return g_ascii_isalnum(c) || c == '_' || c == '-' || c == '.'; }

// Calls `on_value(name_start, value_start, value_end)` for every "NAME=value" of a
// credential name that follows '?', '&' or ';' in `text`.
template <typename F>
void for_each_secret_parameter(std::string_view text, F&& on_value) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '?' && text[i] != '&' && text[i] != ';') continue;
    std::size_t eq = i + 1;
    while (eq < text.size() && is_name_char(text[eq])) ++eq;
    if (eq >= text.size() || text[eq] != '=') continue;
    const std::string_view name = text.substr(i + 1, eq - i - 1);
    const bool secret = std::any_of(kSecretParameters.begin(), kSecretParameters.end(),
                                    [&](std::string_view s) { return iequals(s, name); });
    if (!secret) continue;
    std::size_t end = eq + 1;
    while (end < text.size() && !ends_value(text[end])) ++end;
    on_value(eq + 1, end);
    i = end - 1;
  }
}

}  // namespace

bool is_network_scheme(std::string_view scheme) {
  return std::any_of(kNetworkSchemes.begin(), kNetworkSchemes.end(),
                     [&](std::string_view s) { return iequals(s, scheme); });
}

void add_query_secrets(std::string_view text, std::vector<std::string>& secrets) {
  for_each_secret_parameter(text, [&](std::size_t begin, std::size_t end) {
    if (begin == end) return;
    const std::string raw(text.substr(begin, end - begin));
    std::string plus_as_space = raw;
    std::replace(plus_as_space.begin(), plus_as_space.end(), '+', ' ');
    for (const std::string& form : {raw, plus_as_space}) {
      GCharPtr decoded(g_uri_unescape_string(form.c_str(), nullptr));
      for (const std::string& candidate : {form, decoded ? std::string(decoded.get()) : form}) {
        if (std::find(secrets.begin(), secrets.end(), candidate) == secrets.end()) {
          secrets.push_back(candidate);
        }
      }
    }
  });
}

std::string redact_query_secrets(std::string_view text) {
  std::string out;
  std::size_t copied = 0;
  for_each_secret_parameter(text, [&](std::size_t begin, std::size_t end) {
    out.append(text.substr(copied, begin - copied));
    out.append("***");
    copied = end;
  });
  out.append(text.substr(copied));
  return out;
}

std::string redact_schemeless_urls(std::string_view text) {
  std::string out;
  std::size_t copied = 0;
  for (std::size_t colon = text.find(':'); colon != std::string_view::npos;
       colon = text.find(':', colon + 1)) {
    if (colon < copied) continue;
    std::size_t start = colon;
    while (start > copied && g_ascii_isalpha(text[start - 1])) --start;
    if (start > 0 && (g_ascii_isalnum(text[start - 1]) || text[start - 1] == '+' ||
                      text[start - 1] == '-' || text[start - 1] == '.')) {
      continue;
    }
    if (!is_network_scheme(text.substr(start, colon - start))) continue;
    if (text.substr(colon + 1, 2) == "//") continue;
    std::size_t end = colon + 1;
    // Everything after the scheme may be a user name and password: up to the end of the
    // line's last '@' if there is one, else to the next blank.
    const std::size_t line_end = std::min(text.find('\n', end), text.size());
    const auto at = text.substr(0, line_end).rfind('@');
    if (at != std::string_view::npos && at > colon) end = at + 1;
    while (end < line_end && !g_ascii_isspace(text[end]) && text[end] != '"' && text[end] != '\'')
      ++end;
    // "http: proxy refused" quotes no URL.
    if (end == colon + 1) continue;
    out.append(text.substr(copied, colon + 1 - copied));
    out.append("***");
    copied = end;
  }
  out.append(text.substr(copied));
  return out;
}

}  // namespace strovix::detail
