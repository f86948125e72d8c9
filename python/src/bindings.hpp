#pragma once
#include <pybind11/pybind11.h>

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

namespace strovix::python {

namespace py = pybind11;

void bind_events(py::module_& m);
void bind_reader(py::module_& m);
void bind_log_bridge(py::module_& m);

inline bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

// Runs `f` with the GIL released and rethrows what it threw once the GIL is back. The GIL is
// taken back by a plain call, not by a destructor: CPython ends a daemon thread that comes
// back during finalisation with a forced unwind, which must not cross a noexcept destructor.
template <class F>
auto without_gil(F&& f) -> std::invoke_result_t<F&> {
  using R = std::invoke_result_t<F&>;
  std::exception_ptr error;
  if constexpr (std::is_void_v<R>) {
    PyThreadState* state = PyEval_SaveThread();
    try {
      f();
    } catch (...) {
      error = std::current_exception();
    }
    PyEval_RestoreThread(state);
    if (error) std::rethrow_exception(error);
  } else {
    std::optional<R> result;
    PyThreadState* state = PyEval_SaveThread();
    try {
      result.emplace(f());
    } catch (...) {
      error = std::current_exception();
    }
    PyEval_RestoreThread(state);
    if (error) std::rethrow_exception(error);
    return std::move(*result);
  }
}

}  // namespace strovix::python
