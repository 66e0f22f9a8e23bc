// scan_table(): the columns of ScanInfo for every record, each filled by loops over the index.
#include <algorithm>
#include <cstddef>
#include <limits>
#include <memory>
#include <memory_resource>
#include <type_traits>

#include "src/acq/acquisition.hpp"
#include "src/acq/array_pool.hpp"
#include "src/acq/scan_rules.hpp"
#include "src/acq/state.hpp"
#include "src/raw/le.hpp"

namespace kestrane::acq {

using raw::load_le;

namespace {

// sink(i, v) for records 0..n-1 with the value stored at `at` + i * stride as `Stored`: integers
// as std::int64_t, floating values widened to double.
template <class Stored, class Sink>
void each_stored(std::span<const std::uint8_t> b, std::size_t at, std::size_t stride,
                 std::size_t n, Sink& sink) {
  for (std::size_t i = 0; i < n; ++i, at += stride) {
    if constexpr (std::is_same_v<Stored, std::int8_t>) {
      sink(i, std::int64_t{static_cast<std::int8_t>(b[at])});
    } else if constexpr (std::is_floating_point_v<Stored>) {
      sink(i, static_cast<double>(load_le<Stored>(b, at)));
    } else {
      sink(i, std::int64_t{static_cast<Stored>(load_le<std::make_unsigned_t<Stored>>(b, at))});
    }
  }
}

// The same for field `f` of records starting at `first`, the type switched on once; nothing
// when the layout lacks the field.
template <class Sink>
void each_value(const Loader& f, std::span<const std::uint8_t> b, std::size_t first,
                std::size_t stride, std::size_t n, Sink sink) {
  if (!f.present) return;
  const std::size_t at = first + static_cast<std::size_t>(f.offset);
  switch (f.type) {
    case FieldType::i8:
      return each_stored<std::int8_t>(b, at, stride, n, sink);
    case FieldType::i16:
      return each_stored<std::int16_t>(b, at, stride, n, sink);
    case FieldType::i32:
      return each_stored<std::int32_t>(b, at, stride, n, sink);
    case FieldType::i64:
      return each_stored<std::int64_t>(b, at, stride, n, sink);
    case FieldType::f32:
      return each_stored<float>(b, at, stride, n, sink);
    case FieldType::f64:
      return each_stored<double>(b, at, stride, n, sink);
  }
}

// The columns of n records in one allocation, widest elements first so that each column is
// aligned; the caller writes every element.
ScanTable make_table(std::size_t n) {
  std::pmr::memory_resource* resource = spectrum_array_resource();
  const std::size_t bytes = std::max<std::size_t>(n * (12 * 8 + 3 * 4 + 2), 1);
  void* base = resource->allocate(bytes, alignof(std::max_align_t));
  ScanTable t;
  t.storage = std::shared_ptr<void>(base, [resource, bytes](void* p) {
    resource->deallocate(p, bytes, alignof(std::max_align_t));
  });
  auto* at = static_cast<unsigned char*>(base);
  const auto carve = [&]<class T>(std::span<T>& column) {
    T* const start = static_cast<T*>(static_cast<void*>(at));
    T* const first = std::uninitialized_default_construct_n(start, n) - n;
    column = std::span<T>(first, n);
    at += n * sizeof(T);
  };
  for (auto* c : {&t.scan_id, &t.scan_method_id, &t.time_segment_id}) carve(*c);
  for (auto* c : {&t.retention_time_min, &t.precursor_mz, &t.collision_energy,
                  &t.isolation_width, &t.tic, &t.base_peak_mz, &t.base_peak_value}) {
    carve(*c);
  }
  carve(t.profile_points);
  carve(t.centroid_points);
  carve(t.ms_level);
  carve(t.scan_type);
  carve(t.charge_state);
  carve(t.polarity);
  carve(t.incomplete);
  return t;
}

}  // namespace

ScanTable Acquisition::scan_table() const {
  const State& s = *s_;
  const std::size_t n = s.records;
  const std::span<const std::uint8_t> b = s.index;
  const auto stride = static_cast<std::size_t>(s.layout.stride);
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  // Records a chunk at a time, so that the chunk's index bytes stay in cache across columns.
  constexpr std::size_t chunk = 64;
  ScanTable t = make_table(n);
  std::size_t c0 = 0, m = 0;  // the chunk: records c0 .. c0 + m - 1
  const auto each = [&](const Loader& f, auto sink) {
    each_value(f, b, s.record_at(c0), stride, m,
               [&](std::size_t i, auto v) { sink(c0 + i, v); });
  };
  // Integer columns take integer fields only (0 otherwise), as scan() does.
  const auto integers = [&](auto& column, const Loader& f) {
    using T = typename std::remove_reference_t<decltype(column)>::value_type;
    std::fill_n(column.begin() + static_cast<std::ptrdiff_t>(c0), m, T{0});
    each(f, [&](std::size_t i, auto v) {
      if constexpr (std::is_integral_v<decltype(v)>) column[i] = static_cast<T>(v);
    });
  };
  const auto reals = [&](std::span<double> column, const Loader& f, double absent) {
    std::fill_n(column.begin() + static_cast<std::ptrdiff_t>(c0), m, absent);
    each(f, [&](std::size_t i, auto v) { column[i] = static_cast<double>(v); });
  };
  for (; c0 < n; c0 += m) {
    m = std::min(chunk, n - c0);
    integers(t.scan_id, s.scan_id);
    integers(t.scan_method_id, s.scan_method_id);
    integers(t.time_segment_id, s.time_segment_id);
    reals(t.retention_time_min, s.scan_time, 0.0);
    integers(t.ms_level, s.ms_level);
    integers(t.scan_type, s.scan_type);
    integers(t.polarity, Loader{});
    each(s.ion_polarity, [&](std::size_t i, auto v) {
      if constexpr (std::is_integral_v<decltype(v)>) t.polarity[i] = polarity_code(v);
    });
    reals(t.precursor_mz, s.mz_of_interest, nan);
    reals(t.collision_energy, s.collision_energy, nan);
    for (std::size_t i = c0; i < c0 + m; ++i) {
      if (!precursor_applies(t.ms_level[i], t.precursor_mz[i])) t.precursor_mz[i] = nan;
      if (!collision_energy_applies(t.ms_level[i])) t.collision_energy[i] = nan;
    }
    reals(t.isolation_width, s.isolation_width, nan);
    integers(t.charge_state, s.charge_state);
    for (std::size_t i = c0; i < c0 + m; ++i) t.charge_state[i] = std::max(t.charge_state[i], 0);
    reals(t.tic, s.tic, nan);
    reals(t.base_peak_mz, s.base_peak_mz, nan);
    reals(t.base_peak_value, s.base_peak_value, nan);
    for (std::size_t i = c0; i < c0 + m; ++i) {
      const RecordBlocks& rb = s.blocks[i];
      t.profile_points[i] = s.points(i, rb.profile);
      t.centroid_points[i] = s.points(i, rb.centroid);
      t.incomplete[i] = rb.incomplete ? 1 : 0;
    }
  }
  return t;
}

}  // namespace kestrane::acq
