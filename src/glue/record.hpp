// Dicts with a fixed set of str keys in a fixed order (the tick and bar
// records), built the cheap way: the interpreter copies a dict's whole key
// table in one go, so a copy of a template whose values are None needs only
// the values written into it, where inserting key by key would probe the
// table and bump the dict's version for every entry. The template's layout is
// checked against the interpreter's at first use; if it is not the expected
// one, records are built by presized inserts instead.
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
    Ref build_by_insert(PyObject* const* values) const;
    bool make_template();

    const Name* keys_[kMaxKeys] = {};
    std::size_t n_ = 0;
    enum class Mode { Unknown, Clone, Insert } mode_ = Mode::Unknown;
    PyObject* template_ = nullptr;  // kept for the life of the process
};

}  // namespace glue
