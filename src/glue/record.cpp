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
    if (!template_) {
        Ref t = Ref::steal(PyDict_New());
        if (!t) return Ref();
        for (std::size_t i = 0; i < n_; ++i)
            if (PyDict_SetItem(t.get(), keys_[i]->get(), Py_None) < 0) return Ref();
        // Building the template can run a collection, and so another thread's
        // first build: the template made first is kept, the other let go.
        if (!template_) template_ = t.release();
    }
    Ref d = Ref::steal(PyDict_Copy(template_));
    if (!d) return Ref();
    for (std::size_t i = 0; i < n_; ++i)
        if (PyDict_SetItem(d.get(), keys_[i]->get(), values[i]) < 0) return Ref();
    return d;
}

}  // namespace glue
