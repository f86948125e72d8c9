// GstStreamReader for Python: keyword arguments, frames as read-only numpy arrays over the
// frame's own memory, waits and teardown without the GIL.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "bindings.hpp"
#include "strovix/errors.hpp"
#include "strovix/gobject_init.hpp"
#include "strovix/logger.hpp"
#include "strovix/stream_reader/gst.hpp"

namespace strovix::python {

namespace {

// Every form of `url`'s password, from the library's own URL parser. A URL that parser
// refuses gets no secrets here: the reader refuses it too, with a text that quotes none, and
// redact_credentials still hides up to the last '@' of any line in doubt.
std::vector<std::string> secrets_of(const std::string& url) {
  try {
    return url_secrets(url);
  } catch (const std::exception&) {
    return {};
  }
}

// Every error text that reaches Python passes here, whatever the library already removed.
template <class F>
auto with_redacted_errors(const std::vector<std::string>& secrets, F&& f) {
  const auto redact = [&](const std::exception& e) {
    return redact_credentials(e.what(), secrets);
  };
  try {
    return f();
  } catch (const StreamSetupError& e) {
    throw StreamSetupError(redact(e));
  } catch (const SampleConversionError& e) {
    throw SampleConversionError(redact(e));
  } catch (const RuntimeOptionError& e) {
    throw RuntimeOptionError(redact(e));
  } catch (const std::invalid_argument& e) {
    throw std::invalid_argument(redact(e));
  } catch (const std::runtime_error& e) {
    throw std::runtime_error(redact(e));
  }
}

RuntimeOptions to_runtime_options(const std::optional<py::dict>& dict) {
  RuntimeOptions options;
  if (!dict) return options;
  for (const auto& [key, value] : *dict) {
    if (!py::isinstance<py::str>(key)) {
      throw RuntimeOptionError("Runtime option names must be strings, got " +
                               std::string(py::str(py::type::of(key).attr("__name__"))));
    }
    const auto name = key.cast<std::string>();
    // bool before int: Python's bool is an int.
    if (py::isinstance<py::bool_>(value)) {
      options[name] = value.cast<bool>();
    } else if (py::isinstance<py::int_>(value)) {
      long long v = PyLong_AsLongLong(value.ptr());
      if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        throw RuntimeOptionError("Runtime option '" + name + "' is out of range");
      }
      options[name] = static_cast<std::int64_t>(v);
    } else if (py::isinstance<py::float_>(value)) {
      options[name] = value.cast<double>();
    } else if (py::isinstance<py::str>(value)) {
      options[name] = value.cast<std::string>();
    } else {
      throw RuntimeOptionError("Runtime option '" + name + "' has a value of unsupported type " +
                               std::string(py::str(py::type::of(value).attr("__name__"))));
    }
  }
  return options;
}

// "bgr", "rgb" or "gray".
PixelFormat to_pixel_format(const std::string& name) {
  if (name == "bgr") return PixelFormat::BGR;
  if (name == "rgb") return PixelFormat::RGB;
  if (name == "gray") return PixelFormat::GRAY8;
  throw StreamSetupError("pixel_format must be \"bgr\", \"rgb\" or \"gray\", not \"" + name + "\"");
}

// Readers alive in this process, closed together when the interpreter exits.
std::mutex g_live_mutex;  // guards g_live
std::vector<std::weak_ptr<GstStreamReader>> g_live;

void register_live(const std::shared_ptr<GstStreamReader>& reader) {
  std::lock_guard lock(g_live_mutex);
  std::erase_if(g_live, [](const auto& weak) { return weak.expired(); });
  g_live.push_back(reader);
}

void close_all_readers() {
  std::vector<std::shared_ptr<GstStreamReader>> readers;
  {
    std::lock_guard lock(g_live_mutex);
    for (const auto& weak : g_live) {
      if (auto reader = weak.lock()) readers.push_back(std::move(reader));
    }
  }
  without_gil([&] {
    for (auto& reader : readers) reader->wait_until_closed();
    readers.clear();
  });
}

}  // namespace

// The Python object: the reader and the array handed out for its newest frame, so that
// asking again for the same frame returns the same array instead of a new view.
struct PyStreamReader {
  std::shared_ptr<GstStreamReader> reader;
  std::string redacted_url;
  std::weak_ptr<const Image> array_image;
  py::object array_ref;  // a weak reference to the array over array_image

