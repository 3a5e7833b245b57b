#include "glue/record.hpp"

#include <type_traits>

namespace glue {

static_assert(std::is_trivially_destructible<RecordBuilder>::value,
              "builders are statics: nothing of theirs may run after the interpreter is finalized");

RecordBuilder::RecordBuilder(std::initializer_list<const Name*> keys) noexcept {
    for (const Name* k : keys)
        if (n_ < kMaxKeys) keys_[n_++] = k;
}

Ref RecordBuilder::build(PyObject* const* values) {
    PyObject* tmpl = template_.load(std::memory_order_acquire);
    if (!tmpl) {
        Ref t = Ref::steal(PyDict_New());
        if (!t) return Ref();
        for (std::size_t i = 0; i < n_; ++i)
            if (PyDict_SetItem(t.get(), keys_[i]->get(), Py_None) < 0) return Ref();
        // Another thread, or a collection run while building, may have made
        // one meanwhile: the template stored first is kept, the other let go.
        if (template_.compare_exchange_strong(tmpl, t.get(), std::memory_order_acq_rel))
            tmpl = t.release();
    }
    Ref d = Ref::steal(PyDict_Copy(tmpl));
    if (!d) return Ref();
    for (std::size_t i = 0; i < n_; ++i)
        if (PyDict_SetItem(d.get(), keys_[i]->get(), values[i]) < 0) return Ref();
    return d;
}

}  // namespace glue
