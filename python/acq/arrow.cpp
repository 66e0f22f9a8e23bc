#include "python/acq/arrow.hpp"

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <memory_resource>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "python/acq/acquisition.hpp"
#include "python/acq/arrays.hpp"
#include "python/acq/arrow_c.hpp"
#include "python/acq/centroid.hpp"
#include "src/acq/kept.hpp"
#include "src/acq/parallel.hpp"
#include "src/acq/array_pool.hpp"
#include "src/convert/mapping.hpp"
#include "src/spectrum/summary.hpp"

namespace kestrane::acq_python {

namespace {

constexpr std::size_t column_alignment = 64;  // Arrow's recommended alignment
// Fields are declared nullable, as Arrow's and Parquet's fields are by default (no value is null).
constexpr std::int64_t arrow_flag_nullable = 2;
// The most points a batch lays out in advance from the index's counts (about 640 MB).
constexpr std::uint64_t max_planned_points = std::uint64_t{1} << 25;

// One column's memory: from the spectra's array pool (a batch freed is the next one's memory,
// already backed by pages), or a writable buffer a Python allocator returns (pyarrow's memory
// pool, which keeps freed memory for reuse by its own rules). A Python buffer is let go under
// the GIL, taken here when the last owner is an Arrow consumer's thread.
class Buffer {
 public:
  Buffer() = default;
  explicit Buffer(std::size_t bytes)
      : bytes_(std::max(bytes, column_alignment)),
        data_(acq::spectrum_array_resource()->allocate(bytes_, column_alignment)) {}
  // `allocate(bytes)` gives an object exporting at least `bytes` writable bytes, aligned for
  // doubles. Needs the GIL; raises nb::python_error or TypeError.
  Buffer(std::size_t bytes, nb::handle allocate) : bytes_(std::max(bytes, column_alignment)) {
    nb::object obj = allocate(bytes_);
    if (PyObject_GetBuffer(obj.ptr(), &view_, PyBUF_WRITABLE | PyBUF_SIMPLE) != 0) {
      throw nb::python_error();
    }
    const bool fits = view_.len >= 0 && static_cast<std::size_t>(view_.len) >= bytes_ &&
                      reinterpret_cast<std::uintptr_t>(view_.buf) % alignof(double) == 0;
    if (!fits) {
      PyBuffer_Release(&view_);
      throw nb::type_error("allocate(n) must give n writable bytes aligned for float64");
    }
    data_ = view_.buf;
    python_ = true;
  }
  Buffer(Buffer&& o) noexcept
      : bytes_(std::exchange(o.bytes_, 0)),
        data_(std::exchange(o.data_, nullptr)),
        python_(std::exchange(o.python_, false)),
        view_(o.view_) {}
  Buffer& operator=(Buffer&& o) noexcept {
    std::swap(bytes_, o.bytes_);
    std::swap(data_, o.data_);
    std::swap(python_, o.python_);
    std::swap(view_, o.view_);
    return *this;
  }
  ~Buffer() {
    if (python_) {
      // At interpreter exit the buffer is left to the process.
      if (Py_IsFinalizing()) return;
      const PyGILState_STATE gil = PyGILState_Ensure();
      PyBuffer_Release(&view_);
      PyGILState_Release(gil);
    } else if (data_ != nullptr) {
      acq::spectrum_array_resource()->deallocate(data_, bytes_, column_alignment);
    }
  }
  template <class T>
  T* as() const noexcept {
    return static_cast<T*>(data_);
  }
  // The Python object holding the memory, or None for memory of the array pool.
  nb::object owner() const {
    return python_ ? nb::borrow(view_.obj) : nb::none();
  }

