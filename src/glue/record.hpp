// Dicts with a fixed set of str keys in a fixed order (the tick and bar
// records), made as a copy of a {key: None} template with the values stored
// into it: the copy takes the template's table whole, so nothing is resized
// or rehashed on the way, and its keys stay of the all-str kind the
// interpreter gives a dict display. That kind matters beyond the build: the
// collector's traversal of an all-str dict visits only the values, and every
// later lookup takes the str fast path (a dict of the general kind, as a
// presized one is, costs the collector twice the visits per record kept).
#pragma once
#include <Python.h>

#include <atomic>
#include <cstddef>
#include <initializer_list>

#include "glue/names.hpp"
#include "glue/ref.hpp"

namespace glue {

class RecordBuilder {
public:
    static constexpr std::size_t kMaxKeys = 24;

    RecordBuilder(std::initializer_list<const Name*> keys) noexcept;

    // {keys[i]: values[i]}: a new dict (values borrowed), or empty with the error set.
    Ref build(PyObject* const* values);

private:
    const Name* keys_[kMaxKeys] = {};
    std::size_t n_ = 0;
    // Strong, made at the first build and never changed after; published
    // with one compare-exchange, since two threads may make it at once.
    std::atomic<PyObject*> template_{nullptr};
};

}  // namespace glue
