#include <cstdio>

#include "common/json.hpp"
#include "fleet/fleet_state.hpp"

namespace strovix::tools {
namespace {

std::string optional_time(double t) { return t > 0 ? json_number(t, "%.3f") : "null"; }

std::string optional_text(const std::string& text) {
  return text.empty() ? "null" : json_string(text);
}

// {"tcp":false,"size":"320x240","latency":null,...}: flags as booleans, defaults as null.
std::string options_json(const CameraSample& c) {
  std::string out = "{";
  for (const auto& [key, value] : c.options) {
    if (out.size() > 1) out += ",";
    out += json_string(key) + ":";
    if (value == "true" || value == "false") {
      out += value;
    } else {
      out += value.empty() ? "null" : json_string(value);
    }
  }
  return out + "}";
}

// Prometheus sample values: NaN is written as such.
std::string metric_number(double value) {
  if (std::isnan(value)) return "NaN";
  char buf[64];
  std::snprintf(buf, sizeof(buf), "%.6g", value);
  return buf;
}

}  // namespace

std::string CameraSample::status_text() const {
  return set_up ? std::string(to_string(stats.status)) : "FAILED";
}

bool CameraSample::up() const {
  return set_up && stats.status == StreamStatus::STREAMING && std::isfinite(age_seconds) &&
         age_seconds <= kUpWithinSeconds;
}

const CameraSample* FleetSample::find(const std::string& name) const {
  for (const auto& camera : cameras) {
    if (camera.name == name) return &camera;
  }
  return nullptr;
}

std::string render_cameras_json(const FleetSample& sample) {
  std::string out = "[";
  for (std::size_t i = 0; i < sample.cameras.size(); ++i) {
    const auto& c = sample.cameras[i];
    const auto& s = c.stats;
    if (i) out += ",";
    out += "\n{\"name\":" + json_string(c.name) + ",\"url\":" + json_string(c.url) +
           ",\"stream_id\":" + std::to_string(c.stream_id) + ",\"options\":" + options_json(c) +
           ",\"status\":" + json_string(c.status_text()) +
           ",\"up\":" + (c.up() ? "true" : "false") + ",\"fps\":" + json_number(c.fps, "%.2f") +
           ",\"frames_delivered\":" + std::to_string(s.frames_delivered) +
           ",\"frames_replaced\":" + std::to_string(s.frames_replaced) +
           ",\"restarts\":" + std::to_string(s.restarts) +
           ",\"packets_lost\":" + std::to_string(s.packets_lost) +
           ",\"frames_damaged_dropped\":" + std::to_string(s.frames_damaged_dropped) +
           ",\"last_error\":" + optional_text(s.last_error) +
           ",\"last_error_time\":" + optional_time(s.last_error_time) +
           ",\"age_ms\":" + json_number(c.age_seconds * 1000.0, "%.1f") +
           ",\"width\":" + (s.width > 0 ? std::to_string(s.width) : "null") +
           ",\"height\":" + (s.height > 0 ? std::to_string(s.height) : "null") +
           ",\"codec\":" + optional_text(s.codec) +
           ",\"transport\":" + optional_text(s.transport) + "}";
  }
  return out + "\n]\n";
}

std::string render_metrics(const FleetSample& sample) {
  struct Family {
    const char* name;
    const char* type;
    const char* help;
    double (*value)(const CameraSample&);
  };
  static const Family families[] = {
      {"strovix_frames_delivered_total", "counter", "Frames the camera's reader delivered.",
       [](const CameraSample& c) { return static_cast<double>(c.stats.frames_delivered); }},
      {"strovix_frames_replaced_total", "counter",
       "Delivered frames replaced by a newer one before they were read.",
       [](const CameraSample& c) { return static_cast<double>(c.stats.frames_replaced); }},
      {"strovix_restarts_total", "counter", "Pipeline restarts, failed attempts included.",
       [](const CameraSample& c) { return static_cast<double>(c.stats.restarts); }},
      {"strovix_packets_lost_total", "counter",
       "RTP packets of the camera's video that never arrived (rtsp).",
       [](const CameraSample& c) { return static_cast<double>(c.stats.packets_lost); }},
      {"strovix_frames_damaged_dropped_total", "counter",
       "Frames not delivered because they were built on lost packets.",
       [](const CameraSample& c) { return static_cast<double>(c.stats.frames_damaged_dropped); }},
      {"strovix_up", "gauge", "1 when the camera is streaming with a frame in the last 5 s.",
       [](const CameraSample& c) { return c.up() ? 1.0 : 0.0; }},
      {"strovix_frame_age_seconds", "gauge",
       "Age of the camera's newest frame; NaN before the first.",
       [](const CameraSample& c) { return c.age_seconds; }},
      {"strovix_fps", "gauge", "Frames delivered per second over the last second.",
       [](const CameraSample& c) { return c.fps; }},
  };
  std::string out;
  for (const auto& family : families) {
    out += std::string("# HELP ") + family.name + " " + family.help + "\n# TYPE " + family.name +
           " " + family.type + "\n";
    // Names are letters, digits, '-', '_' and '.': nothing to escape in a label value.
    for (const auto& c : sample.cameras) {
      out += std::string(family.name) + "{camera=\"" + c.name + "\"} " +
             metric_number(family.value(c)) + "\n";
    }
  }
  return out;
}

std::string render_status_lines(const FleetSample& sample) {
  std::string out;
  for (const auto& c : sample.cameras) {
    const auto& s = c.stats;
    out += "{\"camera\":" + json_string(c.name) +
           ",\"type\":\"status\",\"t\":" + json_number(sample.elapsed, "%.2f") +
           ",\"stream_id\":" + std::to_string(c.stream_id) +
           ",\"status\":" + json_string(c.status_text()) +
           ",\"fps\":" + json_number(c.fps, "%.2f") +
           ",\"frames\":" + std::to_string(s.frames_delivered) +
           ",\"age_ms\":" + json_number(c.age_seconds * 1000.0, "%.1f") +
           ",\"width\":" + (s.width > 0 ? std::to_string(s.width) : "null") +
           ",\"height\":" + (s.height > 0 ? std::to_string(s.height) : "null") +
           ",\"restarts\":" + std::to_string(s.restarts) +
           ",\"packets_lost\":" + std::to_string(s.packets_lost) +
           ",\"frames_damaged_dropped\":" + std::to_string(s.frames_damaged_dropped) +
           ",\"transport\":" + optional_text(s.transport) +
           ",\"last_error\":" + optional_text(s.last_error) + "}\n";
  }
  return out;
}

std::string render_table(const FleetSample& sample, int width) {
  std::size_t name_width = 6;
  for (const auto& c : sample.cameras) name_width = std::max(name_width, c.name.size());
  char buf[256];
  std::snprintf(buf, sizeof(buf),
                "strovix-read: %zu cameras, %.0f s\n%-*s  %-12s %6s %9s %8s  %s\n",
                sample.cameras.size(), sample.elapsed, static_cast<int>(name_width), "CAMERA",
                "STATUS", "FPS", "AGE", "RESTARTS", "LAST ERROR");
  std::string out = buf;
  for (const auto& c : sample.cameras) {
    std::string age = "-";
    if (std::isfinite(c.age_seconds)) {
      std::snprintf(buf, sizeof(buf), c.age_seconds < 10 ? "%.0f ms" : "%.0f s",
                    c.age_seconds < 10 ? c.age_seconds * 1000.0 : c.age_seconds);
      age = buf;
    }
    std::string error = c.stats.last_error.empty() ? "-" : c.stats.last_error;
    for (auto& ch : error) {
      if (ch == '\n' || ch == '\r' || ch == '\t') ch = ' ';
    }
    std::snprintf(buf, sizeof(buf), "%-*s  %-12s %6.1f %9s %8llu  ", static_cast<int>(name_width),
                  c.name.c_str(), c.status_text().c_str(), c.fps, age.c_str(),
                  static_cast<unsigned long long>(c.stats.restarts));
    std::string row = buf;
    const std::size_t room =
        width > 0 && static_cast<std::size_t>(width) > row.size() + 8 ? width - row.size() : 0;
    if (room && error.size() > room) error = error.substr(0, room - 3) + "...";
    out += row + error + "\n";
  }
  return out;
}

}  // namespace strovix::tools
