// Function objects for code written in C++ that must behave like functions
// defined in Python: they carry __name__, __qualname__, __module__, __doc__
// and a __dict__, accept arguments by position or keyword with the
// interpreter's own TypeError messages, and bind to instances as methods
// (obj.f is a types.MethodType), so they can live in a class namespace.
// Their __signature__, built from the Signature and the defaults, is what
// inspect.signature and help() show.
#pragma once
#include <Python.h>

#include "glue/ref.hpp"

namespace glue {

// Receives one borrowed argument per parameter, in parameter order (for a
// method, args[0] is the instance). Returns a new reference or nullptr.
using Impl = PyObject* (*)(PyObject* const* args);

struct Signature {
    static constexpr int kMaxParams = 8;
    const char* name;
    const char* params[kMaxParams];  // parameter names, self first for methods
    int nparams;
    int nrequired;   // the first nrequired parameters have no default
    Impl impl;
    const char* doc;  // nullptr: __doc__ is None
    int nkwonly = 0;  // the last nkwonly parameters are keyword-only (and have defaults)
};

// A new function object. `qualname` may be nullptr (then the name is used);
// `defaults` holds the values of the last nparams - nrequired parameters.
Ref make_function(const Signature& sig, const char* qualname, PyObject* module_name, PyObject* defaults = nullptr);

// Readies the function type; call once from the module's init function.
// 0, or -1 with the error set.
int function_type_ready();

}  // namespace glue