 private:
  std::size_t bytes_ = 0;
  void* data_ = nullptr;
  bool python_ = false;
  Py_buffer view_{};
};

// A column of `bytes` from `allocate` (a Python callable, taken under the GIL) when given, else
// from the array pool.
Buffer column_buffer(std::size_t bytes, nb::handle allocate) {
  if (!allocate.is_valid() || allocate.is_none()) return Buffer(bytes);
  if (PyGILState_Check()) return Buffer(bytes, allocate);
  nb::gil_scoped_acquire gil;
  return Buffer(bytes, allocate);
}

// The three columns of a batch: spectrum_index (uint64), mz (float64), intensity (float32 when
// every value converts to float32 and back unchanged and float32 was asked for; else float64).
struct PointColumns {
  std::size_t points = 0;
  Buffer index, mz, intensity;
  bool float32 = false;
};

// Per-spectrum figures of a batch, in the order of its indices.
struct SpectrumFigures {
  std::vector<std::uint64_t> points;
  std::vector<std::int32_t> representation;  // -1 nothing emitted, 0 profile, 1 centroid, 2 channels
  std::vector<double> time_min, tic, base_mz, base_intensity, lowest_mz, highest_mz;
  std::vector<std::string> failure;  // why a spectrum could not be read; empty when it could
};

struct PointBatch {
  std::shared_ptr<const PointColumns> columns;
  SpectrumFigures figures;
};

// ---- Export through the C data interface ----------------------------------------------------

struct ArrayNode {
  std::shared_ptr<const PointColumns> owner;
  std::array<const void*, 2> buffers{};
  std::array<ArrowArray, 3> children{};
  std::array<ArrowArray*, 3> child_ptrs{};
};

void release_array(ArrowArray* a) noexcept {
  auto* node = static_cast<ArrayNode*>(a->private_data);
  for (std::int64_t c = 0; c < a->n_children; ++c) {
    ArrowArray* child = a->children[c];
    if (child->release != nullptr) child->release(child);
  }
  delete node;
  a->release = nullptr;
}

void fill_array(ArrowArray& a, ArrayNode* node, std::size_t length, std::int64_t n_buffers,
                std::int64_t n_children) {
  a.length = static_cast<std::int64_t>(length);
  a.null_count = 0;
  a.offset = 0;
  a.n_buffers = n_buffers;
  a.n_children = n_children;
  a.buffers = node->buffers.data();
  a.children = n_children > 0 ? node->child_ptrs.data() : nullptr;
  a.dictionary = nullptr;
  a.release = &release_array;
  a.private_data = node;
}

// A struct array of the three columns; each child holds its own reference to the memory, so a
// consumer may move children out and release them apart.
void export_array(const std::shared_ptr<const PointColumns>& columns, ArrowArray& out) {
  auto parent = std::make_unique<ArrayNode>();
  parent->owner = columns;
  const std::array<const void*, 3> data = {columns->index.as<void>(), columns->mz.as<void>(),
                                           columns->intensity.as<void>()};
  std::array<std::unique_ptr<ArrayNode>, 3> nodes;
  for (std::size_t c = 0; c < 3; ++c) {
    nodes[c] = std::make_unique<ArrayNode>();
    nodes[c]->owner = columns;
    nodes[c]->buffers = {nullptr, data[c]};
  }
  for (std::size_t c = 0; c < 3; ++c) {
    fill_array(parent->children[c], nodes[c].release(), columns->points, 2, 0);
    parent->child_ptrs[c] = &parent->children[c];
  }
  ArrayNode* p = parent.release();
  fill_array(out, p, columns->points, 1, 3);
}

struct SchemaNode {
  std::string format, name;
  std::vector<ArrowSchema> children;
  std::vector<ArrowSchema*> child_ptrs;
};

void release_schema(ArrowSchema* s) noexcept {
  auto* node = static_cast<SchemaNode*>(s->private_data);
  for (std::int64_t c = 0; c < s->n_children; ++c) {
    ArrowSchema* child = s->children[c];
    if (child->release != nullptr) child->release(child);
  }
  delete node;
  s->release = nullptr;
}

void fill_schema(ArrowSchema& s, std::string format, std::string name,
                 std::vector<std::pair<std::string, std::string>> children) {
  auto node = std::make_unique<SchemaNode>();
  node->format = std::move(format);
  node->name = std::move(name);
  node->children.resize(children.size());
  for (std::size_t c = 0; c < children.size(); ++c) {
    fill_schema(node->children[c], std::move(children[c].first), std::move(children[c].second),
                {});
    node->child_ptrs.push_back(&node->children[c]);
  }
  s.format = node->format.c_str();
  s.name = node->name.c_str();
  s.metadata = nullptr;
  s.flags = arrow_flag_nullable;
  s.n_children = static_cast<std::int64_t>(children.size());
  s.children = children.empty() ? nullptr : node->child_ptrs.data();
  s.dictionary = nullptr;
  s.release = &release_schema;
  s.private_data = node.release();
}

void free_schema_capsule(PyObject* capsule) noexcept {
  auto* s = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
  if (s == nullptr) return PyErr_Clear();
  if (s->release != nullptr) s->release(s);
  delete s;
}

void free_array_capsule(PyObject* capsule) noexcept {
  auto* a = static_cast<ArrowArray*>(PyCapsule_GetPointer(capsule, "arrow_array"));
  if (a == nullptr) return PyErr_Clear();
  if (a->release != nullptr) a->release(a);
  delete a;
}

nb::object capsules(const std::shared_ptr<const PointColumns>& columns) {
  auto schema = std::make_unique<ArrowSchema>();
  fill_schema(*schema, "+s", "",
              {{"L", "spectrum_index"}, {"g", "mz"}, {columns->float32 ? "f" : "g", "intensity"}});
  PyObject* s = PyCapsule_New(schema.get(), "arrow_schema", &free_schema_capsule);
  if (s == nullptr) {
    schema->release(schema.get());
    throw nb::python_error();
  }
  schema.release();
  nb::object schema_capsule = nb::steal(s);
  auto array = std::make_unique<ArrowArray>();
  export_array(columns, *array);
  PyObject* a = PyCapsule_New(array.get(), "arrow_array", &free_array_capsule);
  if (a == nullptr) {
    array->release(array.get());
    throw nb::python_error();
  }
  array.release();
  return nb::make_tuple(schema_capsule, nb::steal(a));
}

// ---- Decoding a batch -----------------------------------------------------------------------

std::int32_t representation_code(const std::optional<acq::Representation>& r) noexcept {
  return r ? static_cast<std::int32_t>(*r) : -1;
}

// The point count the index gives for the block `prefer` reads first, else the other one: the
// count read_into emits in the common case, where the batch's slot for it lies.
std::uint64_t expected_points(const acq::ScanInfo& s, acq::Prefer prefer) noexcept {
  const bool profile_first = prefer == acq::Prefer::profile;
  const std::uint64_t first = profile_first ? s.profile_points : s.centroid_points;
  return first > 0 ? first : (profile_first ? s.centroid_points : s.profile_points);
}

// The column writers below store past the cache where the target can (SSE2): a column is
// written once and read later by its consumer, so reading each line in before writing it, as a
// plain store does, doubles the memory traffic. fence_columns() orders a thread's streamed
// stores before the batch is handed on. The intrinsics take vector pointers, which may alias.
void fence_columns() noexcept {
#if defined(__SSE2__)
  _mm_sfence();
#endif
}

template <class T>
bool aligned16(const T* p) noexcept {
  return reinterpret_cast<std::uintptr_t>(p) % 16 == 0;
}

void fill_column(std::uint64_t* out, std::size_t n, std::uint64_t v) noexcept {
  std::size_t j = 0;
#if defined(__SSE2__)
  for (; j < n && !aligned16(out + j); ++j) out[j] = v;
  const __m128i pair = _mm_set1_epi64x(static_cast<long long>(v));
  for (; j + 2 <= n; j += 2) _mm_stream_si128(reinterpret_cast<__m128i*>(out + j), pair);
#endif
  for (; j < n; ++j) out[j] = v;
}

// out[j] = float(in[j]); true when every value converts back unchanged (NaN does not: kept as
// float64). The vector conversion rounds as the scalar one (both by the MXCSR mode).
bool narrow(const double* in, float* out, std::size_t n) noexcept {
  bool exact = true;
  std::size_t j = 0;
  const auto one = [&](std::size_t i) {
    const auto f = static_cast<float>(in[i]);
    out[i] = f;
    exact &= static_cast<double>(f) == in[i];
  };
#if defined(__SSE2__)
  for (; j < n && !aligned16(out + j); ++j) one(j);
  int same = 3;
  for (; j + 4 <= n; j += 4) {
    const __m128d a = _mm_loadu_pd(in + j), b = _mm_loadu_pd(in + j + 2);
    const __m128 fa = _mm_cvtpd_ps(a), fb = _mm_cvtpd_ps(b);
    _mm_stream_ps(out + j, _mm_movelh_ps(fa, fb));
    same &= _mm_movemask_pd(_mm_cmpeq_pd(_mm_cvtps_pd(fa), a)) &
            _mm_movemask_pd(_mm_cmpeq_pd(_mm_cvtps_pd(fb), b));
  }
  exact &= same == 3;
#endif
  for (; j < n; ++j) one(j);
  return exact;
}

bool exact_in_float32(std::span<const double> values) noexcept {
  return std::all_of(values.begin(), values.end(),
                     [](double v) { return static_cast<double>(static_cast<float>(v)) == v; });
}

// An array's memory for one read: the spectrum's slot in a batch column when the array fits
// in it, so that the decoder writes straight into the column; else the spectrum array pool.
class SlotResource final : public std::pmr::memory_resource {
 public:
  SlotResource(void* slot, std::size_t bytes) noexcept : slot_(slot), bytes_(bytes) {}
  // True when `p` is the slot, handed out and not given back.
  bool holds(const void* p) const noexcept { return taken_ && p == slot_; }

