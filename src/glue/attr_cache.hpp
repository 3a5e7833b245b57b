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
// dict's public iteration, and checked by the key's identity. Reads that
// Python makes in a row share one look at the type and one fetch of the dict
// (AttrReader::Run).
#pragma once
#include <Python.h>
#include <cstddef>
#include <initializer_list>
#include <utility>

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

    class Run;

    // obj.<names[i]>: a new reference, or an empty Ref with the error set.
    inline Ref get(PyObject* obj, std::size_t i);

    // obj.<names[ids[k]]> into out[k] for each k < n, in that order, exactly
    // as n calls of get() would read them, for reads Python makes in a row
    // with nothing able to run code between them: the instance dict is
    // fetched once (AttrReader::Run). 0, or -1 with the error set at the
    // first read that failed (the reads before it kept, out[k..] empty). The
    // outputs must be empty: nothing is released while the reads go on.
    inline int get_many(PyObject* obj, const std::size_t* ids, std::size_t n, Ref* out);
    // The same for names first, first + 1, ..., first + n - 1.
    inline int get_range(PyObject* obj, std::size_t first, std::size_t n, Ref* out);

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

    // obj.<names[i]>. A Run passes the dict it holds (a strong reference or
    // null) and the way that found it, and keeps what a read from the dict
    // leaves there; get() passes nothing to keep. The dict is let go of
    // before anything that may run code. Everything here is inline, so that
    // a run's state stays in registers.
    [[gnu::always_inline]] Ref read(PyObject* obj, std::size_t i, PyObject*& dict, const Way*& dict_way, bool keep) {
        PyTypeObject* tp = Py_TYPE(obj);
        if (const Way* w = way(tp)) {
            // A plain slot is a load; an empty one raises the interpreter's AttributeError below.
            if (Py_ssize_t off = w->slot[i]) {
                if (PyObject* v = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + off))
                    return Ref::borrow(v);
            } else if (w->in_dict[i]) {
                // The run's dict is the object's still: only code replaces it, and it is let go of before.
                DictRead r = get_from_dict(obj, *w, i, std::exchange(dict, nullptr), keep);
                dict = r.dict;
                dict_way = w;
                return std::move(r.value);
            } else if (PyObject* d = w->get[i]) {
                // The descriptor's own class could have lost __get__ or __set__ since.
                descrgetfunc f = Py_TYPE(d)->tp_descr_get;
                if (f && Py_TYPE(d)->tp_descr_set) {
                    Ref held = Ref::borrow(d);  // the read may run code that refills the way
                    let_go(dict);
                    return Ref::steal(f(d, obj, reinterpret_cast<PyObject*>(tp)));
                }
            }
        }
        let_go(dict);
        return Ref::steal(PyObject_GetAttr(obj, names_[i]->get()));
    }
    static void let_go(PyObject*& dict) noexcept {
        if (PyObject* d = dict) {
            dict = nullptr;
            Py_DECREF(d);
        }
    }

    // A read from the instance dict, when nothing on the class overrides it:
    // `dict` (a strong reference taken over), or the object's fetched now.
    // The value, and the dict when `keep` and no code may have run.
    struct DictRead {
        Ref value;
        PyObject* dict;
    };
    DictRead get_from_dict(PyObject* obj, const Way& w, std::size_t i, PyObject* dict, bool keep);

    // The rest of a read from the instance dict *dict (a strong reference)
    // when the name is not at its hint, as the generic lookup reads a name
    // nothing on the class overrides: the dict, then the class attribute or
    // the interpreter's AttributeError. *dict is let go of (and cleared)
    // before anything that may run code.
    Ref dict_miss(const Way& w, PyObject* obj, std::size_t i, PyObject** dict);

    template <class Id>
    int read_all(PyObject* obj, std::size_t n, Id id, Ref* out);

    // What is known about this type, or nullptr when it cannot be known.
    const Way* way(PyTypeObject* tp) {
        if constexpr (!kCaches) return nullptr;
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

// Reads of one object that Python makes in a row. The instance dict is
// fetched once, not at every read; each read is what get() reads. A read
// that may run Python code (a descriptor, the generic lookup) lets go of the
// dict before it runs, and the next read from the dict fetches it afresh;
// the caller does the same, with release(), before anything of its own that
// may run code. So a converter or a property that replaces the
// object's __dict__ is seen as Python sees it, and one that swaps its class
// or changes the class is seen by the guard, asked at every read. The dict is
// held only while nothing can run: letting it go cannot free it, as the
// object still holds it, and no value read is borrowed from it.
class AttrReader::Run {
public:
    Run(AttrReader& reader, PyObject* obj) noexcept : r_(reader), obj_(obj) {}
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;
    ~Run() { Py_XDECREF(dict_); }

    // obj.<names[i]>: a new reference, or an empty Ref with the error set.
    // Once the dict is held, a name found in it at its hint is read here,
    // while the guard of the way that found the dict holds (a class swapped
    // or changed meanwhile is never read by mistake); everything else as
    // get() reads it.
    [[gnu::always_inline]] Ref get(std::size_t i) {
        if (PyObject* d = dict_) {
            const Way* w = w_;
            PyObject *key, *value;
            Py_ssize_t pos = w->hint[i];
            if (w->guard.holds(Py_TYPE(obj_)) && w->in_dict[i] && pos >= 0 && PyDict_Next(d, &pos, &key, &value) &&
                key == r_.names_[i]->get())
                return Ref::borrow(value);
        }
        return r_.read(obj_, i, dict_, w_, true);
    }

    // Before anything that may run Python code: the dict is fetched again.
    void release() noexcept { let_go(dict_); }

private:
    AttrReader& r_;
    PyObject* obj_;
    const Way* w_ = nullptr;    // the way that last read from the dict
    PyObject* dict_ = nullptr;  // strong
};

inline Ref AttrReader::get(PyObject* obj, std::size_t i) {
    PyObject* dict = nullptr;
    const Way* w = nullptr;
    return read(obj, i, dict, w, false);
}

// A list of reads: the leading plain slots are loads from the way looked up
// once (nothing runs code meanwhile); from the first other field on, every
// read goes through the run.
template <class Id>
inline int AttrReader::read_all(PyObject* obj, std::size_t n, Id id, Ref* out) {
    std::size_t k = 0;
    if (const Way* w = way(Py_TYPE(obj))) {
        for (; k < n; ++k) {
            Py_ssize_t off = w->slot[id(k)];
            PyObject* v = off ? *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + off) : nullptr;
            if (!v) break;
            out[k] = Ref::borrow(v);
        }
    }
    Run run(*this, obj);
    for (; k < n; ++k)
        if (!(out[k] = run.get(id(k)))) return -1;
    return 0;
}

inline int AttrReader::get_many(PyObject* obj, const std::size_t* ids, std::size_t n, Ref* out) {
    return read_all(obj, n, [ids](std::size_t k) { return ids[k]; }, out);
}

inline int AttrReader::get_range(PyObject* obj, std::size_t first, std::size_t n, Ref* out) {
    return read_all(obj, n, [first](std::size_t k) { return first + k; }, out);
}

}  // namespace glue