  ~PyStreamReader() {
    // Closing joins the reader's threads: other Python threads run meanwhile. While the
    // interpreter finalises, only this thread runs Python, so the GIL stays.
    if (reader && !interpreter_finalizing()) without_gil([this] { reader.reset(); });
  }

  py::object frame_array(const std::shared_ptr<const Image>& image) {
    if (!image) return py::none();
    if (array_ref && !array_image.owner_before(image) && !image.owner_before(array_image)) {
      py::object alive = array_ref();
      if (!alive.is_none()) return alive;
    }
    // The capsule owns a reference to the image, which owns the sample's memory: the array
    // keeps the frame alive, however long the reader lives.
    auto* keep = new std::shared_ptr<const Image>(image);
    py::capsule owner(keep, [](void* p) { delete static_cast<std::shared_ptr<const Image>*>(p); });
    const auto channels = static_cast<py::ssize_t>(image->channels);
    const auto stride = static_cast<py::ssize_t>(image->stride);
    // One channel: an HxW array, as OpenCV's grey images.
    py::array array = image->channels == 1
                          ? py::array(py::dtype::of<std::uint8_t>(), {image->height, image->width},
                                      {stride, py::ssize_t{1}}, image->data, owner)
                          : py::array(py::dtype::of<std::uint8_t>(),
                                      {image->height, image->width, image->channels},
                                      {stride, channels, py::ssize_t{1}}, image->data, owner);
    array.attr("flags").attr("writeable") = false;
    array_image = image;
    array_ref = py::weakref(array);
    return array;
  }
};

// What latest_frame(meta=True) adds: the frame's count and the camera's capture time.
struct FrameMeta {
  std::uint64_t sequence = 0;
  std::optional<double> capture_time;
};

