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

// The same from the module's name: `import <module>` first.
Ref import_name(const char* module, const char* name);

// Binding in the module being loaded, as its statements would:
// `import <module> as <as>` and `from <module> import <name> as <as>` (as
// nullptr: the name itself). 0, or -1 with the error set.
int import_as(PyObject* m, const char* module, const char* as);
int from_import(PyObject* m, const char* module, const char* name, const char* as = nullptr);

// Adds a function built from `sig` to `module` under its own name.
int add_function(PyObject* module, const Signature& sig, PyObject* defaults = nullptr);

}  // namespace glue
