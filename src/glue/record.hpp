// Dicts with a fixed set of str keys in a fixed order (the tick and bar
// records). A record is a copy of a template {key: None, ...} with its values
// stored under the very key objects the template holds: the interpreter
// copies a str-keyed table in one go, and each store then finds its key at
// once, where a dict grown key by key would probe for room and resize.
#pragma once
#include <Python.h>
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
    PyObject* template_ = nullptr;  // kept for the life of the process
};

}  // namespace glue
