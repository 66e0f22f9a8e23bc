// Failures at the Python boundary: library errors and C++ exceptions become Python exceptions.
#pragma once

#include <Python.h>

#include <exception>
#include <new>

#include "src/error.hpp"

namespace kestrane::python {

// Raises RuntimeError whose only argument is the error's display text.
void set_runtime_error(const Error& error) noexcept;

// Raises RuntimeError("<type_name> object is not initialised") for an instance whose C++ state
// was never built.
void set_not_initialised(const char* type_name) noexcept;

// Raises SystemError for a C++ exception that no entry point expects; `what` may be nullptr.
void set_unexpected_exception(const char* what) noexcept;

// Runs `body` and returns its result. No C++ exception leaves: std::bad_alloc becomes
// MemoryError, anything else SystemError, and `on_error` is returned with the exception set.
// Every slot, method and getter of the module runs its whole body inside one guard.
template <class R, class F>
R guard(R on_error, F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    set_unexpected_exception(e.what());
  } catch (...) {
    set_unexpected_exception(nullptr);
  }
  return on_error;
}

}  // namespace kestrane::python
