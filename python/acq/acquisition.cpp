#include "python/acq/acquisition.hpp"

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "python/acq/arrays.hpp"
#include "python/acq/convert.hpp"
#include "python/acq/buffers.hpp"
#include "python/acq/centroid.hpp"
#include "python/acq/errors.hpp"
#include "python/acq/iterator.hpp"
#include "python/acq/native.hpp"
#include "python/acq/parallel.hpp"
#include "python/acq/spectrum.hpp"

namespace kestrane::acq_python {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

acq::Prefer prefer_arg(const std::string& text) {
  if (const auto p = acq::prefer_from_string(text)) return *p;
  throw nb::value_error(("prefer must be 'profile' or 'centroid', not '" + text + "'").c_str());
}

unsigned threads_arg(std::optional<long> threads) {
  if (!threads) return default_threads();
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

// Per-scan values of a whole-run pass, computed on the C++ threads.
struct Chromatogram {
  std::vector<double> rt_sec, tic, base_mz, base_intensity, window;
  std::vector<std::uint64_t> points;
  std::vector<acq::Status> status;
  std::vector<std::optional<acq::Status>> profile_status, centroid_status;
  std::vector<std::optional<acq::Representation>> representation;
  std::vector<std::optional<acq::CalibrationSource>> calibration;
};

// What a pass computes beyond the retention times.
enum Want : unsigned { want_tic = 1, want_base = 2, want_words = 4, want_window = 8 };

Chromatogram chromatogram(const acq::Acquisition& a, const std::vector<std::size_t>& indices,
                          acq::Prefer prefer, unsigned threads, unsigned want, double lo = 0.0,
                          double hi = 0.0) {
  const std::size_t n = indices.size();
  Chromatogram c;
  c.rt_sec.resize(n);
  if (want & want_tic) c.tic.resize(n);
  if (want & want_base) {
    c.base_mz.resize(n);
    c.base_intensity.resize(n);
  }
  if (want & want_window) c.window.resize(n);
  if (want & want_words) {
    c.points.resize(n);
    c.status.resize(n);
    c.profile_status.resize(n);
    c.centroid_status.resize(n);
    c.representation.resize(n);
    c.calibration.resize(n);
  }
  nb::gil_scoped_release release;
  for_each_scan(a, indices, prefer, threads, [&](std::size_t i, acq::Spectrum& s) {
    c.rt_sec[i] = a.scan(indices[i]).retention_time_min * 60.0;
    if (want & (want_tic | want_base)) {
      const SpectrumSummary sum = summarise(s);
      if (want & want_tic) c.tic[i] = sum.tic;
      if (want & want_base) {
        c.base_mz[i] = sum.base ? s.mz[*sum.base] : nan;
        c.base_intensity[i] = sum.base ? s.intensity[*sum.base] : 0.0;
      }
    }
    if (want & want_window) {
      double total = 0.0;
      const std::size_t points = s.mz.size();
      for (std::size_t k = 0; k < points; ++k) {
        total += (s.mz[k] >= lo && s.mz[k] <= hi) ? s.intensity[k] : 0.0;
      }
      c.window[i] = total;
    }
    if (want & want_words) {
      c.points[i] = s.mz.size();
      c.status[i] = s.status;
      c.profile_status[i] = s.profile_status;
      c.centroid_status[i] = s.centroid_status;
      c.representation[i] = s.representation;
      c.calibration[i] = s.calibration;
    }
  });
  return c;
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
  d["record_tic"] = column(t->tic);
  d["record_base_peak_mz"] = column(t->base_peak_mz);
  d["record_base_peak_intensity"] = column(t->base_peak_value);
  d["profile_points"] = column(t->profile_points);
  d["centroid_points"] = column(t->centroid_points);
  d["incomplete"] = bool_view(t->incomplete.data(), t->incomplete.size(), owner);
  return d;
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
  using A = Acquisition;
  nb::class_<A>(m, "Acquisition",
                "An acquisition directory opened by kestrane_acq.open(): its index and metadata "
                "are read; spectra are decoded on demand.")
      .def("__len__", [](const A& a) { return a.handle().size(); })
      .def("__getitem__",
           [](const A& a, Py_ssize_t i) {
             const acq::Acquisition h = a.handle();
             return make_spectrum(decode(h, index_arg(i, h.size()), acq::Prefer::profile));
           })
      .def("__iter__",
           [](nb::handle self) {
             const A& a = nb::cast<const A&>(self);
             a.handle();  // ValueError once closed
             return make_iterator(self, a, acq::Prefer::profile);
           })
      .def("spectrum",
           [](const A& a, Py_ssize_t i, const std::string& prefer, bool centroid) {
             const acq::Acquisition h = a.handle();
             DecodedScan d = decode(h, index_arg(i, h.size()), prefer_arg(prefer));
             if (centroid) {
               nb::gil_scoped_release release;
               centroid_scan(d.spectrum);
             }
             return make_spectrum(std::move(d));
           },
           nb::arg("i"), nb::arg("prefer") = "profile", nb::arg("centroid") = false)
      .def("spectra",
           [](const A& a, const Indices& indices, const std::string& prefer,
              std::optional<long> threads, bool centroid) {
             const acq::Acquisition h = a.handle();
             const std::vector<std::size_t> idx = indices_arg(indices, h.size());
             const acq::Prefer p = prefer_arg(prefer);
             const unsigned t = threads_arg(threads);
             std::vector<DecodedScan> decoded(idx.size());
             {
               nb::gil_scoped_release release;
               for_each_scan(h, idx, p, t, [&](std::size_t k, acq::Spectrum& s) {
                 DecodedScan& d = decoded[k];
                 if (centroid) centroid_scan(s);
                 d.spectrum = std::move(s);
                 s = take_spectrum();
                 d.info = h.scan(idx[k]);
               });
             }
             nb::list out;
             for (auto& d : decoded) out.append(make_spectrum(std::move(d)));
             return out;
           },
           nb::arg("indices") = nb::none(), nb::arg("prefer") = "profile",
           nb::arg("threads") = nb::none(), nb::arg("centroid") = false)
      .def("scan_table",
           [](nb::handle self, const std::string& format) -> nb::object {
             if (format == "arrow") return python_part("arrow", "scan_table")(self);
             if (format != "numpy") {
               throw nb::value_error(
                   ("format must be 'numpy' or 'arrow', not '" + format + "'").c_str());
             }
             return scan_table(nb::cast<const A&>(self).handle());
           },
           nb::arg("format") = "numpy")
      .def("to_arrow",
           [](nb::handle self, const std::string& prefer, bool centroid,
              std::optional<long> threads) {
             prefer_arg(prefer);
             return python_part("arrow", "to_arrow")(self, prefer, centroid,
                                                     nb::arg("threads") = threads);
           },
           nb::arg("prefer") = "profile", nb::arg("centroid") = false, nb::kw_only(),
           nb::arg("threads") = nb::none())
      .def("to_mzpeak",
           [](nb::handle self, nb::handle path, const std::string& prefer, bool centroid,
              std::optional<long> threads, bool overwrite) {
             prefer_arg(prefer);
             return python_part("mzpeak", "write_mzpeak")(
                 self, path, prefer, centroid, nb::arg("threads") = threads,
                 nb::arg("overwrite") = overwrite);
           },
           nb::arg("path"), nb::arg("prefer") = "profile", nb::arg("centroid") = false,
           nb::kw_only(), nb::arg("threads") = nb::none(), nb::arg("overwrite") = false)
      .def("record", [](const A& a, Py_ssize_t i) {
             const acq::Acquisition h = a.handle();
             return record_dict(h, index_arg(i, h.size()));
           }, nb::arg("i"))
      .def_prop_ro("warnings",
                   [](const A& a) {
                     nb::list out;
                     for (const auto& w : a.handle().warnings()) out.append(text(w));
                     return out;
                   })
      .def_prop_ro("info", [](const A& a) { return info_dict(a.handle()); })
      .def("tic",
           [](const A& a, const std::string& prefer, std::optional<long> threads,
              const Indices& indices) {
             const acq::Acquisition h = a.handle();
             Chromatogram c = chromatogram(h, indices_arg(indices, h.size()), prefer_arg(prefer),
                                           threads_arg(threads), want_tic);
             return nb::make_tuple(to_numpy(std::move(c.rt_sec)), to_numpy(std::move(c.tic)));
           },
           nb::arg("prefer") = "profile", nb::arg("threads") = nb::none(),
           nb::arg("indices") = nb::none())
      .def("bpc",
           [](const A& a, const std::string& prefer, std::optional<long> threads,
              const Indices& indices) {
             const acq::Acquisition h = a.handle();
             Chromatogram c = chromatogram(h, indices_arg(indices, h.size()), prefer_arg(prefer),
                                           threads_arg(threads), want_base);
             return nb::make_tuple(to_numpy(std::move(c.rt_sec)),
                                   to_numpy(std::move(c.base_intensity)));
           },
           nb::arg("prefer") = "profile", nb::arg("threads") = nb::none(),
           nb::arg("indices") = nb::none())
      .def("xic",
           [](const A& a, double mz, double ppm, const std::string& prefer,
              std::optional<long> threads, const Indices& indices) {
             if (!std::isfinite(mz) || mz <= 0.0) throw nb::value_error("mz must be positive");
             if (!std::isfinite(ppm) || ppm < 0.0) {
               throw nb::value_error("ppm must be zero or positive");
             }
             const double half = mz * ppm * 1e-6;
             const acq::Acquisition h = a.handle();
             Chromatogram c = chromatogram(h, indices_arg(indices, h.size()), prefer_arg(prefer),
                                           threads_arg(threads), want_window, mz - half,
                                           mz + half);
             return nb::make_tuple(to_numpy(std::move(c.rt_sec)), to_numpy(std::move(c.window)));
           },
           nb::arg("mz"), nb::arg("ppm") = 10.0, nb::arg("prefer") = "profile",
           nb::arg("threads") = nb::none(), nb::arg("indices") = nb::none())
      .def("summary",
           [](const A& a, const std::string& prefer, std::optional<long> threads,
              const Indices& indices) {
             const acq::Acquisition h = a.handle();
             Chromatogram c = chromatogram(h, indices_arg(indices, h.size()), prefer_arg(prefer),
                                           threads_arg(threads),
                                           want_tic | want_base | want_words);
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
           },
           nb::arg("prefer") = "profile", nb::arg("threads") = nb::none(),
           nb::arg("indices") = nb::none())
      .def("to_mzml",
           [](const A& a, nb::handle path, const std::string& prefer, bool compression,
              std::optional<long> threads, bool overwrite, bool strict, nb::handle progress,
              bool centroid, nb::handle ms_level, nb::handle rt, nb::handle scans,
              nb::handle polarity) {
             const convert::Selection selection = selection_arg(ms_level, rt, scans, polarity);
             const acq::Acquisition h = a.handle();
             return to_mzml(h, path, prefer_arg(prefer), compression, threads_arg(threads),
                            overwrite, strict, progress, centroid, selection);
           },
           nb::arg("path"), nb::arg("prefer") = "profile", nb::kw_only(),
           nb::arg("compression") = true, nb::arg("threads") = nb::none(),
           nb::arg("overwrite") = false, nb::arg("strict") = false,
           nb::arg("progress").none() = nb::none(), nb::arg("centroid") = false,
           nb::arg("ms_level").none() = nb::none(), nb::arg("rt").none() = nb::none(),
           nb::arg("scans").none() = nb::none(), nb::arg("polarity").none() = nb::none())
      .def("close", &A::close)
      .def_prop_ro("closed", &A::closed)
      .def_prop_ro("path", [](const A& a) { return a.path(); })
      .def("__enter__", [](nb::handle self) { return nb::borrow(self); })
      .def("__exit__",
           [](A& a, nb::handle, nb::handle, nb::handle) { a.close(); },
           nb::arg("exc_type").none(), nb::arg("exc_value").none(), nb::arg("traceback").none())
      .def("__repr__", [](const A& a) {
        nb::object path = nb::repr(a.path());
        if (a.closed()) return nb::str("Acquisition({}, closed)").format(path);
        return nb::str("Acquisition({}, {} records)").format(path, a.handle().size());
      });

  m.def(
      "open",
      [](nb::handle path) {
        const PathArg p = path_arg(path);
        std::optional<Result<acq::Acquisition>> opened;
        {
          nb::gil_scoped_release release;
          opened = acq::Acquisition::open(p.bytes);
        }
        if (!*opened) raise_open_error(opened->error(), p);
        nb::object given = nb::steal(PyOS_FSPath(path.ptr()));
        return new Acquisition(std::move(**opened), std::move(given));
      },
      nb::arg("path"), nb::rv_policy::take_ownership,
      "Opens an acquisition directory (the folder holding AcqData/, or AcqData itself).");
}

}  // namespace kestrane::acq_python
