#include "python/acq/iterator.hpp"

#include <atomic>
#include <new>

#include "python/acq/native.hpp"
#include "python/acq/spectrum.hpp"

namespace kestrane::acq_python {

namespace {

struct IteratorObject {
  PyObject_HEAD
  PyObject* owner;  // the Python Acquisition, owned
  const Acquisition* acquisition;
  acq::Prefer prefer;
  std::atomic<std::size_t> next;
};

PyTypeObject* iterator_type = nullptr;  // the process's type, set by bind_iterator

void iterator_dealloc(PyObject* self) noexcept {
  auto* it = reinterpret_cast<IteratorObject*>(self);
  Py_DECREF(it->owner);
  it->next.~atomic();
  free_instance(self);
}

// The next spectrum; nullptr with no error set after the last.
PyObject* iterator_next(PyObject* self) noexcept {
  auto* it = reinterpret_cast<IteratorObject*>(self);
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    const acq::Acquisition a = it->acquisition->handle();  // ValueError once closed
    const std::size_t i = it->next.fetch_add(1, std::memory_order_relaxed);
    if (i >= a.size()) {
      it->next.store(a.size(), std::memory_order_relaxed);  // no wrap-around, however often
      return nullptr;
    }
    return make_spectrum(decode(a, i, it->prefer)).release().ptr();
  });
}

PyType_Slot iterator_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(iterator_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iterator_next)},
    {Py_tp_doc, const_cast<char*>("The spectra of an Acquisition in index order.")},
    {0, nullptr},
};

PyType_Spec iterator_spec = {
    "kestrane_acq._core.SpectrumIterator", sizeof(IteratorObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    iterator_slots};

}  // namespace

nb::object make_iterator(nb::handle owner, const Acquisition& acquisition, acq::Prefer prefer) {
  IteratorObject* it = PyObject_New(IteratorObject, iterator_type);
  if (it == nullptr) throw nb::python_error();
  it->owner = Py_NewRef(owner.ptr());
  it->acquisition = &acquisition;
  it->prefer = prefer;
  new (&it->next) std::atomic<std::size_t>(0);
  return nb::steal(reinterpret_cast<PyObject*>(it));
}

void bind_iterator(nb::module_& m) {
  static ProcessType iterator(&iterator_spec);
  iterator_type = add_type(m, iterator, "SpectrumIterator", true);
}

}  // namespace kestrane::acq_python
