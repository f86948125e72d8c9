#pragma once
// The camera list of a fleet run: one "NAME URL" per line.
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace strovix::tools {

struct Camera {
  std::string name;
  std::string url;
  int line = 0;  // in the list, from 1
};

// A list that cannot be used; what() names the line, never its URL (it may hold a password).
class CameraListError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Letters, digits, '-', '_' and '.', at most 64 of them: safe in a URL path, a Prometheus
// label, a file name and a table column without quoting.
bool valid_camera_name(std::string_view name);

// Parses a list's text; `source` names it in errors ("FILE:LINE: ..."). '#' starts a comment
// line; blank lines are skipped. Throws CameraListError for a line that is not NAME URL, a
// bad or repeated name, or a scheme other than rtsp, http and https.
std::vector<Camera> parse_camera_list(std::string_view text, const std::string& source);

// Reads and parses the file; throws CameraListError, also when it cannot be read.
std::vector<Camera> read_camera_list(const std::string& path);

}  // namespace strovix::tools
