#pragma once
// What the status server checks of a request before it answers it, on the server's thread.
#include <libsoup/soup.h>

#include <string>

namespace strovix::tools {

// Whether the request's headers announce a body (a length above 0, or chunks).
bool announces_body(SoupServerMessage* msg);

// Answers a request that announced a body before libsoup reads a byte of it: the connection
// is taken from libsoup, told 413 (GET, HEAD) or 405 (other methods), and closed.
void refuse_body(SoupServerMessage* msg, bool method_allowed);

bool is_read_method(const char* method);

// The host of a Host header ("name", "name:port", "[v6]:port"), lower-case.
std::string host_part(const char* header);

}  // namespace strovix::tools
