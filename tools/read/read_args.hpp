#pragma once
// Command-line arguments of strovix-read.
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/option_arg.hpp"
#include "strovix/frame.hpp"

namespace strovix::tools {

struct Backoff {
  double base = 0.0;
  double max = 0.0;
  double randomness = 0.0;
};

struct ReadArgs {
  std::optional<std::string> url;
  std::optional<std::string> pipeline;
  bool keyframes_only = false;
  std::optional<int> latency_ms;  // unset: the library's default
  bool tcp = false;
  std::optional<std::string> tls_ca;  // --tls-ca: PEM file of the certificates to trust
  bool tls_insecure = false;          // --tls-insecure: accept any certificate
  bool must_play = false;
  std::optional<double> duration;  // seconds; unset: until Ctrl-C
  std::optional<std::string> snapshot;
  bool json = false;
  bool log_json = false;  // --log-format json: stderr lines as JSON objects
  bool quiet = false;
  bool help = false;
  std::optional<Backoff> backoff;  // unset: the library's defaults
  int width = 0;                   // --size; 0: the source's
  int height = 0;
  PixelFormat format = PixelFormat::BGR;  // --format
};

// Parses the arguments after the program name; throws ArgError.
ReadArgs parse_read_args(const std::vector<std::string>& args);

std::string read_usage();

// Whether the arguments ask for --log-format json, looked for before they are parsed so that
// even an argument error is reported in that format.
bool wants_json_log(const std::vector<std::string>& args);

// Whether `path` ends in .png (otherwise .jpg / .jpeg), ignoring case.
bool is_png_path(const std::string& path);
bool is_jpeg_path(const std::string& path);

}  // namespace strovix::tools
