// "_strovix_testing": what the Python tests and the benchmark need from C++: the in-process
// RTSP server, throwers of the library's exceptions, a counter of GLib warnings and the C++
// side of the latest_frame() cost.
#include <glib.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "strovix/errors.hpp"
#include "strovix/gobject_init.hpp"
#include "strovix/stream_reader/gst.hpp"
#include "support/rtsp_server.hpp"
#include "support/tolerated_quirks.hpp"

namespace py = pybind11;
using namespace strovix;

namespace {

std::mutex g_warnings_mutex;  // guards g_warnings
std::vector<std::string> g_warnings;

void note_glib_warning(const gchar* domain, GLogLevelFlags level, const gchar* message, gpointer) {
  if (!(level & (G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING))) {
    g_log_default_handler(domain, level, message, nullptr);
    return;
  }
  if (strovix::testing::is_tolerated_quirk(level, message)) return;
  std::lock_guard lock(g_warnings_mutex);
  g_warnings.push_back(std::string((level & G_LOG_LEVEL_CRITICAL) ? "CRITICAL" : "WARNING") +
                       " in " + (domain ? domain : "(none)") + ": " + (message ? message : ""));
}

void install_glib_warning_counter() {
  gobject_init::start();
  for (const char* domain : strovix::testing::kWatchedLogDomains) {
    g_log_set_handler(domain,
                      static_cast<GLogLevelFlags>(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING),
                      note_glib_warning, nullptr);
  }
  g_log_set_default_handler(note_glib_warning, nullptr);
}

std::vector<std::string> glib_warnings() {
  std::lock_guard lock(g_warnings_mutex);
  return g_warnings;
}

void throw_error(const std::string& kind, const std::string& message) {
  if (kind == "StreamSetupError") throw StreamSetupError(message);
  if (kind == "SampleConversionError") throw SampleConversionError(message);
  if (kind == "RuntimeOptionError") throw RuntimeOptionError(message);
  throw std::logic_error("unknown error kind " + kind);
}

// Reads a custom pipeline for `seconds` from C++ the way the Python benchmark does from Python:
// wait for latest_frame_event, take the frame; then calls latest_frame() `repeat_calls` times
// in a row for the frame it holds.
py::dict cpp_latest_frame_cost(const std::string& pipeline_str, double seconds, int repeat_calls) {
  using clock = std::chrono::steady_clock;
  double new_frame_ns = 0;
  long frames = 0;
  double repeat_ns = 0;
  double elapsed = 0;
  {
    py::gil_scoped_release release;
    gobject_init::start();
    GstStreamReader::Options options;
    options.pipeline_str = pipeline_str;
    GstStreamReader reader(0, "bench", {}, options);
    while (!reader.latest_frame().image && reader.latest_frame_event()->wait(10.0)) {
    }
    const auto start = clock::now();
    const auto end =
        start + std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(seconds));
    double last = 0;
    while (clock::now() < end) {
      if (!reader.latest_frame_event()->wait(1.0)) break;
      const auto t0 = clock::now();
      Frame frame = reader.latest_frame();
      const auto t1 = clock::now();
      if (frame.image && frame.timestamp != last) {
        last = frame.timestamp;
        ++frames;
        new_frame_ns += std::chrono::duration<double, std::nano>(t1 - t0).count();
      }
    }
    elapsed = std::chrono::duration<double>(clock::now() - start).count();
    const auto t0 = clock::now();
    std::size_t sink = 0;
    for (int i = 0; i < repeat_calls; ++i) sink += reader.latest_frame().image != nullptr;
    repeat_ns = std::chrono::duration<double, std::nano>(clock::now() - t0).count() /
                std::max(1, repeat_calls);
    if (sink == 0) repeat_ns = -1;  // the reader closed under the loop: no figure
    reader.wait_until_closed();
  }
  py::dict out;
  out["frames"] = frames;
  out["seconds"] = elapsed;
  out["new_frame_ns"] = frames ? new_frame_ns / static_cast<double>(frames) : 0.0;
  out["repeat_ns"] = repeat_ns;
  return out;
}

}  // namespace

PYBIND11_MODULE(_strovix_testing, m) {
  using testing::RtspCodec;
  using testing::RtspTestServer;
  m.def("install_glib_warning_counter", &install_glib_warning_counter);
  m.def("glib_warnings", &glib_warnings);
  m.def("throw_error", &throw_error, py::arg("kind"), py::arg("message"));
  m.def("cpp_latest_frame_cost", &cpp_latest_frame_cost, py::arg("pipeline_str"),
        py::arg("seconds"), py::arg("repeat_calls") = 1000000);

  py::class_<RtspTestServer>(m, "RtspServer")
      .def(py::init([](bool tls) {
             gobject_init::start();
             RtspTestServer::Options o;
             o.tls = tls;
             return std::make_unique<RtspTestServer>(o);
           }),
           py::arg("tls") = false)
      .def_property_readonly("tls_ca_file", &RtspTestServer::tls_ca_file)
      .def(
          "add_mount",
          [](RtspTestServer& self, const std::string& path, const std::string& codec, int width,
             int height, int fps, int key_int_max, bool require_auth) {
            testing::RtspMountOptions o;
            o.codec = codec == "h265"    ? RtspCodec::H265
                      : codec == "mjpeg" ? RtspCodec::MJPEG
                                         : RtspCodec::H264;
            o.width = width;
            o.height = height;
            o.fps = fps;
            o.key_int_max = key_int_max;
            o.require_auth = require_auth;
            self.add_mount(path, o);
          },
          py::arg("path"), py::arg("codec") = "h264", py::arg("width") = 320,
          py::arg("height") = 240, py::arg("fps") = 30, py::arg("key_int_max") = 30,
          py::arg("require_auth") = false)
      .def("start", &RtspTestServer::start, py::call_guard<py::gil_scoped_release>())
      .def("stop", &RtspTestServer::stop, py::call_guard<py::gil_scoped_release>())
      .def("url", &RtspTestServer::url)
      .def("url_with_credentials",
           py::overload_cast<const std::string&, const std::string&, const std::string&>(
               &RtspTestServer::url_with_credentials, py::const_))
      .def_property_readonly("user", [](const RtspTestServer& s) { return s.options().user; })
      .def_property_readonly("password",
                             [](const RtspTestServer& s) { return s.options().password; });
}
