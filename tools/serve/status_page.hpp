#pragma once
#include <string>

namespace strovix::tools {

// The status page: self-contained HTML, CSS and script that draws one tile per camera from
// /api/cameras and refreshes each tile's thumbnail about once a second.
const std::string& status_page_html();

// Its Content-Security-Policy: nothing is fetched from anywhere but this server.
inline constexpr const char* kStatusPagePolicy =
    "default-src 'none'; connect-src 'self'; img-src 'self'; style-src 'unsafe-inline'; "
    "script-src 'unsafe-inline'";

}  // namespace strovix::tools
