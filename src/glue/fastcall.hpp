// Two costs a C caller pays that interpreted code does not, removed without
// changing what happens:
//  - CachedGlobal: a module global read through a Namespace, remembered while
//    the module dict stays unchanged (its version tag moves on every store,
//    so a replacement by the engine or a test is seen at the next read);
//  - instantiate: cls(*args, **kw) for a plain Python class without the
//    argument tuple and keyword dict that type.__call__ would build and then
//    unpack again for __init__;
//  - ClassMethodCall: cls.name(*args) for a classmethod written in Python,
//    calling its function with cls directly instead of making a bound method
//    first, remembered per class and guarded by the class's version tag.
#pragma once
#include <Python.h>
#include <cstddef>
#include <cstdint>

#include "glue/names.hpp"
#include "glue/ref.hpp"
#include "glue/runtime.hpp"

namespace glue {

class CachedGlobal {
public:
    explicit CachedGlobal(const Name& name) noexcept : name_(name) {}

    // As ns.get(name): a new reference, or NameError.
    Ref get(const Namespace& ns) {
        PyObject* d = ns.dict();
        if (value_ && d == dict_ && version(d) == version_) return Ref::borrow(value_);
        return refresh(ns);
    }

private:
    static std::uint64_t version(PyObject* d) noexcept;
    Ref refresh(const Namespace& ns);

    const Name& name_;
    PyObject* dict_ = nullptr;
    PyObject* value_ = nullptr;  // borrowed: the dict holds it while its version is unchanged
    std::uint64_t version_ = 0;
};

// obj.<name>(arg) for a method of a built-in type (deque.append): the method
// descriptor found on the type is called directly, as the interpreter's own
// LOAD_ATTR_METHOD does, while the type's version tag says it is current and
// the object has no __dict__ that could shadow it.
class MethodCall {
public:
    explicit MethodCall(const Name& name) noexcept : name_(name) {}

    // 0, or -1 with the error set; the result is dropped.
    int call_void(PyObject* obj, PyObject* arg);

private:
    const Name& name_;
    unsigned int tag_ = 0;
    PyObject* descr_ = nullptr;  // borrowed from the type's dict, trusted only under tag_
};

class ClassMethodCall {
public:
    explicit ClassMethodCall(const Name& name) noexcept : name_(name) {}

    // `cls.<name>`, evaluated where Python evaluates it (before the arguments):
    // the classmethod's function to be called with cls first, or whatever the
    // generic lookup gives. Empty with the error set on failure.
    struct Callable {
        Ref fn;
        PyObject* cls = nullptr;  // non-null: prepend it
    };
    Callable get(PyObject* cls);

    // callable(*argv[0:nargs]); argv[-1] must be writable.
    static Ref call(const Callable& c, PyObject** argv, std::size_t nargs);

private:
    // The function behind cls.<name> when it is a classmethod of a plain
    // function and nothing else can intercept the lookup; else nullptr.
    PyObject* function_of(PyObject* cls);

    const Name& name_;
    PyObject* cls_ = nullptr;  // identity only; with the tag it says the cache is current
    unsigned int tag_ = 0;
    // Strong (a classmethod's function can be swapped by re-running its
    // __init__), but a plain pointer: a static destructor must not touch the
    // interpreter after it has been finalized.
    PyObject* function_ = nullptr;
};

// cls(*argv[0:nargs], **dict(zip(kw, argv[nargs:]))). argv[-1] must be
// writable (it carries the new instance to __init__ for a moment).
Ref instantiate(PyObject* cls, PyObject** argv, std::size_t nargs, const KwNames* kw = nullptr);

}  // namespace glue
