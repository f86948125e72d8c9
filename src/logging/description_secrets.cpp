// The passwords a custom pipeline description may hold, read every way the parser might.
#include <glib.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "logging/url.hpp"

namespace strovix::detail {

namespace {

// A property value in a pipeline description: quoted (backslash escapes removed, as the
// parser does) or up to the next blank.
std::string description_value(std::string_view text, std::size_t from) {
  std::string value;
  if (from < text.size() && (text[from] == '"' || text[from] == '\'')) {
    const char quote = text[from];
    for (std::size_t i = from + 1; i < text.size() && text[i] != quote; ++i) {
      if (text[i] == '\\' && i + 1 < text.size()) ++i;
      value.push_back(text[i]);
    }
    return value;
  }
  for (std::size_t i = from; i < text.size() && !g_ascii_isspace(text[i]); ++i) {
    value.push_back(text[i]);
  }
  return value;
}

std::string without_escapes(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) ++i;
    out.push_back(text[i]);
  }
  return out;
}

// The value of `name=` in the description, or "" when it is not there.
std::string description_property(std::string_view text, std::string_view name) {
  for (auto hit = text.find(name); hit != std::string_view::npos; hit = text.find(name, hit + 1)) {
    const bool starts_word = hit == 0 || g_ascii_isspace(text[hit - 1]);
    const std::size_t eq = hit + name.size();
    if (starts_word && eq < text.size() && text[eq] == '=') return description_value(text, eq + 1);
  }
  return {};
}

}  // namespace

std::vector<std::string> description_secrets(std::string_view text) {
  // Bounds the readings of one URL: a description rarely holds more than a few '@'.
  constexpr int kMaxReadings = 32;
  std::vector<std::string> secrets;
  for (auto sep = text.find("://"); sep != std::string_view::npos;
       sep = text.find("://", sep + 3)) {
    const std::size_t start = sep + 3;
    int readings = 0;
    for (auto at = text.find('@', start); at != std::string_view::npos && readings < kMaxReadings;
         at = text.find('@', at + 1), ++readings) {
      const std::string userinfo(text.substr(start, at - start));
      const auto colon = userinfo.find(':');
      if (colon == std::string::npos) continue;
      for (const std::string& form : {userinfo, without_escapes(userinfo)}) {
        const auto c = form.find(':');
        add_password_forms(secrets, form.substr(0, c), form.substr(c + 1));
      }
    }
  }
  for (const auto& [user_name, password_name] :
       {std::pair{"user-id", "user-pw"}, std::pair{"proxy-id", "proxy-pw"}}) {
    const std::string password = description_property(text, password_name);
    if (password.empty()) continue;
    const std::string user = description_property(text, user_name);
    add_secret(secrets, password);
    add_secret(secrets, percent_encode(password));
    add_secret(secrets, user + ":" + password);
    add_secret(secrets, base64(user + ":" + password));
    add_secret(secrets, base64(password));
  }
  add_query_secrets(text, secrets);
  sort_longest_first(secrets);
  return secrets;
}

}  // namespace strovix::detail
