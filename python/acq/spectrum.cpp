#include "python/acq/spectrum.hpp"

#include <cstdio>
#include <new>
#include <string>
#include <utility>

#include "python/acq/arrays.hpp"
#include "python/acq/native.hpp"
#include "src/acq/chromatograms.hpp"
#include "src/acq/kept.hpp"

namespace kestrane::acq_python {

namespace {

// Read buffers of single-spectrum reads, kept per thread so that a loop of reads allocates
// only the arrays it returns.
acq::ReadScratch& thread_scratch() {
  thread_local acq::ReadScratch scratch;
  return scratch;
}

// Below this many points in its blocks a scan decodes in about a microsecond from the data
// file's whole copy, less than releasing and taking back the interpreter costs.
constexpr std::uint64_t small_scan_points = 1024;

// --- the decoded values: the base of a spectrum's numpy arrays ---------------------------------

// Its buffers go back to the keeper (src/acq/kept.hpp) when the Spectrum and the last of its
// arrays are gone.
struct ValuesObject {
  PyObject_HEAD
  acq::Spectrum values;
};

PyTypeObject* values_type = nullptr;  // the process's type, set by bind_spectrum

void values_dealloc(PyObject* self) noexcept {
  auto* v = reinterpret_cast<ValuesObject*>(self);
  acq::give_back(std::move(v->values));
  v->values.~Spectrum();
  free_instance(self);
}

PyType_Slot values_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(values_dealloc)},
    {Py_tp_doc, const_cast<char*>("The decoded values under a Spectrum's numpy arrays.")},
    {0, nullptr},
};

PyType_Spec values_spec = {
    "kestrane_acq._core.SpectrumValues", sizeof(ValuesObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    values_slots};

// --- Spectrum ----------------------------------------------------------------------------------

// The numpy arrays of a spectrum are made on first access and kept, so every access returns
// the same object and a spectrum whose arrays are never asked for costs no numpy object.
enum ArrayKind : int { mz, intensity, precursor_channel_mz, accumulation_time_sec,
                       counts_per_second, detector_mode, array_kinds };

struct SpectrumObject {
  PyObject_HEAD
  acq::ScanInfo info;
  ValuesObject* values;            // owned
  std::size_t points;
  PyObject* arrays[array_kinds];   // owned once made (None where there are no such values);
                                   // set inside a critical section on this object
};

PyTypeObject* spectrum_type = nullptr;  // the process's type, set by bind_spectrum

SpectrumObject* as_spectrum(PyObject* self) { return reinterpret_cast<SpectrumObject*>(self); }
const acq::Spectrum& values_of(PyObject* self) { return as_spectrum(self)->values->values; }

void spectrum_dealloc(PyObject* self) noexcept {
  auto* s = as_spectrum(self);
  for (PyObject* a : s->arrays) Py_XDECREF(a);
  Py_DECREF(reinterpret_cast<PyObject*>(s->values));
  s->info.~ScanInfo();
  free_instance(self);
}

PyObject* counts_per_second_array(const acq::Spectrum& s, std::size_t points) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    vornelle_core::Array<double> cps(points);
    for (std::size_t k = 0; k < points; ++k) {
      cps[k] = s.intensity[k] / s.accumulation_time_sec[k];
    }
    auto* owned = new vornelle_core::Array<double>(std::move(cps));
    nb::capsule owner = owning_capsule(owned);
    return new_numpy_view(owned->data(), owned->size(), owner.ptr(), false);
  });
}

// A new reference to the array of `kind` (None where the spectrum has no such values).
PyObject* make_array(SpectrumObject* self, int kind) noexcept {
  const acq::Spectrum& s = self->values->values;
  auto* owner = reinterpret_cast<PyObject*>(self->values);
  const std::size_t n = self->points;
  const bool channels = s.representation == acq::Representation::channels;
  const bool timed = channels && s.accumulation_time_sec.size() == n;
  switch (kind) {
    case mz:
      return new_numpy_view(s.mz.data(), s.mz.size(), owner, false);
    case intensity:
      return new_numpy_view(s.intensity.data(), s.intensity.size(), owner, false);
    case precursor_channel_mz:
      if (!channels || s.precursor_mz.size() != n) break;
      return new_numpy_view(s.precursor_mz.data(), n, owner, false);
    case accumulation_time_sec:
      if (!timed) break;
      return new_numpy_view(s.accumulation_time_sec.data(), n, owner, false);
    case detector_mode:
      if (!channels || s.detector_mode.size() != n) break;
      return new_numpy_view(s.detector_mode.data(), n, owner, false);
    case counts_per_second:
      if (!timed) break;
      return counts_per_second_array(s, n);
    default:
      break;
  }
  return Py_NewRef(Py_None);
}