 private:
  void* do_allocate(std::size_t bytes, std::size_t alignment) override {
    if (!taken_ && bytes <= bytes_ && alignment <= alignof(double)) {
      taken_ = true;
      return slot_;
    }
    return acq::spectrum_array_resource()->allocate(bytes, alignment);
  }
  void do_deallocate(void* p, std::size_t bytes, std::size_t alignment) override {
    if (taken_ && p == slot_) {
      taken_ = false;
      return;
    }
    acq::spectrum_array_resource()->deallocate(p, bytes, alignment);
  }
  bool do_is_equal(const std::pmr::memory_resource& o) const noexcept override {
    return this == &o;
  }

  void* slot_;
  std::size_t bytes_;
  bool taken_ = false;
};

vornelle_core::Array<double> pooled_copy(const vornelle_core::Array<double>& v) {
  return vornelle_core::Array<double>(v.begin(), v.end(), acq::spectrum_array_resource());
}

// A spectrum whose points did not stay in its slot: more than the index said, or intensities
// that float32 does not hold exactly. Its arrays are copies of its own.
struct Stashed {
  std::size_t k;
  acq::Spectrum spectrum;
};

PointBatch decode_batch(const acq::Acquisition& a, const std::vector<std::size_t>& indices,
                        acq::Prefer prefer, unsigned threads, bool want_float32, bool strict,
                        bool centroid, bool figures, nb::handle allocate) {
  const std::size_t n = indices.size();
  std::vector<std::uint64_t> slot(n + 1, 0);  // offsets by the index's point counts
  for (std::size_t k = 0; k < n; ++k) {
    // The counts are the file's claims: past max_planned_points in all, a spectrum gets no slot
    // (and is stashed), so that a hostile count allocates nothing. A count may be an upper
    // bound (a spectrum emits fewer points): the columns are then laid out again.
    const std::uint64_t claimed = expected_points(a.scan(indices[k]), prefer);
    const bool fits = claimed <= max_planned_points - slot[k];
    slot[k + 1] = slot[k] + (fits ? claimed : 0);
  }
  const std::size_t planned = slot[n];
  auto columns = std::make_shared<PointColumns>();
  columns->index = column_buffer(planned * sizeof(std::uint64_t), allocate);
  columns->mz = column_buffer(planned * sizeof(double), allocate);
  columns->intensity =
      column_buffer(planned * (want_float32 ? sizeof(float) : sizeof(double)), allocate);
  PointBatch batch;
  SpectrumFigures& f = batch.figures;
  f.points.resize(n);
  f.representation.resize(n);
  if (figures) {
    for (auto* v : {&f.time_min, &f.tic, &f.base_mz, &f.base_intensity, &f.lowest_mz, &f.highest_mz}) {
      v->resize(n);
    }
    f.failure.resize(n);
  }
  const auto wanted = prefer == acq::Prefer::profile ? acq::Representation::profile
                                                     : acq::Representation::centroid;
  auto* index = columns->index.as<std::uint64_t>();
  auto* mz = columns->mz.as<double>();
  // Each spectrum's m/z and intensities are decoded into its slot of the columns: float64
  // intensities always, float32 ones where the reader can decode the counts as float32 (the
  // others are narrowed into the slot). Spectra that are centroided or summed up are read
  // as float64.
  const bool float32_counts = want_float32 && !centroid && !figures;
  std::vector<SlotResource> mz_slots, intensity_slots;
  mz_slots.reserve(n);
  intensity_slots.reserve(want_float32 && !float32_counts ? 0 : n);
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t room = slot[k + 1] - slot[k];
    mz_slots.emplace_back(mz + slot[k], room * sizeof(double));
    if (!want_float32) {
      intensity_slots.emplace_back(columns->intensity.as<double>() + slot[k],
                                   room * sizeof(double));
    } else if (float32_counts) {
      intensity_slots.emplace_back(columns->intensity.as<float>() + slot[k], room * sizeof(float));
    }
  }
  std::vector<Stashed> stash;
  std::mutex stash_mutex;
  const auto prepare = [&](std::size_t k, acq::Spectrum& s) {
    s.mz = vornelle_core::Array<double>(&mz_slots[k]);
    if (!want_float32) s.intensity = vornelle_core::Array<double>(&intensity_slots[k]);
    if (float32_counts) {
      s.float32_counts = true;
      s.intensity32 = vornelle_core::Array<float>(&intensity_slots[k]);
    }
  };
  const auto visit = [&](std::size_t k, acq::Spectrum& s) {
    if (centroid) centroid_scan(s);
    const bool keep = !strict || s.representation == wanted;
    const std::size_t points = keep ? s.mz.size() : 0;
    f.points[k] = points;
    f.representation[k] = keep ? representation_code(s.representation) : -1;
    if (figures) {
      const spectrum::Summary sum = spectrum::summarise({s.mz.data(), points},
                                                        {s.intensity.data(), points});
      f.time_min[k] = a.scan(indices[k]).retention_time_min;
      f.tic[k] = sum.tic;
      f.base_mz[k] = sum.base ? s.mz[*sum.base] : 0.0;
      f.base_intensity[k] = sum.base ? s.intensity[*sum.base] : 0.0;
      f.lowest_mz[k] = sum.lowest_mz;
      f.highest_mz[k] = sum.highest_mz;
      f.failure[k] = convert::failure_text(s);
    }
    // In its slot: the points the index gives or fewer, where the decoder wrote them.
    const bool as_float32 = !s.intensity32.empty();  // decoded into the float32 column
    bool placed = points == 0 ||
                  (mz_slots[k].holds(s.mz.data()) &&
                   (as_float32 ? intensity_slots[k].holds(s.intensity32.data())
                               : want_float32 || intensity_slots[k].holds(s.intensity.data())));
    if (placed && points > 0) {
      const std::size_t at = slot[k];
      fill_column(index + at, points, static_cast<std::uint64_t>(indices[k]));
      if (want_float32 && !as_float32) {
        placed = narrow(s.intensity.data(), columns->intensity.as<float>() + at, points);
      }
      fence_columns();
    }
    if (!placed) {
      acq::Spectrum kept;
      kept.mz = pooled_copy(s.mz);
      kept.intensity = as_float32 ? vornelle_core::Array<double>(s.intensity32.begin(),
                                                                 s.intensity32.end(),
                                                                 acq::spectrum_array_resource())
                                  : pooled_copy(s.intensity);
      kept.mz.resize(points);
      kept.intensity.resize(points);
      const std::lock_guard lock(stash_mutex);
      stash.push_back(Stashed{k, std::move(kept)});
    }
    // The spectrum goes back to the keepers with arrays of the pool (the slots stay the
    // columns').
    s.mz = vornelle_core::Array<double>(acq::spectrum_array_resource());
    if (!want_float32) s.intensity = vornelle_core::Array<double>(acq::spectrum_array_resource());
    if (float32_counts) s.intensity32 = vornelle_core::Array<float>(acq::spectrum_array_resource());
  };
  acq::for_each_scan(a, indices, prefer, threads, prepare, visit);

