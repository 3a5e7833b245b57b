// Attribute reads for gateway messages at the speed of the interpreter's own
// specialised LOAD_ATTR. A message type with fixed attributes (`__slots__`)
// stores each one at an offset in the object; an AttrReader remembers, per
// message type, which of its names are such plain slots and reads them
// directly. The type's version tag guards what was remembered: any change to
// the class or its bases (an attribute added, removed, replaced by a property,
// a __getattr__ assigned) gives the type a new tag and the next read resolves
// afresh. Everything that is not a plain slot, and an empty slot, goes through
// PyObject_GetAttr, so errors and hooks are the interpreter's own.
// A name that the class does not define at all lives in the instance's
// __dict__ (a strategy's counters): it is read and written there directly.
#pragma once
#include <Python.h>
#include <cstddef>
#include <initializer_list>

#include "glue/names.hpp"
#include "glue/ref.hpp"

namespace glue {

class AttrReader {
public:
    static constexpr std::size_t kMaxNames = 24;
    static constexpr std::size_t kWays = 4;  // message types remembered at once

    // The names are namespace-scope Names; index i in get() is their position.
    AttrReader(std::initializer_list<const Name*> names) noexcept;

    // obj.<names[i]>: a new reference, or an empty Ref with the error set.
    Ref get(PyObject* obj, std::size_t i) {
        const Way* w = way(Py_TYPE(obj));
        Py_ssize_t off = w ? w->offsets[i] : 0;
        if (off > 0) {
            PyObject* v = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + off);
            if (v) return Ref::borrow(v);
        } else if (off == kInstanceDict) {
            return get_from_dict(obj, i);
        }
        return Ref::steal(PyObject_GetAttr(obj, names_[i]->get()));
    }

    // obj.<names[i]> = value; 0, or -1 with the error set.
    int set(PyObject* obj, std::size_t i, PyObject* value);

private:
    static constexpr Py_ssize_t kInstanceDict = -1;

    struct Way {
        unsigned int tag = 0;  // 0: empty (the interpreter never hands out tag 0)
        bool dict_writes = false;  // the type stores attributes the generic way
        Py_ssize_t offsets[kMaxNames] = {};  // > 0: slot offset; kInstanceDict; 0: generic
    };

    // What is known about this type, or nullptr: everything the generic way.
    const Way* way(PyTypeObject* tp) {
        unsigned int tag = tp->tp_version_tag;
        if (tag != 0 && (tp->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) {
            for (const Way& w : ways_)
                if (w.tag == tag) return &w;
        }
        return resolve(tp);
    }

    Ref get_from_dict(PyObject* obj, std::size_t i);

    // Looks every name up on the type; nullptr when the type cannot be cached.
    const Way* resolve(PyTypeObject* tp);

    const Name* names_[kMaxNames] = {};
    std::size_t n_ = 0;
    Way ways_[kWays];
};

}  // namespace glue