PyObject* get_array(PyObject* self, void* closure) noexcept {
  auto* s = as_spectrum(self);
  const auto kind = static_cast<int>(reinterpret_cast<std::intptr_t>(closure));
  PyObject* out = nullptr;
  Py_BEGIN_CRITICAL_SECTION(self);
  PyObject*& slot = s->arrays[kind];
  if (slot == nullptr) slot = make_array(s, kind);
  out = Py_XNewRef(slot);
  Py_END_CRITICAL_SECTION();
  return out;
}

void* kind_closure(int kind) { return reinterpret_cast<void*>(static_cast<std::intptr_t>(kind)); }

template <class E>
PyObject* word_or_none(const std::optional<E>& v) noexcept {
  if (!v) Py_RETURN_NONE;
  return new_str(acq::to_string(*v));
}

PyObject* real_or_none(const std::optional<double>& v) noexcept {
  if (!v) Py_RETURN_NONE;
  return PyFloat_FromDouble(*v);
}

const acq::ScanInfo& info_of(PyObject* self) { return as_spectrum(self)->info; }

PyObject* get_index(PyObject* self, void*) noexcept {
  return PyLong_FromSize_t(info_of(self).index);
}
PyObject* get_scan_id(PyObject* self, void*) noexcept {
  return PyLong_FromLongLong(info_of(self).scan_id);
}
PyObject* get_retention_time_sec(PyObject* self, void*) noexcept {
  return PyFloat_FromDouble(info_of(self).retention_time_min * 60.0);
}
PyObject* get_ms_level(PyObject* self, void*) noexcept {
  return PyLong_FromLong(info_of(self).ms_level);
}
PyObject* get_scan_type(PyObject* self, void*) noexcept {
  const auto& t = info_of(self).scan_type;
  if (!t) Py_RETURN_NONE;
  return PyLong_FromLong(*t);
}
PyObject* get_polarity(PyObject* self, void*) noexcept {
  return word_or_none(info_of(self).polarity);
}
PyObject* get_precursor_mz(PyObject* self, void*) noexcept {
  return real_or_none(info_of(self).precursor_mz);
}
PyObject* get_collision_energy(PyObject* self, void*) noexcept {
  return real_or_none(info_of(self).collision_energy);
}
PyObject* get_charge_state(PyObject* self, void*) noexcept {
  const auto& z = info_of(self).charge_state;
  if (!z) Py_RETURN_NONE;
  return PyLong_FromLong(*z);
}
PyObject* get_representation(PyObject* self, void*) noexcept {
  return word_or_none(values_of(self).representation);
}
PyObject* get_calibration(PyObject* self, void*) noexcept {
  return word_or_none(values_of(self).calibration);
}
PyObject* get_status(PyObject* self, void*) noexcept {
  return new_str(acq::to_string(values_of(self).status));
}
PyObject* get_profile_status(PyObject* self, void*) noexcept {
  return word_or_none(values_of(self).profile_status);
}
PyObject* get_centroid_status(PyObject* self, void*) noexcept {
  return word_or_none(values_of(self).centroid_status);
}
PyObject* get_tic(PyObject* self, void*) noexcept {
  return PyFloat_FromDouble(acq::summarise(values_of(self)).tic);
}
PyObject* get_base_peak(PyObject* self, void*) noexcept {
  const acq::Spectrum& s = values_of(self);
  const auto base = acq::summarise(s).base;
  if (!base) Py_RETURN_NONE;
  return Py_BuildValue("(dd)", s.mz[*base], s.intensity[*base]);
}

Py_ssize_t spectrum_length(PyObject* self) noexcept {
  return static_cast<Py_ssize_t>(as_spectrum(self)->points);
}

PyObject* spectrum_repr(PyObject* self) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    const SpectrumObject* s = as_spectrum(self);
    const acq::ScanInfo& info = s->info;
    char text[160];
    std::snprintf(text, sizeof text,
                  "Spectrum(index=%zu, scan_id=%lld, ms_level=%d, rt=%.3f s, ", info.index,
                  static_cast<long long>(info.scan_id), info.ms_level,
                  info.retention_time_min * 60.0);
    std::string out = text;
    const acq::Spectrum& v = s->values->values;
    if (v.representation) out += std::string(acq::to_string(*v.representation)) + ", ";
    out += std::to_string(s->points) + " points";
    if (v.status != acq::Status::ok) {
      out += ", status='" + std::string(acq::to_string(v.status)) + "'";
    }
    out += ")";
    return new_str(out);
  });
}

