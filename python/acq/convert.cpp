#include "python/acq/convert.hpp"

#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>
#include <sys/stat.h>

#include <cerrno>
#include <exception>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <string_view>

#include "python/acq/errors.hpp"
#include "python/acq/native.hpp"
#include "src/convert/convert.hpp"
#include "src/mzml/output.hpp"

namespace kestrane::acq_python {

namespace {

// FormatError naming MSScan.bin for what the index cannot give mzML; OSError (the subclass of
// its errno, when it has one) for the rest.
[[noreturn]] void raise_conversion_error(const Error& error, const acq::Acquisition& acq,
                                         const PathArg& out) {
  const std::string text = error.message();
  if (error.is_parse()) {
    nb::object exc = format_error()(acq_python::text(text));
    exc.attr("filename") = filename_object(acq.info().acq_data + "/MSScan.bin",
                                           out.given_as_bytes);
    raise_instance(exc);
  }
  const nb::str message = acq_python::text(text);
  if (const int code = error.os_errno(); code != 0) {
    raise_instance(nb::handle(PyExc_OSError)(code, message));
  }
  raise_instance(nb::handle(PyExc_OSError)(message));
}

// A pair (low, high) of numbers or None; a single value when `single` allows it.
template <class T>
std::pair<std::optional<T>, std::optional<T>> bounds(nb::handle value, const char* name,
                                                     bool single) {
  const auto one = [&](nb::handle v) -> std::optional<T> {
    if (v.is_none()) return std::nullopt;
    const bool integral = PyLong_Check(v.ptr()) && !PyBool_Check(v.ptr());
    if constexpr (std::is_integral_v<T>) {
      if (!integral) throw nb::type_error((std::string(name) + " bounds must be int or None").c_str());
      // A bound past the largest long long is past every record and level: it counts as that.
      int overflow = 0;
      long long n = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
      if (n == -1 && PyErr_Occurred()) throw nb::python_error();
      if (overflow > 0) n = std::numeric_limits<long long>::max();
      if (n < 0 || overflow < 0) {
        throw nb::value_error((std::string(name) + " bounds must not be negative").c_str());
      }
      return static_cast<T>(std::min<unsigned long long>(static_cast<unsigned long long>(n),
                                                         std::numeric_limits<T>::max()));
    } else {
      if (!integral && !PyFloat_Check(v.ptr())) {
        throw nb::type_error((std::string(name) + " bounds must be float or None").c_str());
      }
      const double d = PyFloat_AsDouble(v.ptr());  // OverflowError for an int past float64
      if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
      return d;
    }
  };
  if (single && PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr())) {
    const auto v = one(value);
    return {v, v};
  }
  if (!PyTuple_Check(value.ptr()) || PyTuple_GET_SIZE(value.ptr()) != 2) {
    throw nb::type_error((std::string(name) + (single ? " must be an int or a pair (low, high)"
                                                      : " must be a pair (low, high)"))
                             .c_str());
  }
  return {one(PyTuple_GET_ITEM(value.ptr(), 0)), one(PyTuple_GET_ITEM(value.ptr(), 1))};
}

}  // namespace

convert::Selection selection_arg(nb::handle ms_level, nb::handle rt, nb::handle scans,
                                 nb::handle polarity) {
  convert::Selection s;
  if (!ms_level.is_none()) {
    const auto [low, high] = bounds<std::int64_t>(ms_level, "ms_level", true);
    const auto level = [](std::optional<std::int64_t> v) -> std::optional<std::int32_t> {
      if (!v) return std::nullopt;
      return static_cast<std::int32_t>(std::min<std::int64_t>(*v, INT32_MAX));
    };
    s.min_ms_level = level(low);
    s.max_ms_level = level(high);
  }
  if (!rt.is_none()) std::tie(s.start_min, s.end_min) = bounds<double>(rt, "rt", false);
  if (!scans.is_none()) {
    std::tie(s.first_index, s.last_index) = bounds<std::size_t>(scans, "scans", false);
  }
  if (!polarity.is_none()) {
    if (!nb::isinstance<nb::str>(polarity)) throw nb::type_error("polarity must be a str or None");
    const std::string p = nb::cast<std::string>(polarity);
    if (p == "positive") {
      s.polarity = acq::Polarity::positive;
    } else if (p == "negative") {
      s.polarity = acq::Polarity::negative;
    } else {
      throw nb::value_error("polarity must be 'positive' or 'negative'");
    }
  }
  if (auto bad = convert::selection_error(s)) throw nb::value_error(bad->c_str());
  return s;
}

