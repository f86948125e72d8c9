#pragma once
// What a fleet run knows of its cameras at one moment: sampled once a second on the main
// thread and handed, immutable, to the printers and the status server.
#include <cmath>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "strovix/frame.hpp"
#include "strovix/stream_reader/gst.hpp"

namespace strovix::tools {

// A frame newer than this keeps a streaming camera "up".
inline constexpr double kUpWithinSeconds = 5.0;

struct CameraSample {
  std::string name;
  std::string url;    // without credentials
  int stream_id = 0;  // of its reader: a new one for every reader the camera had
  // Effective options, as list options; an empty value is the library's default.
  std::vector<std::pair<std::string, std::string>> options;
  bool set_up = false;
  StreamStats stats;         // last_error without credentials; for a camera not set up, why
  double fps = 0.0;          // frames delivered per second since the previous sample
  double age_seconds = NAN;  // of the newest frame; NaN before the first
  Frame newest;              // the newest frame (image null before the first)

  // "FAILED" for a camera that could not be set up, else the reader's status.
  std::string status_text() const;
  bool up() const;
};

struct FleetSample {
  double time = 0.0;     // wall-clock seconds since the epoch
  double elapsed = 0.0;  // seconds since the run started
  std::vector<CameraSample> cameras;

  const CameraSample* find(const std::string& name) const;
};

// Text forms, built once per sample and served as they are.
// The /api/cameras array.
std::string render_cameras_json(const FleetSample& sample);
// The Prometheus text exposition of every camera.
std::string render_metrics(const FleetSample& sample);
// One --json status line per camera, each ending in '\n'.
std::string render_status_lines(const FleetSample& sample);
// The terminal table; `width` caps the last-error column's line length.
std::string render_table(const FleetSample& sample, int width);

}  // namespace strovix::tools
