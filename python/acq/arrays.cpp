#include "python/acq/arrays.hpp"

namespace kestrane::acq_python {

nb::object object_array(nb::list items) {
  // Looked up per call: a cached object would outlive the interpreter.
  return nb::module_::import_("numpy").attr("array")(items, nb::arg("dtype") = "object");
}

}  // namespace kestrane::acq_python
