#include "python/acq/errors.hpp"

#include <string_view>

#include "python/acq/native.hpp"

namespace kestrane::acq_python {

namespace {

// Made once per process at the first import, as nanobind's own types are; never freed.
PyObject* format_error_type = nullptr;

// "<path>: <reason>", where the reason may begin with the file's own name; a reason naming the
// path itself stays as it is.
nb::str located(const std::string& path, std::string reason) {
  if (const auto at = reason.find(path); !path.empty() && at != std::string::npos) {
    return nb::str("{}{}{}").format(text(std::string_view(reason).substr(0, at)), path_text(path),
                                    text(std::string_view(reason).substr(at + path.size())));
  }
  const auto slash = path.rfind('/');
  const std::string name = (slash == std::string::npos ? path : path.substr(slash + 1)) + ": ";
  if (std::string_view(reason).starts_with(name)) reason.erase(0, name.size());
  return nb::str("{}: {}").format(path_text(path), text(reason));
}

}  // namespace

nb::object filename_object(const std::string& path, bool as_bytes) {
  if (as_bytes) return nb::bytes(path.data(), path.size());
  return path_text(path);
}

void raise_instance(nb::handle instance) {
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance.ptr())), instance.ptr());
  throw nb::python_error();
}

PathArg path_arg(nb::handle path) {
  nb::object fspath = nb::steal(PyOS_FSPath(path.ptr()));
  if (!fspath.is_valid()) throw nb::python_error();
  PyObject* converted = nullptr;
  if (PyUnicode_FSConverter(fspath.ptr(), &converted) == 0) throw nb::python_error();
  nb::bytes bytes = nb::steal<nb::bytes>(converted);
  return {std::string(bytes.c_str(), bytes.size()), PyBytes_Check(fspath.ptr()) != 0};
}

void add_format_error(nb::module_& m) {
  if (format_error_type == nullptr) {
    format_error_type = PyErr_NewExceptionWithDoc(
        "kestrane_acq.FormatError",
        "An acquisition directory whose files do not have the expected form. The message names "
        "the file and the reason; `filename` is the file.",
        PyExc_ValueError, nullptr);
    if (format_error_type == nullptr) throw nb::python_error();
  }
  m.attr("FormatError") = nb::handle(format_error_type);
}

nb::handle format_error() noexcept { return format_error_type; }

void raise_open_error(const Error& error, const PathArg& path) {
  const std::string& file = error.path().empty() ? path.bytes : error.path();
  nb::object filename = filename_object(file, path.given_as_bytes);
  if (error.is_parse()) {
    nb::object exc = nb::handle(format_error_type)(located(file, error.message()));
    exc.attr("filename") = filename;
    raise_instance(exc);
  }
  if (const int code = error.os_errno(); code != 0) {
    // OSError(errno, ...) returns the subclass of that errno (FileNotFoundError, ...).
    nb::object exc = nb::handle(PyExc_OSError)(code, text(os_error_text(code)), filename);
    raise_instance(exc);
  }
  // No errno ("not a regular file", a short read): the message names the file; `filename`
  // stays unset, as OSError would otherwise print "[Errno None] None: ..." in its place.
  nb::object exc = nb::handle(PyExc_OSError)(located(file, error.message()));
  raise_instance(exc);
}

}  // namespace kestrane::acq_python
