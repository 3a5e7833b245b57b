// Calling into the interpreter: module-global lookup at call time, vectorcall
// helpers and error propagation.
//
// How failure is signalled, here and in everything built on the glue:
//  - a function that returns an object (Ref, PyObject*) returns an empty Ref
//    or nullptr;
//  - any other function returns int: 0 on success, -1 on failure; a predicate
//    (is it there, are they equal) returns 1 for true and 0 for false;
//  - on failure the Python error is set, exactly as it was raised, and on
//    success none is.
// So `if (!ref)` and `if (rc < 0)` are the only two tests a caller needs.
// What cannot fail returns what it computes (a bool for a yes or no).
#pragma once
#include <Python.h>
#include <cstddef>

#include "glue/names.hpp"
#include "glue/ref.hpp"

namespace glue {

// A module's global namespace, searched as Python code searches it: the
// module's own dict, then the builtins. Names bound at load can be replaced by
// the engine or by tests and the next lookup sees the replacement.
class Namespace {
public:
    // Keeps strong references to the module dict and to the builtins dict.
    int init(PyObject* module);
    // New reference, or NameError ("name 'x' is not defined", with .name set).
    Ref get(PyObject* name) const;
    // global(owner).attr, e.g. EVENT.TICK or os.environ.
    Ref get_attr(PyObject* owner, PyObject* attr) const;
    // global(owner).method(args...), e.g. click.echo(text).
    template <class... A>
    Ref call_method(PyObject* owner, PyObject* method, A... args) const;
    PyObject* dict() const noexcept { return globals_; }
    PyObject* builtins() const noexcept { return builtins_; }

private:
    PyObject* globals_ = nullptr;
    PyObject* builtins_ = nullptr;
};

// Raises NameError exactly as the interpreter does for an unknown global.
void raise_name_error(PyObject* name);

// SystemError("<f> returned NULL without setting an exception"), as the call API raises it.
void raise_null_result(PyObject* f);

// f(*args[0:nargs], **dict(zip(kwnames, args[nargs:]))), nargsf as for
// PyObject_Vectorcall. Around the callable's vectorcall entry the call API
// looks up the thread state and checks the result, which the interpreter's
// own calls of builtins, types and functions do not: the entry is called
// directly when the callable has one. A NULL result without an exception is
// still made the call API's SystemError.
inline Ref vectorcall(PyObject* f, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    PyTypeObject* tp = Py_TYPE(f);
    if (PyType_HasFeature(tp, Py_TPFLAGS_HAVE_VECTORCALL)) {
        char* at = reinterpret_cast<char*>(f) + tp->tp_vectorcall_offset;
        vectorcallfunc entry = *reinterpret_cast<vectorcallfunc*>(at);
        if (entry) {
            PyObject* r = entry(f, args, nargsf, kwnames);
            if (!r && !PyErr_Occurred()) raise_null_result(f);
            return Ref::steal(r);
        }
    }
    // str(x), as the interpreter runs it from its own code: before 3.13 the
    // type has no vectorcall entry, and the generic call makes and parses an
    // argument tuple around PyObject_Str (~500 instructions).
    if (f == reinterpret_cast<PyObject*>(&PyUnicode_Type) && PyVectorcall_NARGS(nargsf) == 1 && !kwnames)
        return Ref::steal(PyObject_Str(args[0]));
    return Ref::steal(PyObject_Vectorcall(f, args, nargsf, kwnames));
}

// f(args...) by vectorcall; arguments are borrowed.
template <class... A>
inline Ref call(PyObject* f, A... args) {
    PyObject* argv[] = {nullptr, static_cast<PyObject*>(args)...};
    return vectorcall(f, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// f(*pos, **dict(zip(kw.names, kwvals))) by vectorcall. `argv` holds the
// positional arguments followed by the keyword values; argv[-1] must be
// writable (pass a buffer with one spare slot in front).
inline Ref call_kw(PyObject* f, PyObject** argv, std::size_t npos, const KwNames& kw) {
    return vectorcall(f, argv, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kw.tuple());
}

// obj.name(args...) without creating a bound method.
template <class... A>
inline Ref call_method(PyObject* obj, PyObject* name, A... args) {
    PyObject* argv[] = {obj, static_cast<PyObject*>(args)...};
    return Ref::steal(PyObject_VectorcallMethod(name, argv, (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

template <class... A>
Ref Namespace::call_method(PyObject* owner, PyObject* method, A... args) const {
    Ref o = get(owner);
    return o ? glue::call_method(o.get(), method, args...) : Ref();
}

// Calls an object's method and drops the result; -1 on error.
template <class... A>
inline int call_method_void(PyObject* obj, PyObject* name, A... args) {
    Ref r = call_method(obj, name, args...);
    return r ? 0 : -1;
}

// The exception in flight, taken out of the interpreter so that clean-up code
// can run; restore() puts it back unchanged (type, value, traceback).
class PendingError {
public:
    PendingError() noexcept : exc_(PyErr_GetRaisedException()) {}
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;
    ~PendingError() { Py_XDECREF(exc_); }
    explicit operator bool() const noexcept { return exc_ != nullptr; }
    // The exception object itself (borrowed), e.g. for str(error).
    PyObject* get() const noexcept { return exc_; }
    void restore() noexcept { PyErr_SetRaisedException(exc_); exc_ = nullptr; }
    // As a `finally` block that raised: the new error propagates with the
    // pending one as its __context__, so nothing is lost.
    void chain_into_current() noexcept;

private:
    PyObject* exc_;
};

// Reads an attribute; empty Ref with the interpreter's AttributeError if absent.
inline Ref getattr(PyObject* obj, PyObject* name) { return Ref::steal(PyObject_GetAttr(obj, name)); }

// x <op> y for one of the six rich comparisons.
template <class T>
inline int decide(T x, T y, int op) {
    switch (op) {
        case Py_LT: return x < y;
        case Py_LE: return x <= y;
        case Py_EQ: return x == y;
        case Py_NE: return x != y;
        case Py_GT: return x > y;
        default: return x >= y;
    }
}

// compare() past its inline case.
int compare_numbers(PyObject* a, PyObject* b, int op);

// `a <op> b` in a condition: the rich comparison, then its truth value.
// Ints and floats that compare as the built-ins do are compared directly, as
// the interpreter's specialised comparisons do. 1, 0, or -1 with the error set.
inline int compare(PyObject* a, PyObject* b, int op) {
    // Two exact ints of one digit, the commonest case, where the call would cost more than the comparison.
    if (PyLong_CheckExact(a) && PyLong_CheckExact(b)) {
        auto *x = reinterpret_cast<PyLongObject*>(a), *y = reinterpret_cast<PyLongObject*>(b);
        if (PyUnstable_Long_IsCompact(x) && PyUnstable_Long_IsCompact(y))
            return decide(PyUnstable_Long_CompactValue(x), PyUnstable_Long_CompactValue(y), op);
    }
    return compare_numbers(a, b, op);
}
inline int eq(PyObject* a, PyObject* b) { return compare(a, b, Py_EQ); }

// getattr(obj, name) where only AttributeError means "missing" (as hasattr):
// 1 with *out set, 0 when missing, -1 on any other error.
int lookup_attr(PyObject* obj, PyObject* name, Ref* out);

// `a, b = iterable`, with the interpreter's ValueError when the count is not 2.
int unpack2(PyObject* iterable, Ref* a, Ref* b);

}  // namespace glue
