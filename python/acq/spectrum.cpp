#include "python/acq/spectrum.hpp"

#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>

#include <cstdio>
#include <string>
#include <utility>

#include "python/acq/arrays.hpp"
#include "python/acq/buffers.hpp"

namespace kestrane::acq_python {

namespace {

nb::str word(std::string_view w) { return nb::str(w.data(), w.size()); }

template <class E>
nb::object word(const std::optional<E>& v) {
  if (!v) return nb::none();
  return word(acq::to_string(*v));
}

template <class T>
nb::object array_or_none(const vornelle_core::Array<T>& values, bool present, nb::handle owner) {
  if (!present) return nb::none();
  return readonly_array(values.data(), values.size(), owner);
}

bool is_channels(const acq::Spectrum& s) {
  return s.representation == acq::Representation::channels;
}

// Read buffers of single-spectrum reads, kept per thread so that a loop of reads allocates
// only the arrays it returns.
acq::ReadScratch& thread_scratch() {
  thread_local acq::ReadScratch scratch;
  return scratch;
}

}  // namespace

DecodedScan decode(const acq::Acquisition& a, std::size_t i, acq::Prefer prefer) {
  DecodedScan d;
  nb::gil_scoped_release release;
  d.spectrum = take_spectrum();
  a.read_into(i, prefer, d.spectrum, thread_scratch());
  d.info = a.scan(i);
  return d;
}

nb::object make_spectrum(DecodedScan&& d) {
  return nb::cast(new Spectrum(std::move(d)), nb::rv_policy::take_ownership);
}

SpectrumSummary summarise(const acq::Spectrum& s) noexcept {
  SpectrumSummary out;
  const std::size_t n = s.intensity.size();
  std::size_t base = 0;
  for (std::size_t k = 0; k < n; ++k) {
    out.tic += s.intensity[k];
    if (s.intensity[k] > s.intensity[base]) base = k;
  }
  if (n > 0 && s.mz.size() == n) out.base = base;
  return out;
}

Spectrum::Spectrum(DecodedScan&& scan) : info_(scan.info), points_(scan.spectrum.mz.size()) {
  auto* owned = new acq::Spectrum(std::move(scan.spectrum));
  // When the last array goes, the buffers return to the pool for the next read.
  owner_ = nb::capsule(owned, [](void* p) noexcept {
    auto* s = static_cast<acq::Spectrum*>(p);
    give_back(std::move(*s));
    delete s;
  });
  values_ = owned;
}

nb::object Spectrum::make_array(ArrayKind kind) const {
  const acq::Spectrum& s = *values_;
  const bool channels = is_channels(s);
  const bool timed = channels && s.accumulation_time_sec.size() == points_;
  switch (kind) {
    case ArrayKind::mz:
      return readonly_array(s.mz.data(), s.mz.size(), owner_);
    case ArrayKind::intensity:
      return readonly_array(s.intensity.data(), s.intensity.size(), owner_);
    case ArrayKind::precursor_channel_mz:
      return array_or_none(s.precursor_mz, channels && s.precursor_mz.size() == points_, owner_);
    case ArrayKind::accumulation_time_sec:
      return array_or_none(s.accumulation_time_sec, timed, owner_);
    case ArrayKind::detector_mode:
      return array_or_none(s.detector_mode, channels && s.detector_mode.size() == points_,
                           owner_);
    case ArrayKind::counts_per_second: {
      if (!timed) return nb::none();
      vornelle_core::Array<double> cps(points_);
      for (std::size_t k = 0; k < points_; ++k) {
        cps[k] = s.intensity[k] / s.accumulation_time_sec[k];
      }
      auto* owned = new vornelle_core::Array<double>(std::move(cps));
      nb::capsule owner = owning_capsule(owned);
      return readonly_array(owned->data(), owned->size(), owner);
    }
  }
  return nb::none();
}

nb::object Spectrum::array(ArrayKind kind) const {
  nb::object& slot = arrays_[static_cast<std::size_t>(kind)];
  {
    nb::ft_lock_guard lock(mutex_);
    if (slot.is_valid()) return slot;
  }
  // Made outside the lock (numpy runs Python code); the first one stored wins.
  nb::object made = make_array(kind);
  nb::ft_lock_guard lock(mutex_);
  if (!slot.is_valid()) slot = std::move(made);
  return slot;
}

nb::str Spectrum::repr() const {
  char text[160];
  std::snprintf(text, sizeof text, "Spectrum(index=%zu, scan_id=%lld, ms_level=%d, rt=%.3f s, ",
                info_.index, static_cast<long long>(info_.scan_id), info_.ms_level,
                info_.retention_time_min * 60.0);
  std::string out = text;
  const acq::Spectrum& s = values();
  if (s.representation) out += std::string(acq::to_string(*s.representation)) + ", ";
  out += std::to_string(points_) + " points";
  if (s.status != acq::Status::ok) {
    out += ", status='" + std::string(acq::to_string(s.status)) + "'";
  }
  out += ")";
  return nb::str(out.data(), out.size());
}

void bind_spectrum(nb::module_& m) {
  using S = Spectrum;
  nb::class_<S>(m, "Spectrum",
                "One emitted spectrum of an acquisition: read-only, its arrays numpy views of the "
                "decoded values, made once.")
      .def_prop_ro("mz", [](const S& s) { return s.array(ArrayKind::mz); })
      .def_prop_ro("intensity", [](const S& s) { return s.array(ArrayKind::intensity); })
      .def_prop_ro("index", [](const S& s) { return s.info().index; })
      .def_prop_ro("scan_id", [](const S& s) { return s.info().scan_id; })
      .def_prop_ro("retention_time_sec",
                   [](const S& s) { return s.info().retention_time_min * 60.0; })
      .def_prop_ro("ms_level", [](const S& s) { return s.info().ms_level; })
      .def_prop_ro("scan_type", [](const S& s) { return s.info().scan_type; })
      .def_prop_ro("polarity", [](const S& s) { return word(s.info().polarity); })
      .def_prop_ro("precursor_mz", [](const S& s) { return s.info().precursor_mz; })
      .def_prop_ro("collision_energy", [](const S& s) {
        return s.info().ms_level >= 2 ? s.info().collision_energy : std::nullopt;
      })
      .def_prop_ro("representation", [](const S& s) { return word(s.values().representation); })
      .def_prop_ro("calibration", [](const S& s) { return word(s.values().calibration); })
      .def_prop_ro("status", [](const S& s) { return word(acq::to_string(s.values().status)); })
      .def_prop_ro("profile_status", [](const S& s) { return word(s.values().profile_status); })
      .def_prop_ro("centroid_status",
                   [](const S& s) { return word(s.values().centroid_status); })
      .def_prop_ro("tic", [](const S& s) { return summarise(s.values()).tic; })
      .def_prop_ro("base_peak",
                   [](const S& s) -> std::optional<std::pair<double, double>> {
                     const auto base = summarise(s.values()).base;
                     if (!base) return std::nullopt;
                     return std::pair{s.values().mz[*base], s.values().intensity[*base]};
                   })
      .def_prop_ro("precursor_channel_mz", [](const S& s) { return s.array(ArrayKind::precursor_channel_mz); })
      .def_prop_ro("accumulation_time_sec", [](const S& s) { return s.array(ArrayKind::accumulation_time_sec); })
      .def_prop_ro("counts_per_second", [](const S& s) { return s.array(ArrayKind::counts_per_second); })
      .def_prop_ro("detector_mode", [](const S& s) { return s.array(ArrayKind::detector_mode); })
      .def("__len__", &S::size)
      .def("__repr__", &S::repr);
}

}  // namespace kestrane::acq_python
