#include "fleet/camera_list.hpp"

#include <glib.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "strovix/redaction.hpp"

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

// The CLI's option names, without their dashes; flags take true or false.
struct OptionKey {
  const char* key;
  bool flag;
};
constexpr OptionKey kOptionKeys[] = {
    {"tcp", true},      {"keyframes-only", true}, {"size", false},   {"format", false},
    {"latency", false}, {"backoff", false},       {"tls-ca", false}, {"tls-insecure", true}};

const OptionKey* find_key(std::string_view key) {
  for (const auto& k : kOptionKeys) {
    if (key == k.key) return &k;
  }
  return nullptr;
}

bool looks_like_key(std::string_view key) {
  if (key.empty() || key.size() > 32) return false;
  for (const char c : key) {
    if (!g_ascii_islower(c) && !g_ascii_isdigit(c) && c != '-') return false;
  }
  return true;
}

bool parse_flag(const std::string& key, const std::string& value) {
  if (value == "true" || value == "yes" || value == "on" || value == "1") return true;
  if (value == "false" || value == "no" || value == "off" || value == "0") return false;
  throw ArgError(key + " needs true or false, not '" + value + "'");
}

// Sets one option; the values go through the command line's own parser, so a list accepts
// exactly what the options do. Throws ArgError.
void apply_option(ReadArgs& args, const std::string& key, const std::string& value) {
  if (key == "tcp") {
    args.tcp = parse_flag(key, value);
  } else if (key == "keyframes-only") {
    args.keyframes_only = parse_flag(key, value);
  } else if (key == "tls-insecure") {
    // The camera's own choice wins over the command line's CA.
    args.tls_insecure = parse_flag(key, value);
    if (args.tls_insecure) args.tls_ca.reset();
  } else {
    const ReadArgs one = parse_read_args({"--" + key, value});
    if (key == "size") {
      args.width = one.width;
      args.height = one.height;
    } else if (key == "format") {
      args.format = one.format;
    } else if (key == "latency") {
      args.latency_ms = one.latency_ms;
    } else if (key == "backoff") {
      args.backoff = one.backoff;
    } else if (key == "tls-ca") {
      args.tls_ca = one.tls_ca;
      args.tls_insecure = false;
    }
  }
}

std::string seconds_text(double value) {
  char buf[32];
  std::snprintf(buf, sizeof(buf), "%g", value);
  return buf;
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
    // Nothing of the line is quoted but a valid name and option keys: a misplaced field may
    // be a URL with its password.
    if (fields.size() == 1) fail("a camera needs a name and a URL (NAME URL)");
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
    Camera camera{std::string(name), url_text, {}, number};
    ReadArgs scratch;
    bool has_ca = false;
    bool insecure = false;
    for (std::size_t f = 2; f < fields.size(); ++f) {
      const std::string_view field = fields[f];
      const auto eq = field.find('=');
      const std::string_view key = field.substr(0, eq);
      const OptionKey* known = find_key(key);
      if (!known) {
        // Only a key that looks like an option name is quoted: anything else may be a piece
        // of a URL split at a blank.
        const std::string what = looks_like_key(key) ? "'" + std::string(key) + "' is not an option"
                                                     : "a field is not an option KEY=VALUE";
        fail((eq == std::string_view::npos ? "more than NAME and URL on the line of camera '" +
                                                 std::string(name) + "' (a URL holds no blanks): "
                                           : "camera '" + std::string(name) + "': ") +
             what + " (tcp, keyframes-only, size, format, latency, backoff, tls-ca, tls-insecure)");
      }
      if (eq == std::string_view::npos && !known->flag) {
        fail("camera '" + std::string(name) + "': option '" + std::string(key) +
             "' needs a value (" + std::string(key) + "=...)");
      }
      const std::string value =
          eq == std::string_view::npos ? "true" : std::string(field.substr(eq + 1));
      try {
        apply_option(scratch, std::string(key), value);
      } catch (const ArgError& e) {
        fail("camera '" + std::string(name) + "': bad " + std::string(key) + ": " +
             redact_credentials(e.what()));
      }
      has_ca = has_ca || key == "tls-ca";
      insecure = insecure || (key == "tls-insecure" && scratch.tls_insecure);
      camera.options.emplace_back(std::string(key), value);
    }
    if (has_ca && insecure) {
      fail("camera '" + std::string(name) + "': tls-ca and tls-insecure contradict each other");
    }
    lines_by_name.emplace(std::string(name), number);
    cameras.push_back(std::move(camera));
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

ReadArgs camera_args(const ReadArgs& defaults, const Camera& camera) {
  ReadArgs args = defaults;
  for (const auto& [key, value] : camera.options) apply_option(args, key, value);
  return args;
}

std::vector<std::pair<std::string, std::string>> effective_options(const ReadArgs& args) {
  const char* format = args.format == PixelFormat::RGB     ? "rgb"
                       : args.format == PixelFormat::GRAY8 ? "gray"
                                                           : "bgr";
  // An empty value is the library's default.
  return {
      {"tcp", args.tcp ? "true" : "false"},
      {"keyframes-only", args.keyframes_only ? "true" : "false"},
      {"size", args.width || args.height
                   ? std::to_string(args.width) + "x" + std::to_string(args.height)
                   : ""},
      {"format", format},
      {"latency", args.latency_ms ? std::to_string(*args.latency_ms) : ""},
      {"backoff", args.backoff
                      ? seconds_text(args.backoff->base) + "," + seconds_text(args.backoff->max) +
                            "," + seconds_text(args.backoff->randomness)
                      : ""},
      {"tls-ca", args.tls_ca.value_or("")},
      {"tls-insecure", args.tls_insecure ? "true" : "false"},
  };
}

}  // namespace strovix::tools
