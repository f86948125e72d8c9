#pragma once
// The camera list of a fleet run: one "NAME URL [key=value ...]" per line.
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "read/read_args.hpp"

namespace strovix::tools {

struct Camera {
  std::string name;
  std::string url;
  // The line's own options, as written ("tcp" alone is "tcp=true"), in their order; they
  // override the command line's for this camera.
  std::vector<std::pair<std::string, std::string>> options;
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
// line; blank lines are skipped. Throws CameraListError for a line that is not NAME URL
// followed by known options, a bad or repeated name, a scheme other than rtsp, http and
// https, or an option that is unknown or has a bad value.
std::vector<Camera> parse_camera_list(std::string_view text, const std::string& source);

// Reads and parses the file; throws CameraListError, also when it cannot be read.
std::vector<Camera> read_camera_list(const std::string& path);

// The settings of one camera: the command line's, overridden by the camera's own options.
// Options were checked when the list was parsed; throws ArgError if one no longer applies.
ReadArgs camera_args(const ReadArgs& defaults, const Camera& camera);

// The options a camera runs with, as list options in a fixed order ("tcp=false
// keyframes-only=true size=320x240 ..."): what the page shows, and what tells whether a
// camera changed between two lists.
std::vector<std::pair<std::string, std::string>> effective_options(const ReadArgs& args);

}  // namespace strovix::tools