void bind_reader(py::module_& m) {
  using Options = GstStreamReader::Options;
  const Options defaults;
  // pybind11 looks numpy up in a function-local static on first use, and importing numpy
  // there releases the GIL: two threads taking their first frames at once would deadlock on
  // the static's guard. Look it up now, under the import's GIL.
  (void)py::dtype::of<std::uint8_t>();

  py::class_<FrameMeta>(m, "FrameMeta",
                        "The newest frame's sequence number (1, 2, ... per reader; 0 without a "
                        "frame) and capture time (seconds since the epoch on the camera's clock, "
                        "or None).")
      .def_readonly("sequence", &FrameMeta::sequence)
      .def_readonly("capture_time", &FrameMeta::capture_time)
      .def("__repr__", [](const FrameMeta& f) {
        return "<strovix.FrameMeta sequence=" + std::to_string(f.sequence) + " capture_time=" +
               (f.capture_time ? std::to_string(*f.capture_time) : std::string("None")) + ">";
      });

  py::class_<PyStreamReader>(m, "GstStreamReader",
                             "Reads one live stream on background threads and keeps its newest "
                             "frame; restarts the stream by itself until closed.")
      .def(
          py::init([](int id, std::string url, std::optional<py::dict> runtime_options, int latency,
                      std::optional<std::string> pipeline_str, bool must_play, bool proxied,
                      double setup_timeout, double base_backoff_seconds, double max_backoff_seconds,
                      double backoff_randomness_seconds, double state_change_timeout,
                      double frame_timeout, std::optional<std::pair<int, int>> output_size,
                      std::string pixel_format, std::string tls_ca_file, bool tls_validation,
                      bool deliver_damaged) {
            const auto secrets = secrets_of(url);
            return with_redacted_errors(secrets, [&] {
              RuntimeOptions options = to_runtime_options(runtime_options);
              Options o;
              o.latency = latency;
              o.pipeline_str = std::move(pipeline_str);
              o.must_play = must_play;
              o.proxied = proxied;
              (void)setup_timeout;  // deprecated, no effect
              o.base_backoff_seconds = base_backoff_seconds;
              o.max_backoff_seconds = max_backoff_seconds;
              o.backoff_randomness_seconds = backoff_randomness_seconds;
              o.state_change_timeout = state_change_timeout;
              o.frame_timeout = frame_timeout;
              if (output_size) std::tie(o.output_width, o.output_height) = *output_size;
              o.pixel_format = to_pixel_format(pixel_format);
              o.tls_ca_file = std::move(tls_ca_file);
              o.tls_validation = tls_validation;
              o.deliver_damaged = deliver_damaged;
              auto self = std::make_unique<PyStreamReader>();
              self->redacted_url = redact_credentials(url, secrets);
              // Building may wait up to state_change_timeout for PLAYING (must_play).
              self->reader = without_gil([&] {
                gobject_init::start();
                return std::make_shared<GstStreamReader>(id, std::move(url), std::move(options),
                                                         std::move(o));
              });
              register_live(self->reader);
              return self;
            });
          }),
          py::arg("id"), py::arg("url"), py::arg("runtime_options") = py::none(), py::kw_only(),
          py::arg("latency") = defaults.latency, py::arg("pipeline_str") = py::none(),
          py::arg("must_play") = defaults.must_play, py::arg("proxied") = defaults.proxied,
          py::arg("setup_timeout") = defaults.setup_timeout,
          py::arg("base_backoff_seconds") = defaults.base_backoff_seconds,
          py::arg("max_backoff_seconds") = defaults.max_backoff_seconds,
          py::arg("backoff_randomness_seconds") = defaults.backoff_randomness_seconds,
          py::arg("state_change_timeout") = defaults.state_change_timeout,
          py::arg("frame_timeout") = defaults.frame_timeout, py::arg("output_size") = py::none(),
          py::arg("pixel_format") = "bgr", py::arg("tls_ca_file") = defaults.tls_ca_file,
          py::arg("tls_validation") = defaults.tls_validation,
          py::arg("deliver_damaged") = defaults.deliver_damaged)
      .def_property_readonly("id", [](const PyStreamReader& self) { return self.reader->id; })
      .def_property_readonly("url", [](const PyStreamReader& self) { return self.redacted_url; })
      .def_property(
          "status", [](const PyStreamReader& self) { return self.reader->status(); },
          [](PyStreamReader& self, StreamStatus status) {
            without_gil([&] { self.reader->set_status(status); });
          })
      .def_property_readonly(
          "latest_frame_event",
          [](const PyStreamReader& self) { return self.reader->latest_frame_event(); })
      .def_property_readonly(
          "new_frame_event",
          [](const PyStreamReader& self) { return self.reader->new_frame_event(); })
      .def_property_readonly(
          "new_status_event",
          [](const PyStreamReader& self) { return self.reader->new_status_event(); })
      .def(
          "latest_frame",
          [](PyStreamReader& self, bool meta) {
            Frame frame = self.reader->latest_frame();
            // The pulling thread replaces the newest frame by "none" only some time after
            // close(), without setting the event again: a caller woken by close() would take
            // the stale frame, clear the event and then wait for an end it is never told of.
            if (self.reader->status() == StreamStatus::CLOSED) {
              frame.image.reset();
              frame.sequence = 0;
              frame.capture_time.reset();
            }
            if (!meta) return py::make_tuple(frame.timestamp, self.frame_array(frame.image));
            return py::make_tuple(frame.timestamp, self.frame_array(frame.image),
                                  FrameMeta{frame.sequence, frame.capture_time});
          },
          py::arg("meta") = false,
          "(timestamp, frame): the wall-clock time the newest frame was pulled and the frame "
          "as a read-only uint8 array over the frame's memory (HxWx3 BGR or RGB, HxW gray, as "
          "pixel_format asked), or None before the first frame and after close(). With "
          "meta=True, (timestamp, frame, FrameMeta). Clears latest_frame_event.")
      .def(
          "set_runtime_option_vals",
          [](PyStreamReader& self, const py::dict& values) {
            with_redacted_errors({}, [&] {
              RuntimeOptions options = to_runtime_options(values);
              without_gil([&] { self.reader->set_runtime_option_vals(options); });
            });
          },
          py::arg("runtime_option_vals"))
      .def("close", [](PyStreamReader& self) { without_gil([&] { self.reader->close(); }); })
      .def("wait_until_closed",
           [](PyStreamReader& self) { without_gil([&] { self.reader->wait_until_closed(); }); })
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__",
           [](PyStreamReader& self, py::args) {
             without_gil([&] { self.reader->wait_until_closed(); });
             return false;
           })
      .def(
          "stats", [](const PyStreamReader& self) { return self.reader->stats(); },
          "One consistent snapshot of the reader's counters (StreamStats).")
      .def("__repr__", [](const PyStreamReader& self) {
        return "<strovix.GstStreamReader id=" + std::to_string(self.reader->id) + " url='" +
               self.redacted_url + "' status=" + std::string(to_string(self.reader->status())) +
               ">";
      });

  m.def("_close_all_readers", &close_all_readers,
        "Closes every reader of the process and waits for each; run when the interpreter exits.");
}

}  // namespace strovix::python
