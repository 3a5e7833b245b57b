// What the caches rest on: the interpreter's dict and type watchers. An entry
// that depends on what a type's attributes are (a descriptor found on its
// MRO) holds a TypeGuard; one that depends on what a name is bound to in a
// module namespace holds a DictGuard. The watcher callbacks disarm every guard
// on the type or dict that changes, before the change is made (dicts) or as
// it is made (types), so an entry whose guard is armed may be used without
// looking anything up again.
//
// Each module registers at most one dict watcher and one type watcher, the
// first time a guard is armed; the interpreter has eight of each. When a
// watcher cannot be had, or a type cannot be watched, arming fails and the
// caches take the plain path, which is always right.
//
// Guards are statics with trivial destructors: nothing of theirs runs after
// the interpreter is finalized.
//
// The caches are filled and read without a lock, which the GIL makes sound.
// A free-threaded build has no such guarantee (a watcher fires on whichever
// thread changes the dict or type, while another reads the entry), and its
// interpreter does not specialise either: there every cache is compiled to
// its plain path (kCaches), which is always right.
#pragma once
#include <Python.h>

#include "glue/ref.hpp"
#include "glue/threads.hpp"

namespace glue {

constexpr bool kCaches = !kFreeThreaded;

class TypeGuard {
public:
    TypeGuard() noexcept;
    TypeGuard(const TypeGuard&) = delete;  // linked in place
    TypeGuard& operator=(const TypeGuard&) = delete;

    // Watches tp and makes sure its next change is reported; true when the
    // guard is now armed for tp. False without an error set when tp cannot be
    // watched. Arm before the lookups whose results the guard protects: a
    // change they cause themselves then disarms it.
    bool arm(PyTypeObject* tp) noexcept;
    bool holds(const PyTypeObject* tp) const noexcept { return armed_ && type_ == tp; }
    void disarm() noexcept { armed_ = false; }

private:
    friend int on_type_modified(PyTypeObject* tp);
    const PyTypeObject* type_ = nullptr;  // identity only: the entry holds the reference
    bool armed_ = false;
    TypeGuard* next_;
};

// Guards what `name` means in a namespace made of two dicts (a module's
// globals, then the builtins): a change of `name` in either disarms it, as
// does clearing, replacing the contents of, or freeing either dict.
class DictGuard {
public:
    DictGuard() noexcept;
    DictGuard(const DictGuard&) = delete;  // linked in place
    DictGuard& operator=(const DictGuard&) = delete;

    bool arm(PyObject* globals, PyObject* builtins, PyObject* name) noexcept;
    bool holds(const PyObject* globals) const noexcept { return armed_ && globals_ == globals; }
    bool armed() const noexcept { return armed_; }
    void disarm() noexcept { armed_ = false; }

private:
    friend int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject* value);
    const PyObject* globals_ = nullptr;
    const PyObject* builtins_ = nullptr;
    PyObject* name_ = nullptr;  // an interned Name, alive for the life of the module
    bool armed_ = false;
    DictGuard* next_;
};

// A cache whose guard is disarmed again and again before the entry is used a
// second time (a class attribute rewritten at every call) would pay a lookup
// on top of the plain call each time. After such a refill it takes the plain
// path for a while, twice as long each time it happens again in a row.
class Backoff {
public:
    // True while the cache should not even try.
    bool waiting() noexcept {
        if (!wait_) return false;
        --wait_;
        return true;
    }
    // The entry served a call it was not filled for.
    void used() noexcept { used_ = true; }
    void refilled() noexcept {
        if (used_)
            level_ = 0;
        else if (level_ < kMaxLevel)
            ++level_;
        wait_ = (1u << level_) - 1;
        used_ = false;
    }

private:
    static constexpr unsigned kMaxLevel = 10;  // at most 1023 plain calls between tries
    unsigned wait_ = 0;
    unsigned char level_ = 0;
    bool used_ = true;
};

// Whether a type's instances may carry a __dict__ of their own.
inline bool has_instance_dict(PyTypeObject* tp) noexcept {
    return (tp->tp_flags & Py_TPFLAGS_MANAGED_DICT) || tp->tp_dictoffset != 0;
}

// What the generic attribute lookup finds for `name` on tp's MRO: a new
// reference, or an empty Ref, with an error set only if a lookup failed. A
// class dict keyed by something other than str may run a key's __eq__; a
// change that causes is seen by a guard armed before.
Ref find_on_mro(PyTypeObject* tp, PyObject* name);

// The member a member descriptor (one of PyMemberDescr_Type) found on tp's
// MRO reads, taken from the documented tables: its __objclass__ lists it in
// tp_members under the descriptor's __name__. nullptr (no error set) when it
// cannot be told for sure.
const PyMemberDef* member_of(PyTypeObject* tp, PyObject* descr);

}  // namespace glue
