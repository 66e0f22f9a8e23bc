#include "python/acq/acquisition.hpp"

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <chrono>
#include <cmath>
#include <exception>
#include <string>
#include <vector>

#include "python/acq/arrays.hpp"
#include "python/acq/convert.hpp"
#include "python/acq/centroid.hpp"
#include "python/acq/errors.hpp"
#include "python/acq/iterator.hpp"
#include "python/acq/native.hpp"
#include "python/acq/spectrum.hpp"
#include "src/acq/chromatograms.hpp"
#include "src/acq/kept.hpp"
#include "src/acq/parallel.hpp"
#include "src/interrupt.hpp"

namespace kestrane::acq_python {

namespace {

acq::Prefer prefer_arg(const std::string& text) {
  if (const auto p = acq::prefer_from_string(text)) return *p;
  throw nb::value_error(("prefer must be 'profile' or 'centroid', not '" + text + "'").c_str());
}

unsigned threads_arg(std::optional<long> threads) {
  if (!threads) return acq::default_threads();
  if (*threads < 1) throw nb::value_error("threads must be at least 1");
  return static_cast<unsigned>(std::min<long>(*threads, 1024));
}

std::size_t index_arg(Py_ssize_t i, std::size_t n) {
  const auto size = static_cast<Py_ssize_t>(n);
  if (i < 0) i += size;
  if (i < 0 || i >= size) throw nb::index_error("spectrum index out of range");
  return static_cast<std::size_t>(i);
}

using Indices = std::optional<std::vector<Py_ssize_t>>;

// Every index when none are given; negative ones count from the end.
std::vector<std::size_t> indices_arg(const Indices& indices, std::size_t n) {
  std::vector<std::size_t> out;
  if (!indices) {
    out.resize(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = i;
    return out;
  }
  out.reserve(indices->size());
  for (const Py_ssize_t i : *indices) out.push_back(index_arg(i, n));
  return out;
}

// A function of the package's Python modules (kestrane_acq.<module>), for the methods written
// in Python: the Arrow and mzPeak ones, which need the optional pyarrow.
nb::object python_part(const char* module, const char* name) {
  return nb::module_::import_((std::string("kestrane_acq.") + module).c_str()).attr(name);
}

template <class E>
nb::object word(const std::optional<E>& v) {
  if (!v) return nb::none();
  return text(acq::to_string(*v));
}

// The columns `want` names of a whole-run pass over `a` (ValueError once closed), computed on
// the C++ threads without the interpreter.
acq::Chromatograms chromatograms(const Acquisition& a, const std::string& prefer,
                                 std::optional<long> threads, const Indices& indices,
                                 unsigned want, double low = 0.0, double high = 0.0) {
  const acq::Acquisition h = a.handle();
  // Of several invalid arguments, threads is reported first, then prefer, then indices.
  const unsigned t = threads_arg(threads);
  const acq::Prefer p = prefer_arg(prefer);
  const std::vector<std::size_t> idx = indices_arg(indices, h.size());
  nb::gil_scoped_release release;
  return acq::chromatograms(h, idx, p, t, want, low, high);
}

template <class E>
nb::object word_column(const std::vector<std::optional<E>>& values) {
  nb::list items;
  for (const auto& v : values) items.append(word(v));
  return object_array(items);
}

nb::dict format_dict(const acq::FormatEntry& f) {
  nb::list axes;
  for (const auto& axis : f.axes) {
    nb::dict d;
    d["number"] = axis.number;
    d["quantity"] = axis.quantity;
    d["scale"] = axis.scale;
    d["storage"] = axis.storage;
    d["spacing"] = axis.spacing;
    axes.append(d);
  }
  nb::dict d;
  d["format_id"] = f.format_id;
  d["kind"] = f.kind;
  d["compression"] = f.compression;
  d["w3"] = f.w3;
  d["axes"] = axes;
  return d;
}

nb::dict info_dict(const acq::Acquisition& a) {
  const acq::AcqInfo& info = a.info();
  nb::list formats;
  for (const auto& f : info.formats) formats.append(format_dict(f));
  nb::dict files;
  files["MSProfile.bin"] = info.has_profile_file;
  files["MSPeak.bin"] = info.has_peak_file;
  files["MSMassCal.bin"] = info.has_mass_cal;
  files["DefaultMassCal.xml"] = info.has_default_mass_cal;
  files["MSTS.xml"] = info.has_msts;
  files["MSTS_XAddition.xml"] = info.has_xaddition;
  files["MSTS_XSpecific.xml"] = info.has_xspecific_settings;
  files["MSScan_XSpecific.bin"] = info.has_xspecific_records;
  nb::dict d;
  d["path"] = path_text(info.path);
  d["acq_data"] = path_text(info.acq_data);
  d["family"] = text(info.family);
  d["records"] = a.size();
  d["layout_version"] = info.layout_version;
  d["blocks_per_record"] = info.blocks_per_record;
  d["data_offset"] = info.data_offset;
  d["record_stride"] = info.stride;
  d["schema_source"] = text(info.schema_source);
  d["schema_version"] = info.schema_version ? nb::object(text(*info.schema_version)) : nb::none();
  d["formats"] = formats;
  d["files"] = files;
  return d;
}

nb::object field_value(const std::optional<acq::FieldValue>& v) {
  if (!v) return nb::none();
  if (const auto* i = std::get_if<std::int64_t>(&*v)) return nb::int_(*i);
  return nb::float_(std::get<double>(*v));
}

nb::dict record_dict(const acq::Acquisition& a, std::size_t i) {
  const acq::RecordView r = a.record(i);
  nb::dict d;
  for (const auto& f : r.layout().fields) d[text(f.name)] = field_value(r.value(f.name));
  nb::list blocks;
  for (std::uint32_t j = 0; j < r.block_count(); ++j) {
    nb::dict b;
    for (const auto& f : r.layout().block_fields) {
      b[text(f.name)] = field_value(r.block_value(j, f.name));
    }
    blocks.append(b);
  }
  d["SpectrumParamValues"] = blocks;
  return d;
}

nb::dict scan_table(const acq::Acquisition& a) {
  auto* t = new acq::ScanTable();
  nb::capsule owner = owning_capsule(t);  // owns the table from here on
  {
    nb::gil_scoped_release release;
    *t = a.scan_table();
    for (double& rt : t->retention_time_min) rt *= 60.0;
  }
  const nb::object positive = text(acq::to_string(acq::Polarity::positive));
  const nb::object negative = text(acq::to_string(acq::Polarity::negative));
  const nb::handle none = Py_None;
  // Every column is a view of the table's one allocation, kept alive by `owner`.
  const auto column = [&]<class T>(std::span<T> c) {
    return numpy_view<T>(c.data(), c.size(), owner, true);
  };
  nb::dict d;
  d["scan_id"] = column(t->scan_id);
  d["scan_method_id"] = column(t->scan_method_id);
  d["time_segment_id"] = column(t->time_segment_id);
  d["retention_time_sec"] = column(t->retention_time_min);
  d["ms_level"] = column(t->ms_level);
  d["scan_type"] = column(t->scan_type);
  d["polarity"] = object_array(t->polarity.size(), [&](std::size_t i) {
    const std::int8_t p = t->polarity[i];
    return p > 0 ? nb::handle(positive) : p < 0 ? nb::handle(negative) : none;
  });
  d["precursor_mz"] = column(t->precursor_mz);
  d["collision_energy"] = column(t->collision_energy);
  d["isolation_width"] = column(t->isolation_width);
  d["charge_state"] = column(t->charge_state);
  d["record_tic"] = column(t->tic);
  d["record_base_peak_mz"] = column(t->base_peak_mz);
  d["record_base_peak_intensity"] = column(t->base_peak_value);
  d["profile_points"] = column(t->profile_points);
  d["centroid_points"] = column(t->centroid_points);
  d["incomplete"] = bool_view(t->incomplete.data(), t->incomplete.size(), owner);
  return d;
}

// --- the methods of Acquisition, bound in bind_acquisition ------------------------------------

using A = Acquisition;

std::size_t acquisition_len(const A& a) { return a.handle().size(); }

nb::object acquisition_getitem(const A& a, Py_ssize_t i) {
  const acq::Acquisition h = a.handle();
  return make_spectrum(decode(h, index_arg(i, h.size()), acq::Prefer::profile));
}

nb::object acquisition_iter(nb::handle self) {
  const A& a = nb::cast<const A&>(self);
  a.handle();  // ValueError once closed
  return make_iterator(self, a, acq::Prefer::profile);
}

nb::object acquisition_spectrum(const A& a, Py_ssize_t i, const std::string& prefer,
                                bool centroid) {
  const acq::Acquisition h = a.handle();
  DecodedScan d = decode(h, index_arg(i, h.size()), prefer_arg(prefer));
  if (centroid) {
    nb::gil_scoped_release release;
    centroid_scan(d.spectrum);
  }
  return make_spectrum(std::move(d));
}

nb::list acquisition_spectra(const A& a, const Indices& indices, const std::string& prefer,
                             std::optional<long> threads, bool centroid) {
  const acq::Acquisition h = a.handle();
  const std::vector<std::size_t> idx = indices_arg(indices, h.size());
  const acq::Prefer p = prefer_arg(prefer);
  const unsigned t = threads_arg(threads);
  std::vector<DecodedScan> decoded(idx.size());
  {
    nb::gil_scoped_release release;
    acq::for_each_scan(h, idx, p, t, [&](std::size_t k, acq::Spectrum& s) {
      DecodedScan& d = decoded[k];
      if (centroid) centroid_scan(s);
      d.spectrum = std::move(s);
      s = acq::take_spectrum();
      d.info = h.scan(idx[k]);
    });
  }
  nb::list out;
  for (auto& d : decoded) out.append(make_spectrum(std::move(d)));
  return out;
}

nb::object acquisition_scan_table(nb::handle self, const std::string& format) {
  if (format == "arrow") return python_part("arrow", "scan_table")(self);
  if (format != "numpy") {
    throw nb::value_error(("format must be 'numpy' or 'arrow', not '" + format + "'").c_str());
  }
  return scan_table(nb::cast<const A&>(self).handle());
}

nb::object acquisition_to_arrow(nb::handle self, const std::string& prefer, bool centroid,
                                std::optional<long> threads) {
  prefer_arg(prefer);
  threads_arg(threads);
  return python_part("arrow", "to_arrow")(self, prefer, centroid, nb::arg("threads") = threads);
}

nb::object acquisition_arrow_batches(nb::handle self, const std::string& prefer, bool centroid,
                                    std::optional<long> threads) {
  prefer_arg(prefer);
  threads_arg(threads);
  return python_part("arrow", "arrow_batches")(self, prefer, centroid,
                                               nb::arg("threads") = threads);
}

nb::object acquisition_to_mzpeak(nb::handle self, nb::handle path, const std::string& prefer,
                                 bool centroid, std::optional<long> threads, bool overwrite,
                                 nb::handle progress) {
  prefer_arg(prefer);
  threads_arg(threads);
  if (!progress.is_none() && !PyCallable_Check(progress.ptr())) {
    throw nb::type_error("progress must be callable or None");
  }
  return python_part("mzpeak", "write_mzpeak")(self, path, prefer, centroid,
                                               nb::arg("threads") = threads,
                                               nb::arg("overwrite") = overwrite,
                                               nb::arg("progress") = progress);
}

nb::dict acquisition_record(const A& a, Py_ssize_t i) {
  const acq::Acquisition h = a.handle();
  return record_dict(h, index_arg(i, h.size()));
}

nb::list acquisition_warnings(const A& a) {
  nb::list out;
  for (const auto& w : a.handle().warnings()) out.append(text(w));
  return out;
}

nb::dict acquisition_info(const A& a) { return info_dict(a.handle()); }

nb::tuple acquisition_tic(const A& a, const std::string& prefer, std::optional<long> threads,
                          const Indices& indices) {
  acq::Chromatograms c = chromatograms(a, prefer, threads, indices, acq::want_tic);
  return nb::make_tuple(to_numpy(std::move(c.rt_sec)), to_numpy(std::move(c.tic)));
}

nb::tuple acquisition_bpc(const A& a, const std::string& prefer, std::optional<long> threads,
                          const Indices& indices) {
  acq::Chromatograms c = chromatograms(a, prefer, threads, indices, acq::want_base_peak);
  return nb::make_tuple(to_numpy(std::move(c.rt_sec)), to_numpy(std::move(c.base_intensity)));
}

nb::tuple acquisition_xic(const A& a, double mz, double ppm, const std::string& prefer,
                          std::optional<long> threads, const Indices& indices) {
  if (!std::isfinite(mz) || mz <= 0.0) throw nb::value_error("mz must be positive");
  if (!std::isfinite(ppm) || ppm < 0.0) throw nb::value_error("ppm must be zero or positive");
  const double half = mz * ppm * 1e-6;
  acq::Chromatograms c = chromatograms(a, prefer, threads, indices, acq::want_window, mz - half,
                                       mz + half);
  return nb::make_tuple(to_numpy(std::move(c.rt_sec)), to_numpy(std::move(c.window)));
}

nb::dict acquisition_summary(const A& a, const std::string& prefer, std::optional<long> threads,
                             const Indices& indices) {
  acq::Chromatograms c = chromatograms(
      a, prefer, threads, indices, acq::want_tic | acq::want_base_peak | acq::want_scan_words);
  nb::list status;
  for (const auto s : c.status) status.append(text(acq::to_string(s)));
  nb::dict d;
  d["retention_time_sec"] = to_numpy(std::move(c.rt_sec));
  d["points"] = to_numpy(std::move(c.points));
  d["tic"] = to_numpy(std::move(c.tic));
  d["base_peak_mz"] = to_numpy(std::move(c.base_mz));
  d["base_peak_intensity"] = to_numpy(std::move(c.base_intensity));
  d["status"] = object_array(status);
  d["representation"] = word_column(c.representation);
  d["calibration"] = word_column(c.calibration);
  d["profile_status"] = word_column(c.profile_status);
  d["centroid_status"] = word_column(c.centroid_status);
  return d;
}

nb::object acquisition_to_mzml(const A& a, nb::handle path, const std::string& prefer,
                               bool compression, std::optional<long> threads, bool overwrite,
                               bool strict, nb::handle progress, bool centroid,
                               nb::handle ms_level, nb::handle rt, nb::handle scans,
                               nb::handle polarity, nb::handle numpress) {
  const convert::Selection selection = selection_arg(ms_level, rt, scans, polarity);
  const mzml::NumpressCodes codes = numpress_arg(numpress);
  const acq::Acquisition h = a.handle();
  return to_mzml(h, path, prefer_arg(prefer), compression, threads_arg(threads), overwrite,
                 strict, progress, centroid, selection, codes);
}

nb::object acquisition_path(const A& a) { return a.path(); }

nb::object acquisition_enter(nb::handle self) { return nb::borrow(self); }

void acquisition_exit(A& a, nb::handle, nb::handle, nb::handle) { a.close(); }

nb::str acquisition_repr(const A& a) {
  nb::object path = nb::repr(a.path());
  if (a.closed()) return nb::str("Acquisition({}, closed)").format(path);
  return nb::str("Acquisition({}, {} records)").format(path, a.handle().size());
}

// Asked by open() on the opening thread, the interpreter released: at most once per
// check_interval it takes the interpreter back to run the signal handlers (Ctrl-C raises
// KeyboardInterrupt) and to call `check`. An exception from either stops the open; rethrow()
// raises it once the interpreter is held again.
class PollingInterrupt final : public Interrupt {
 public:
  explicit PollingInterrupt(nb::handle check) : check_(check), last_check_(Clock::now()) {}

  bool requested() noexcept override {
    if (raised_ || thrown_) return true;
    const Clock::time_point now = Clock::now();
    if (now - last_check_ < check_interval) return false;
    last_check_ = now;
    nb::gil_scoped_acquire gil;
    try {
      if (PyErr_CheckSignals() != 0) throw nb::python_error();
      if (!check_.is_none()) check_();
    } catch (nb::python_error& e) {
      raised_.emplace(std::move(e));
    } catch (...) {
      thrown_ = std::current_exception();
    }
    return raised_ || thrown_;
  }

  // Raises what stopped the open, if anything did.
  void rethrow() {
    if (raised_) {
      raised_->restore();
      throw nb::python_error();
    }
    if (thrown_) std::rethrow_exception(thrown_);
  }

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr Clock::duration check_interval = std::chrono::milliseconds(20);

  nb::handle check_;
  Clock::time_point last_check_;
  std::optional<nb::python_error> raised_;
  std::exception_ptr thrown_;
};

Acquisition* open_acquisition(nb::handle path, nb::handle check) {
  const PathArg p = path_arg(path);
  if (!check.is_none() && !PyCallable_Check(check.ptr())) {
    throw nb::type_error("check must be callable or None");
  }
  std::optional<Result<acq::Acquisition>> opened;
  PollingInterrupt interrupt(check);
  {
    nb::gil_scoped_release release;
    opened = acq::Acquisition::open(p.bytes, &interrupt);
  }
  interrupt.rethrow();
  if (!*opened) raise_open_error(opened->error(), p);
  nb::object given = nb::steal(PyOS_FSPath(path.ptr()));
  return new Acquisition(std::move(**opened), std::move(given));
}

}  // namespace

acq::Acquisition Acquisition::handle() const {
  const std::lock_guard lock(mutex_);
  if (!handle_) throw nb::value_error("I/O operation on a closed Acquisition");
  return *handle_;
}

void Acquisition::close() noexcept {
  std::optional<acq::Acquisition> dropped;
  {
    const std::lock_guard lock(mutex_);
    dropped.swap(handle_);
  }
  // The files close here, outside the lock, unless a read still holds a reference.
}

bool Acquisition::closed() const noexcept {
  const std::lock_guard lock(mutex_);
  return !handle_;
}

void bind_acquisition(nb::module_& m) {
  const auto prefer = nb::arg("prefer") = "profile";
  const auto threads = nb::arg("threads") = nb::none();
  const auto indices = nb::arg("indices") = nb::none();
  const auto centroid = nb::arg("centroid") = false;
  nb::class_<A>(m, "Acquisition",
                "An acquisition directory opened by kestrane_acq.open(): its index and metadata "
                "are read; spectra are decoded on demand.")
      .def("__len__", &acquisition_len)
      .def("__getitem__", &acquisition_getitem)
      .def("__iter__", &acquisition_iter)
      .def("spectrum", &acquisition_spectrum, nb::arg("i"), prefer, centroid)
      .def("spectra", &acquisition_spectra, indices, prefer, threads, centroid)
      .def("scan_table", &acquisition_scan_table, nb::arg("format") = "numpy")
      .def("to_arrow", &acquisition_to_arrow, prefer, centroid, nb::kw_only(), threads)
      .def("arrow_batches", &acquisition_arrow_batches, prefer, centroid, nb::kw_only(), threads)
      .def("to_mzpeak", &acquisition_to_mzpeak, nb::arg("path"), prefer, centroid, nb::kw_only(),
           threads, nb::arg("overwrite") = false, nb::arg("progress").none() = nb::none())
      .def("record", &acquisition_record, nb::arg("i"))
      .def_prop_ro("warnings", &acquisition_warnings)
      .def_prop_ro("info", &acquisition_info)
      .def("tic", &acquisition_tic, prefer, threads, indices)
      .def("bpc", &acquisition_bpc, prefer, threads, indices)
      .def("xic", &acquisition_xic, nb::arg("mz"), nb::arg("ppm") = 10.0, prefer, threads,
           indices)
      .def("summary", &acquisition_summary, prefer, threads, indices)
      .def("to_mzml", &acquisition_to_mzml, nb::arg("path"), prefer, nb::kw_only(),
           nb::arg("compression") = true, threads, nb::arg("overwrite") = false,
           nb::arg("strict") = false, nb::arg("progress").none() = nb::none(), centroid,
           nb::arg("ms_level").none() = nb::none(), nb::arg("rt").none() = nb::none(),
           nb::arg("scans").none() = nb::none(), nb::arg("polarity").none() = nb::none(),
           nb::arg("numpress").none() = nb::none(),
           "Writes the run as indexed mzML to `path` (gzip for a name ending with .gz, standard "
           "output for \"-\") and returns a ConversionSummary. compression: zlib on every array; "
           "numpress: None (every array lossless), or MS-Numpress codes separated by commas: "
           "\"linear\" for the m/z and time arrays, \"pic\" or \"slof\" for the intensities "
           "(\"linear,slof\"), each within its tolerance (README) or the array written "
           "losslessly; ValueError for other names. ms_level, rt (minutes), scans and polarity "
           "select the records written; strict: a scan that cannot be read fails the "
           "conversion; centroid: profile spectra written as their centroids.")
      .def("close", &A::close)
      .def_prop_ro("closed", &A::closed)
      .def_prop_ro("path", &acquisition_path)
      .def("__enter__", &acquisition_enter)
      .def("__exit__", &acquisition_exit, nb::arg("exc_type").none(),
           nb::arg("exc_value").none(), nb::arg("traceback").none())
      .def("__repr__", &acquisition_repr);

  m.def("open", &open_acquisition, nb::arg("path"), nb::kw_only(),
        nb::arg("check").none() = nb::none(), nb::rv_policy::take_ownership,
        "Opens an acquisition directory (the folder holding AcqData/, or AcqData itself). "
        "check: None or a callable of no arguments, called now and then while a long open runs; "
        "an exception it raises stops the open and propagates, as Ctrl-C's KeyboardInterrupt "
        "does.");
  // The command line checks --numpress before it opens a run, by the rules to_mzml applies.
  m.def("_check_numpress", [](nb::handle numpress) { numpress_arg(numpress); },
        nb::arg("numpress"), "ValueError unless `numpress` names codes to_mzml takes.");
  // The mzPeak writer refuses the native IDs that to_mzml refuses, before it writes anything.
  m.def("_check_native_ids",
        [](const A& a, const std::vector<std::int64_t>& indices) {
          check_native_ids(a.handle(), indices);
        },
        nb::arg("acquisition"), nb::arg("indices"),
        "FormatError unless the records `indices` have unique ScanIDs that are not negative.");
}

}  // namespace kestrane::acq_python
