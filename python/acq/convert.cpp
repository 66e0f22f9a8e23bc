#include "python/acq/convert.hpp"

#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <exception>
#include <optional>
#include <string_view>

#include "python/acq/errors.hpp"
#include "src/convert/convert.hpp"
#include "src/mzml/output.hpp"

namespace kestrane::acq_python {

namespace {

constexpr std::string_view io_prefix = "I/O error: ";
constexpr std::string_view parse_prefix = "parse error: ";

nb::object fs_text(const std::string& path) {
  PyObject* text =
      PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
  if (text == nullptr) throw nb::python_error();
  return nb::steal(text);
}

nb::object filename_of(const std::string& path, const PathArg& given) {
  if (given.given_as_bytes) return nb::bytes(path.data(), path.size());
  return fs_text(path);
}

[[noreturn]] void raise_instance(nb::handle instance) {
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance.ptr())), instance.ptr());
  throw nb::python_error();
}

// FormatError naming MSScan.bin for what the index cannot give mzML; OSError (the subclass of
// its errno, when it has one) for the rest.
[[noreturn]] void raise_conversion_error(const Error& error, const acq::Acquisition& acq,
                                         const PathArg& out) {
  std::string text = error.display();
  if (error.is_parse()) {
    text.erase(0, parse_prefix.size());
    nb::object type = nb::module_::import_("kestrane_acq._core").attr("FormatError");
    nb::object exc = type(nb::str(text.data(), text.size()));
    exc.attr("filename") = filename_of(acq.info().acq_data + "/MSScan.bin", out);
    raise_instance(exc);
  }
  if (std::string_view(text).starts_with(io_prefix)) text.erase(0, io_prefix.size());
  nb::str message(text.data(), text.size());
  if (const int code = error.os_errno(); code != 0) {
    raise_instance(nb::handle(PyExc_OSError)(code, message));
  }
  raise_instance(nb::handle(PyExc_OSError)(message));
}

}  // namespace

void bind_conversion_summary(nb::module_& m) {
  using S = convert::ConvertSummary;
  nb::class_<S>(m, "ConversionSummary",
                "What Acquisition.to_mzml wrote: records written, skipped (incomplete), empty "
                "and failed, chromatograms, warnings, seconds and bytes; str() is the one-line "
                "summary.")
      .def_prop_ro("path", [](const S& s) { return fs_text(s.path); })
      .def_ro("records", &S::records)
      .def_ro("written", &S::written)
      .def_ro("skipped", &S::skipped)
      .def_ro("empty", &S::empty)
      .def_ro("failed", &S::failed)
      .def_ro("chromatograms", &S::chromatograms)
      .def_ro("warnings", &S::warnings)
      .def_ro("seconds", &S::seconds)
      .def_ro("bytes", &S::bytes)
      .def("__str__", [](const S& s) { return convert::summary_line(s); })
      .def("__repr__", [](const S& s) {
        return "<ConversionSummary " + convert::summary_line(s) + ">";
      });
}

nb::object to_mzml(const acq::Acquisition& acq, nb::handle path, acq::Prefer prefer,
                   bool compression, unsigned threads, bool overwrite, nb::handle progress) {
  const PathArg out = path_arg(path);
  convert::ConvertOptions options;
  options.prefer = prefer;
  options.threads = threads;
  options.compression_level = compression ? mzml::default_compression_level : 0;
  options.overwrite = overwrite;
  // The name says the form: gzip for .gz, standard output for "-".
  const std::string_view name = out.bytes;
  options.gzip = name.size() >= 3 && name[name.size() - 3] == '.' &&
                 (name[name.size() - 2] | 0x20) == 'g' && (name[name.size() - 1] | 0x20) == 'z';
  const bool to_stdout = name == mzml::standard_output_path;
  if (!progress.is_none() && !PyCallable_Check(progress.ptr())) {
    throw nb::type_error("progress must be callable or None");
  }
  struct stat st;
  if (!overwrite && !to_stdout && ::lstat(out.bytes.c_str(), &st) == 0) {
    raise_instance(nb::handle(PyExc_OSError)(EEXIST, "exists; pass overwrite=True to replace it",
                                             filename_of(out.bytes, out)));
  }

  // The writer calls progress on this thread after each scan: the place to notice a signal or
  // let the callable raise. Either cancels the conversion.
  std::atomic<bool> cancel{false};
  std::optional<nb::python_error> raised;
  std::exception_ptr thrown;
  options.cancel = &cancel;
  options.progress = [&](std::size_t done, std::size_t total) {
    if (cancel.load()) return;
    nb::gil_scoped_acquire gil;
    try {
      if (PyErr_CheckSignals() != 0) throw nb::python_error();
      if (!progress.is_none()) progress(done, total);
    } catch (nb::python_error& e) {
      raised.emplace(std::move(e));
      cancel = true;
    } catch (...) {
      thrown = std::current_exception();
      cancel = true;
    }
  };

  Result<convert::ConvertSummary> summary = convert::ConvertSummary{};
  {
    nb::gil_scoped_release release;
    summary = convert::convert(acq, out.bytes, options);
  }
  if (raised) {
    raised->restore();
    throw nb::python_error();
  }
  if (thrown) std::rethrow_exception(thrown);
  if (!summary) raise_conversion_error(summary.error(), acq, out);
  return nb::cast(std::move(*summary));
}

}  // namespace kestrane::acq_python
