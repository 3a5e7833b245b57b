// Module initialisation shared by the three extension modules.
#pragma once
#include <Python.h>

#include "glue/function.hpp"
#include "glue/ref.hpp"

namespace glue {

// Readies the shared types and interns every Name/KwNames of this module.
int init_runtime();

// `from <module> import <name>`, with the interpreter's ImportError when the
// module lacks the name.
Ref import_from(PyObject* module, const char* name);

// Adds a function built from `sig` to `module` under its own name.
int add_function(PyObject* module, const Signature& sig, PyObject* defaults = nullptr);

}  // namespace glue
