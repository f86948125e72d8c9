#include "fleet/camera_list.hpp"

#include <glib.h>

#include <fstream>
#include <map>
#include <sstream>

namespace strovix::tools {
namespace {

constexpr std::size_t kMaxNameLength = 64;

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::vector<std::string_view> fields_of(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && is_blank(line[i])) ++i;
    const std::size_t start = i;
    while (i < line.size() && !is_blank(line[i])) ++i;
    if (i > start) fields.push_back(line.substr(start, i - start));
  }
  return fields;
}

}  // namespace

bool valid_camera_name(std::string_view name) {
  // A leading '.' would give "." and "..", which no snapshot path can reach.
  if (name.empty() || name.size() > kMaxNameLength || name.front() == '.') return false;
  for (const char c : name) {
    if (!g_ascii_isalnum(c) && c != '-' && c != '_' && c != '.') return false;
  }
  return true;
}

std::vector<Camera> parse_camera_list(std::string_view text, const std::string& source) {
  std::vector<Camera> cameras;
  std::map<std::string, int, std::less<>> lines_by_name;
  int number = 0;
  std::size_t start = 0;
  while (start < text.size()) {
    auto end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(start, end - start);
    start = end + 1;
    ++number;
    const auto fail = [&](const std::string& what) {
      throw CameraListError(source + ":" + std::to_string(number) + ": " + what);
    };
    const auto fields = fields_of(line);
    if (fields.empty() || fields[0][0] == '#') continue;
    // Nothing of the line is quoted but a valid name: a misplaced field may be a URL with
    // its password.
    if (fields.size() != 2) {
      fail(fields.size() == 1 ? "a camera needs a name and a URL (NAME URL)"
                              : "more than NAME and URL on the line (a URL holds no blanks)");
    }
    const std::string_view name = fields[0];
    const std::string_view url = fields[1];
    if (!valid_camera_name(name)) {
      fail("bad camera name: use 1 to 64 letters, digits, '-', '_' and '.' (not first)");
    }
    if (const auto seen = lines_by_name.find(name); seen != lines_by_name.end()) {
      fail("camera '" + std::string(name) + "' is already on line " + std::to_string(seen->second));
    }
    const std::string url_text(url);
    // Interned and lower-cased by GLib, not to be freed.
    const char* raw_scheme = g_uri_peek_scheme(url_text.c_str());
    const std::string scheme = raw_scheme ? raw_scheme : "";
    if (scheme != "rtsp" && scheme != "rtsps" && scheme != "http" && scheme != "https") {
      // A scheme is letters, digits, '+', '-' and '.': safe to quote.
      fail(scheme.empty()
               ? "camera '" + std::string(name) + "' has no URL scheme (rtsp, rtsps, http or https)"
               : "camera '" + std::string(name) + "' has the unknown scheme '" + scheme +
                     "' (rtsp, rtsps, http or https)");
    }
    lines_by_name.emplace(std::string(name), number);
    cameras.push_back({std::string(name), url_text, number});
  }
  return cameras;
}

std::vector<Camera> read_camera_list(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw CameraListError("cannot read the camera list " + path);
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw CameraListError("cannot read the camera list " + path);
  return parse_camera_list(text.str(), path);
}

}  // namespace strovix::tools