  std::vector<std::uint64_t> offset(n + 1, 0);
  for (std::size_t k = 0; k < n; ++k) offset[k + 1] = offset[k] + f.points[k];
  const std::size_t total = offset[n];
  const bool relayout = offset != slot;
  bool float32 = want_float32;
  for (const Stashed& e : stash) {
    float32 = float32 && exact_in_float32({e.spectrum.intensity.data(), e.spectrum.intensity.size()});
  }
  columns->points = total;
  columns->float32 = float32;
  if (stash.empty() && !relayout) {
    batch.columns = std::move(columns);
    return batch;
  }
  // The columns made again at the real offsets, from the slots filled and the stashed spectra.
  PointColumns out;
  out.points = total;
  out.float32 = float32;
  out.index = relayout ? column_buffer(total * sizeof(std::uint64_t), allocate)
                       : std::move(columns->index);
  out.mz = relayout ? column_buffer(total * sizeof(double), allocate) : std::move(columns->mz);
  out.intensity = column_buffer(total * (float32 ? sizeof(float) : sizeof(double)), allocate);
  std::vector<const acq::Spectrum*> from(n, nullptr);
  for (const Stashed& e : stash) from[e.k] = &e.spectrum;
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t points = f.points[k], at = offset[k], old = slot[k];
    if (points == 0) continue;
    const acq::Spectrum* s = from[k];
    if (relayout || s != nullptr) {
      std::fill_n(out.index.as<std::uint64_t>() + at, points, indices[k]);
      std::memcpy(out.mz.as<double>() + at, s ? s->mz.data() : mz + old, points * sizeof(double));
    }
    if (s != nullptr && float32) {
      narrow(s->intensity.data(), out.intensity.as<float>() + at, points);
    } else if (s != nullptr) {
      std::memcpy(out.intensity.as<double>() + at, s->intensity.data(), points * sizeof(double));
    } else if (want_float32 == float32) {
      const std::size_t width = float32 ? sizeof(float) : sizeof(double);
      std::memcpy(out.intensity.as<std::uint8_t>() + at * width,
                  columns->intensity.as<std::uint8_t>() + old * width, points * width);
    } else {  // float32 asked for, float64 made: the slot's float32 values widen exactly
      const float* in = columns->intensity.as<float>() + old;
      std::copy(in, in + points, out.intensity.as<double>() + at);
    }
  }
  batch.columns = std::make_shared<const PointColumns>(std::move(out));
  return batch;
}

