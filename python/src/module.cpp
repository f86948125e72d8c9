// The "strovix._strovix" extension: exception classes, the status enumeration, events, the
// reader and the bridge from the library's log lines to Python's logging.
#include <pybind11/stl.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <optional>

#include "bindings.hpp"
#include "strovix/errors.hpp"
#include "strovix/event.hpp"
#include "strovix/stream_reader/base.hpp"
#include "strovix/stream_reader/gst.hpp"

namespace strovix::python {

namespace {

// Waits in slices so that Ctrl-C (a signal handled on the main thread) ends a long wait.
bool wait_event(Event& event, std::optional<double> timeout) {
  using clock = std::chrono::steady_clock;
  if (timeout && std::isnan(*timeout)) throw py::value_error("timeout must be a number");
  const auto start = clock::now();
  for (;;) {
    double slice = 0.1;
    if (timeout) {
      const double left = *timeout - std::chrono::duration<double>(clock::now() - start).count();
      slice = std::max(0.0, std::min(slice, left));
    }
    if (without_gil([&] { return event.wait(slice); })) return true;
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    if (timeout && std::chrono::duration<double>(clock::now() - start).count() >= *timeout) {
      return false;
    }
  }
}

}  // namespace

void bind_events(py::module_& m) {
  py::class_<Event, std::shared_ptr<Event>>(
      m, "Event", "A manual-reset event: stays set until clear(); every waiter wakes on set().")
      .def(py::init<>())
      .def("set", &Event::set)
      .def("clear", &Event::clear)
      .def("is_set", &Event::is_set)
      .def("wait", &wait_event, py::arg("timeout") = py::none(),
           "Blocks (without the GIL) until the event is set or `timeout` seconds have passed; "
           "returns whether it is set.");
}

}  // namespace strovix::python

PYBIND11_MODULE(_strovix, m) {
  namespace py = pybind11;
  using namespace strovix;
  m.doc() = "A live-video stream reader on GStreamer with zero-copy numpy frames.";

  py::register_exception<StreamSetupError>(m, "StreamSetupError", PyExc_RuntimeError);
  py::register_exception<SampleConversionError>(m, "SampleConversionError", PyExc_RuntimeError);
  py::register_exception<RuntimeOptionError>(m, "RuntimeOptionError", PyExc_ValueError);

  py::enum_<StreamStatus>(m, "StreamStatus")
      .value("INITIALIZING", StreamStatus::INITIALIZING)
      .value("STREAMING", StreamStatus::STREAMING)
      .value("HALTED", StreamStatus::HALTED)
      .value("CLOSED", StreamStatus::CLOSED);

  py::class_<StreamStats>(m, "StreamStats")
      .def_readonly("frames_delivered", &StreamStats::frames_delivered)
      .def_readonly("frames_replaced", &StreamStats::frames_replaced)
      .def_readonly("restarts", &StreamStats::restarts)
      .def_readonly("restarts_since_frame", &StreamStats::restarts_since_frame)
      .def_readonly("packets_received", &StreamStats::packets_received)
      .def_readonly("packets_lost", &StreamStats::packets_lost)
      .def_readonly("frames_damaged_dropped", &StreamStats::frames_damaged_dropped)
      .def_readonly("last_error", &StreamStats::last_error)
      .def_readonly("last_error_time", &StreamStats::last_error_time)
      .def_readonly("last_frame_time", &StreamStats::last_frame_time)
      .def_readonly("status", &StreamStats::status)
      .def_readonly("keyframes_only", &StreamStats::keyframes_only)
      .def_readonly("width", &StreamStats::width)
      .def_readonly("height", &StreamStats::height)
      .def_readonly("codec", &StreamStats::codec)
      .def_readonly("capture_latency", &StreamStats::capture_latency)
      .def_readonly("transport", &StreamStats::transport)
      .def_readonly("udp_kernel_drops", &StreamStats::udp_kernel_drops)
      .def_readonly("udp_receive_buffer", &StreamStats::udp_receive_buffer)
      .def("__repr__", [](const StreamStats& s) {
        return "<strovix.StreamStats frames_delivered=" + std::to_string(s.frames_delivered) +
               " restarts=" + std::to_string(s.restarts) +
               " status=" + std::string(to_string(s.status)) + ">";
      });

  python::bind_events(m);
  python::bind_reader(m);
  python::bind_log_bridge(m);
}
