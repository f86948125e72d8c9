#pragma once
// The one place that takes URLs apart: the scheme that picks a factory, the host check, the
// user name and password that sources get as properties, the credential-free form that
// elements, logger names and messages see, and the redaction of free text.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace strovix::detail {

struct StreamUrl {
  // Lower-cased; empty when the URL has no RFC 3986 scheme.
  std::string scheme;
  // Percent-decoded; unset when the URL has no userinfo, or no ':' in it (password).
  std::optional<std::string> user;
  std::optional<std::string> password;
  // "scheme://": the URL has an authority (which may still be empty).
  bool has_authority = false;
  // The host as written, without port and brackets; empty when there is none.
  std::string host;
  // The port as written: unset when the URL names none, 0 when it is out of range.
  std::optional<int> port;
  // The URL without its userinfo: what source elements get as their location.
  std::string location;
  // The URL for logger names and messages: `location` with the values of credential-named
  // query parameters as "***", and everything that might be a user name or password
  // replaced by "***" when that cannot be told apart with certainty (after a network
  // scheme without "//": everything).
  std::string display;
  // The URL has an '@' that may end a userinfo holding '/', '?' or '#', and what precedes it
  // is no valid host: nothing can say where the credentials end.
  bool ambiguous = false;
  // Every form in which the password could be quoted: as typed, percent-decoded, escaped,
  // "user:password" and its base64 (basic authentication); and the values of credential-named
  // query parameters. Longest first.
  std::vector<std::string> secrets;
};

StreamUrl parse_stream_url(std::string_view url);

// The port to connect to: the URL's own, else its scheme's (rtsp 554, rtsps 322, http 80,
// https 443); 0 when there is neither.
int port_or_default(const StreamUrl& url);
// Whether the scheme speaks TLS (rtsps, https).
bool uses_tls(const StreamUrl& url);

// Throws StreamSetupError for an ambiguous URL: its credentials would reach the source
// element, and the server, as part of the location.
void require_unambiguous(const StreamUrl& url);

// The scheme by RFC 3986 (letter, then letters, digits, '+', '-', '.', before the first
// colon), lower-cased; empty when there is none.
std::string url_scheme(std::string_view url);

// Shorter secrets are hidden only inside URLs and the "user:password" forms: replacing every
// occurrence of one or two common characters would garble every line and point at the
// password by what is missing.
inline constexpr std::size_t kMinStandaloneSecret = 4;

// `text` with the userinfo of every URL in it removed (fail-closed: where a URL's userinfo
// cannot be delimited with certainty, everything that might belong to it is replaced by
// "***"), then every secret of at least kMinStandaloneSecret bytes replaced by "***".
std::string redact_text(std::string_view text, const std::vector<std::string>& secrets);

// The forms in which a password may be quoted, each added once to `secrets`: as typed,
// percent-decoded and -encoded, "user:password" in both, and base64 of that and of the password.
void add_password_forms(std::vector<std::string>& secrets, const std::string& user_raw,
                        const std::string& password_raw);
// Adds a non-empty secret not there yet.
void add_secret(std::vector<std::string>& secrets, std::string secret);
// Longest first, so that a secret that contains another is replaced whole.
void sort_longest_first(std::vector<std::string>& secrets);
std::string percent_encode(const std::string& text);
std::string base64(const std::string& text);

// Every form of every password a pipeline description may hold, by every reading: for each
// URL in it, the userinfo up to each later '@' (nothing tells where a password with blanks,
// quotes or delimiters ends), and the values of user-pw and proxy-pw properties. Longest
// first. More than the true secrets, never fewer.
std::vector<std::string> description_secrets(std::string_view description);

// Throws StreamSetupError for a network URL that must not reach a source element: control
// characters, text that is not UTF-8, ambiguous credentials, a missing host.
void check_network_url(const std::string& url, const StreamUrl& parsed);

// rtsp, rtsps, http or https, in any case.
bool is_network_scheme(std::string_view scheme);

// Adds the values (as written and percent-decoded) of every credential-named parameter
// ("?pwd=...", "&token=...", any case; the names are listed in README.md) in `text`.
void add_query_secrets(std::string_view text, std::vector<std::string>& secrets);

// `text` with the value of every credential-named parameter replaced by "***".
std::string redact_query_secrets(std::string_view text);

// `text` with everything after "rtsp:", "http:" (and their TLS forms) replaced by "***" where
// the scheme is not followed by "//": nothing delimits a password in such a URL.
std::string redact_schemeless_urls(std::string_view text);

}  // namespace strovix::detail

// The public redaction functions (strovix/redaction.hpp) are defined with this module:
//   strovix::redact_credentials(text, secrets) -> redact_text(text, secrets)
//   strovix::redact_url(url)                   -> parse_stream_url(url).display
//   strovix::url_secrets(url)                  -> parse_stream_url(url).secrets
