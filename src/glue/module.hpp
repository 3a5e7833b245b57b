// Module initialisation shared by the three extension modules.
#pragma once
#include <Python.h>

#include "glue/function.hpp"
#include "glue/ref.hpp"

namespace glue {

// Readies the shared types and interns every Name/KwNames of this module.
int init_runtime();

// The slots of every module of the package, beside its exec slot: one
// interpreter per process, and (3.13+) no GIL needed on a free-threaded build.
#if PY_VERSION_HEX >= 0x030D0000
#define GLUE_MODULE_SLOTS                                                             \
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},       \
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#else
#define GLUE_MODULE_SLOTS {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif

// The exec slot's work, done once per process: the module's C++ state is the
// process's, so a module object made again (an import after its entry left
// sys.modules) gets the names of the first, as a module loaded once gets
// them. `first` keeps the first module's dict. Runs under the import lock.
int exec_once(PyObject* m, PyObject*& first, int (*fill)(PyObject*));

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
