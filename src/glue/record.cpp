#include "glue/record.hpp"

namespace glue {

RecordBuilder::RecordBuilder(std::initializer_list<const Name*> keys) noexcept {
    for (const Name* k : keys)
        if (n_ < kMaxKeys) keys_[n_++] = k;
}

Ref RecordBuilder::build(PyObject* const* values) const {
    // Private, but declared by the public headers of 3.12 and 3.13, and the
    // only way to size a dict for its entries (see the README).
    Ref d = Ref::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(n_)));
    if (!d) return Ref();
    for (std::size_t i = 0; i < n_; ++i)
        if (PyDict_SetItem(d.get(), keys_[i]->get(), values[i]) < 0) return Ref();
    return d;
}

}  // namespace glue
