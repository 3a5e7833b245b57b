// Attribute reads for gateway messages at close to the speed of the
// interpreter's own specialised LOAD_ATTR. For each message type it meets, an
// AttrReader finds once which of its names the class defines as data
// descriptors (a `__slots__` member, a C-level member or getset, a property)
// and from then on calls the descriptor directly, exactly as the generic
// lookup would after finding it. A type watcher guards what was found: any
// change to the class or its bases (an attribute added, removed or replaced,
// a __getattr__ assigned) sends the next read through the lookup afresh.
// Everything else (an instance attribute, a class with lookup hooks of its
// own) goes through PyObject_GetAttr, and the reader remembers that too, so
// such a type costs the plain read and nothing more. A reader of long-lived
// objects (the strategy's own counters) may instead go to the instance
// __dict__ for names the class does not define: asking for the dict makes
// the interpreter create it, once, which a message read once should not pay.
// Messages that have a __dict__ (a plain class) are read from it too, at the
// entry where the name was found last: instances made alike keep their names
// in the same order, so the entry is found without hashing, through the
// dict's public iteration, and checked by the key's identity.
#pragma once
#include <Python.h>
#include <cstddef>
#include <initializer_list>

#include "glue/names.hpp"
#include "glue/ref.hpp"
#include "glue/watch.hpp"

namespace glue {

class AttrReader {
public:
    static constexpr std::size_t kMaxNames = 24;
    static constexpr std::size_t kWays = 4;  // message types remembered at once

    enum class Objects : unsigned char { Transient, Kept };

    // The names are namespace-scope Names; index i in get() is their position.
    AttrReader(std::initializer_list<const Name*> names, Objects objects = Objects::Transient) noexcept;

    // obj.<names[i]>: a new reference, or an empty Ref with the error set.
    Ref get(PyObject* obj, std::size_t i) {
        PyTypeObject* tp = Py_TYPE(obj);
        if (const Way* w = way(tp)) {
            // A plain slot is a load; an empty one raises the interpreter's AttributeError below.
            if (Py_ssize_t off = w->slot[i]) {
                if (PyObject* v = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + off))
                    return Ref::borrow(v);
                return Ref::steal(PyObject_GetAttr(obj, names_[i]->get()));
            }
            if (w->in_dict[i]) return get_from_dict(obj, *w, i);
            PyObject* d = w->get[i];
            // The descriptor's own class could have lost __get__ or __set__ since.
            descrgetfunc f = d ? Py_TYPE(d)->tp_descr_get : nullptr;
            if (f && Py_TYPE(d)->tp_descr_set) {
                Ref held = Ref::borrow(d);  // the read may run code that refills the way
                return Ref::steal(f(d, obj, reinterpret_cast<PyObject*>(tp)));
            }
        }
        return Ref::steal(PyObject_GetAttr(obj, names_[i]->get()));
    }

    // obj.<names[i]> = value; 0, or -1 with the error set.
    int set(PyObject* obj, std::size_t i, PyObject* value);

private:
    struct Way {
        TypeGuard guard;
        PyTypeObject* type = nullptr;         // strong, so that its identity stays its own
        Py_ssize_t slot[kMaxNames] = {};      // > 0: the offset of a plain object slot (`__slots__`)
        PyObject* get[kMaxNames] = {};        // strong: data descriptors read directly; null: generic
        PyObject* set[kMaxNames] = {};        // strong: data descriptors written directly; null: generic
        bool in_dict[kMaxNames] = {};         // nothing on the class overrides the instance __dict__
        bool dict_writes = false;             // stores go to that dict as well (kept objects only)
        // Where in the instance dicts' order the name was last found (-1: look
        // it up), and how often that had to be learned again.
        mutable Py_ssize_t hint[kMaxNames] = {};
        mutable unsigned char relearned[kMaxNames] = {};
    };

    Ref get_from_dict(PyObject* obj, const Way& w, std::size_t i);

    // What is known about this type, or nullptr when it cannot be known.
    const Way* way(PyTypeObject* tp) {
        if (last_ && last_->guard.holds(tp)) return last_;
        for (const Way& w : ways_)
            if (w.guard.holds(tp)) return last_ = &w;
        // A type that cannot be watched (no watcher left, its version tags
        // used up) would otherwise be looked up again, evicting a good way,
        // at every read: after a failed fill the generic path is taken for a while.
        if (backoff_.waiting()) return last_ = nullptr;
        last_ = resolve(tp);
        if (last_)
            backoff_.used();
        else
            backoff_.refilled();
        return last_;
    }

    const Way* resolve(PyTypeObject* tp);

    const Name* names_[kMaxNames] = {};
    std::size_t n_ = 0;
    Objects objects_;
    Way ways_[kWays];
    std::size_t next_ = 0;        // the way refilled next
    const Way* last_ = nullptr;   // the way used last: messages come in runs of one type
    Backoff backoff_;             // after fills that failed
};

}  // namespace glue