PyGetSetDef spectrum_getset[] = {
    {"mz", get_array, nullptr, "m/z of each point (read-only float64 array, no copy)",
     kind_closure(mz)},
    {"intensity", get_array, nullptr, "intensity of each point (read-only float64 array)",
     kind_closure(intensity)},
    {"index", get_index, nullptr, "position of the record in MSScan.bin, from 0", nullptr},
    {"scan_id", get_scan_id, nullptr, nullptr, nullptr},
    {"retention_time_sec", get_retention_time_sec, nullptr, nullptr, nullptr},
    {"ms_level", get_ms_level, nullptr, nullptr, nullptr},
    {"scan_type", get_scan_type, nullptr, nullptr, nullptr},
    {"polarity", get_polarity, nullptr, "'positive', 'negative' or None", nullptr},
    {"precursor_mz", get_precursor_mz, nullptr, nullptr, nullptr},
    {"collision_energy", get_collision_energy, nullptr, nullptr, nullptr},
    {"charge_state", get_charge_state, nullptr, "the precursor's charge, or None where unknown",
     nullptr},
    {"representation", get_representation, nullptr, nullptr, nullptr},
    {"calibration", get_calibration, nullptr, nullptr, nullptr},
    {"status", get_status, nullptr, nullptr, nullptr},
    {"profile_status", get_profile_status, nullptr, nullptr, nullptr},
    {"centroid_status", get_centroid_status, nullptr, nullptr, nullptr},
    {"tic", get_tic, nullptr, "sum of the intensities", nullptr},
    {"base_peak", get_base_peak, nullptr, "(mz, intensity) of the highest point, or None",
     nullptr},
    {"precursor_channel_mz", get_array, nullptr, nullptr, kind_closure(precursor_channel_mz)},
    {"accumulation_time_sec", get_array, nullptr, nullptr, kind_closure(accumulation_time_sec)},
    {"counts_per_second", get_array, nullptr, nullptr, kind_closure(counts_per_second)},
    {"detector_mode", get_array, nullptr, nullptr, kind_closure(detector_mode)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot spectrum_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(spectrum_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(spectrum_repr)},
    {Py_sq_length, reinterpret_cast<void*>(spectrum_length)},
    {Py_tp_getset, spectrum_getset},
    {Py_tp_doc, const_cast<char*>("One emitted spectrum of an acquisition: read-only, its arrays "
                                  "numpy views of the decoded values, made once.")},
    {0, nullptr},
};

PyType_Spec spectrum_spec = {
    "kestrane_acq._core.Spectrum", sizeof(SpectrumObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    spectrum_slots};

}  // namespace

DecodedScan decode(const acq::Acquisition& a, std::size_t i, acq::Prefer prefer) {
  DecodedScan d;
  d.info = a.scan(i);
  d.spectrum = acq::take_spectrum();
  if (d.info.profile_points + d.info.centroid_points < small_scan_points &&
      a.data_loaded()) {
    a.read_into(i, prefer, d.spectrum, thread_scratch());
  } else {
    nb::gil_scoped_release release;
    a.read_into(i, prefer, d.spectrum, thread_scratch());
  }
  return d;
}

nb::object make_spectrum(DecodedScan&& d) {
  ValuesObject* v = PyObject_New(ValuesObject, values_type);
  if (v == nullptr) throw nb::python_error();
  new (&v->values) acq::Spectrum(std::move(d.spectrum));
  SpectrumObject* s = PyObject_New(SpectrumObject, spectrum_type);
  if (s == nullptr) {
    Py_DECREF(reinterpret_cast<PyObject*>(v));
    throw nb::python_error();
  }
  new (&s->info) acq::ScanInfo(d.info);
  s->values = v;
  s->points = v->values.mz.size();
  for (PyObject*& a : s->arrays) a = nullptr;
  return nb::steal(reinterpret_cast<PyObject*>(s));
}

void bind_spectrum(nb::module_& m) {
  static ProcessType values(&values_spec);
  static ProcessType spectrum(&spectrum_spec);
  values_type = add_type(m, values, "SpectrumValues", false);
  spectrum_type = add_type(m, spectrum, "Spectrum", true);
}

}  // namespace kestrane::acq_python