mzml::NumpressCodes numpress_arg(nb::handle numpress) {
  if (numpress.is_none()) return {};
  if (!nb::isinstance<nb::str>(numpress)) throw nb::type_error("numpress must be a str or None");
  auto codes = convert::numpress_codes(nb::cast<std::string>(numpress));
  if (!codes) throw nb::value_error(codes.error().message().c_str());
  return *codes;
}

void bind_conversion_summary(nb::module_& m) {
  using S = convert::ConvertSummary;
  nb::class_<S>(m, "ConversionSummary",
                "What Acquisition.to_mzml wrote: records written, skipped (incomplete), empty "
                "and failed, chromatograms, warnings, seconds and bytes; str() is the one-line "
                "summary.")
      .def_prop_ro("path", [](const S& s) { return path_text(s.path); })
      .def_ro("records", &S::records)
      .def_ro("selected", &S::selected)
      .def_ro("written", &S::written)
      .def_ro("skipped", &S::skipped)
      .def_ro("empty", &S::empty)
      .def_ro("failed", &S::failed)
      .def_ro("chromatograms", &S::chromatograms)
      .def_prop_ro("warnings",
                   [](const S& s) {
                     nb::list out;
                     for (const auto& w : s.warnings) out.append(text(w));
                     return out;
                   })
      .def_ro("seconds", &S::seconds)
      .def_ro("bytes", &S::bytes)
      .def("__str__", [](const S& s) { return text(convert::summary_line(s)); })
      .def("__repr__", [](const S& s) {
        return text("<ConversionSummary " + convert::summary_line(s) + ">");
      });
}

void check_native_ids(const acq::Acquisition& acq, const std::vector<std::int64_t>& indices) {
  std::vector<std::size_t> records;
  records.reserve(indices.size());
  for (const std::int64_t i : indices) {
    if (i < 0 || static_cast<std::uint64_t>(i) >= acq.size()) {
      throw nb::index_error("record index out of range");
    }
    records.push_back(static_cast<std::size_t>(i));
  }
  if (auto checked = convert::check_native_ids(acq, records); !checked) {
    raise_conversion_error(checked.error(), acq, PathArg{});
  }
}

nb::object to_mzml(const acq::Acquisition& acq, nb::handle path, acq::Prefer prefer,
                   bool compression, unsigned threads, bool overwrite, bool strict,
                   nb::handle progress, bool centroid, const convert::Selection& selection,
                   const mzml::NumpressCodes& numpress) {
  const PathArg out = path_arg(path);
  convert::ConvertOptions options;
  options.selection = selection;
  options.numpress = numpress;
  options.prefer = prefer;
  options.centroid = centroid;
  options.threads = threads;
  options.compression_level = compression ? mzml::default_compression_level : 0;
  options.overwrite = overwrite;
  options.strict = strict;
  // The name says the form: gzip for .gz, standard output for "-".
  const std::string_view name = out.bytes;
  options.gzip = name.size() >= 3 && name[name.size() - 3] == '.' &&
                 (name[name.size() - 2] | 0x20) == 'g' && (name[name.size() - 1] | 0x20) == 'z';
  const bool to_stdout = name == mzml::standard_output_path;
  if (!progress.is_none() && !PyCallable_Check(progress.ptr())) {
    throw nb::type_error("progress must be callable or None");
  }
  struct stat st;
  if (!to_stdout && ::lstat(out.bytes.c_str(), &st) == 0) {
    // No overwrite replaces a directory: saying so, rather than suggesting overwrite=True.
    if (S_ISDIR(st.st_mode)) {
      raise_instance(nb::handle(PyExc_OSError)(EISDIR, std::strerror(EISDIR),
                                               filename_object(out.bytes, out.given_as_bytes)));
    }
    if (!overwrite) {
      raise_instance(nb::handle(PyExc_OSError)(EEXIST, "exists; pass overwrite=True to replace it",
                                               filename_object(out.bytes, out.given_as_bytes)));
    }
  }

  // The writer calls progress on this thread after each scan: the place to notice a signal or
  // let the callable raise. Either cancels the conversion.
  StopFlag cancel;
  std::optional<nb::python_error> raised;
  std::exception_ptr thrown;
  options.cancel = &cancel;
  options.progress = [&](std::size_t done, std::size_t total) {
    if (cancel.requested()) return;
    nb::gil_scoped_acquire gil;
    try {
      if (PyErr_CheckSignals() != 0) throw nb::python_error();
      if (!progress.is_none()) progress(done, total);
    } catch (nb::python_error& e) {
      raised.emplace(std::move(e));
      cancel.request();
    } catch (...) {
      thrown = std::current_exception();
      cancel.request();
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
