#pragma once
// Credential redaction and control-character escaping for texts a host shows or logs itself.
#include <string>
#include <string_view>
#include <vector>

#include "strovix/export.hpp"

namespace strovix {

// `text` with the userinfo ("user:password@") of every URL in it removed, and with every
// occurrence of the given secrets of four bytes or more replaced by "***". Fails closed:
// where a URL's userinfo cannot be delimited with certainty (a quote, comma or blank inside
// it, or a host that is not one), everything up to the line's last '@' becomes "***".
STROVIX_EXPORT std::string redact_credentials(std::string_view text,
                                              const std::vector<std::string>& secrets = {});

// The URL without its user name and password, for display.
STROVIX_EXPORT std::string redact_url(std::string_view url);

// Every form in which the URL's password could be quoted (as typed, percent-decoded and
// -encoded, "user:password" and its base64), for redact_credentials; empty without one.
STROVIX_EXPORT std::vector<std::string> url_secrets(std::string_view url);

// `text` with every control character (C0, DEL, C1) and every byte that is not part of
// well-formed UTF-8 written as "\xNN" (line feed, carriage return and tab as "\n", "\r",
// "\t"), so that text from a camera or server can neither
// drive a terminal nor break a line in two. Printable text, UTF-8 included, is unchanged.
STROVIX_EXPORT std::string escape_control(std::string_view text);

}  // namespace strovix