std::vector<std::size_t> batch_indices(const std::vector<std::int64_t>& given, std::size_t size) {
  std::vector<std::size_t> out;
  out.reserve(given.size());
  for (const std::int64_t i : given) {
    if (i < 0 || static_cast<std::uint64_t>(i) >= size) {
      throw nb::index_error("spectrum index out of range");
    }
    out.push_back(static_cast<std::size_t>(i));
  }
  return out;
}

template <class T>
nb::object copy_to_numpy(const std::vector<T>& v) {
  return to_numpy(std::vector<T>(v));
}

}  // namespace

void bind_arrow(nb::module_& m) {
  nb::class_<PointBatch>(m, "PointBatch",
                         "The points of some spectra as three Arrow columns (spectrum_index, mz, "
                         "intensity), exported without a copy by __arrow_c_array__.")
      .def("__arrow_c_array__",
           [](const PointBatch& b, nb::handle requested_schema) {
             if (!requested_schema.is_none()) {
               throw nb::type_error("PointBatch exports its own schema only");
             }
             return capsules(b.columns);
           },
           nb::arg("requested_schema").none() = nb::none())
      .def("__len__", [](const PointBatch& b) { return b.columns->points; })
      .def_prop_ro("float32", [](const PointBatch& b) { return b.columns->float32; })
      .def_prop_ro("buffers",
                   [](const PointBatch& b) -> nb::object {
                     const PointColumns& c = *b.columns;
                     if (c.index.owner().is_none()) return nb::none();
                     return nb::make_tuple(c.index.owner(), c.mz.owner(), c.intensity.owner());
                   },
                   "The objects from point_batch's `allocate` holding spectrum_index, mz and "
                   "intensity (each at least len(batch) values long), or None for the "
                   "module's own memory.")
      .def_prop_ro("points", [](const PointBatch& b) { return copy_to_numpy(b.figures.points); })
      .def_prop_ro("representation",
                   [](const PointBatch& b) { return copy_to_numpy(b.figures.representation); })
      .def_prop_ro("figures", [](const PointBatch& b) {
        nb::dict d;
        d["time_min"] = copy_to_numpy(b.figures.time_min);
        d["tic"] = copy_to_numpy(b.figures.tic);
        d["base_peak_mz"] = copy_to_numpy(b.figures.base_mz);
        d["base_peak_intensity"] = copy_to_numpy(b.figures.base_intensity);
        d["lowest_mz"] = copy_to_numpy(b.figures.lowest_mz);
        d["highest_mz"] = copy_to_numpy(b.figures.highest_mz);
        return d;
      })
      .def_prop_ro("failures",
                   [](const PointBatch& b) { return b.figures.failure; },
                   "With figures, why each spectrum could not be read (as the mzML writer's "
                   "\"conversion failure\" says it), or \"\" when it could; else empty.");

  m.def(
      "point_batch",
      [](const Acquisition& a, const std::vector<std::int64_t>& indices,
         const std::string& prefer, std::optional<long> threads, bool float32, bool strict,
         bool centroid, bool figures, nb::object allocate) {
        const acq::Acquisition h = a.handle();
        const auto p = acq::prefer_from_string(prefer);
        if (!p) {
          throw nb::value_error(
              ("prefer must be 'profile' or 'centroid', not '" + prefer + "'").c_str());
        }
        if (threads && *threads < 1) throw nb::value_error("threads must be at least 1");
        const unsigned t =
            threads ? static_cast<unsigned>(std::min<long>(*threads, 1024)) : acq::default_threads();
        const std::vector<std::size_t> idx = batch_indices(indices, h.size());
        nb::gil_scoped_release release;
        return decode_batch(h, idx, *p, t, float32, strict, centroid, figures, allocate);
      },
      nb::arg("acquisition"), nb::arg("indices"), nb::arg("prefer") = "profile",
      nb::arg("threads") = nb::none(), nb::arg("float32") = false, nb::arg("strict") = false,
      nb::arg("centroid") = false, nb::arg("figures") = false,
      nb::arg("allocate").none() = nb::none(),
      "Decodes the spectra `indices` on `threads` threads into one PointBatch. float32: "
      "intensities as float32 when every one converts exactly (PointBatch.float32 tells). "
      "strict: a spectrum of the other representation than `prefer` counts as empty. centroid: "
      "profile spectra replaced by their centroids, as spectrum(centroid=True). figures: "
      "each spectrum's time in minutes, TIC, base peak and m/z range as well. allocate: a callable "
      "giving a writable buffer of n bytes (pyarrow.allocate_buffer) for each column, which "
      "PointBatch.buffers then returns.");
}

}  // namespace kestrane::acq_python
