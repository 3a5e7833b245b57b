#include "glue/module.hpp"

#include "glue/names.hpp"
#include "glue/runtime.hpp"

namespace glue {

int init_runtime() {
    if (function_type_ready() < 0) return -1;
    return intern_all();
}

int exec_once(PyObject* m, PyObject*& first, int (*fill)(PyObject*)) {
    PyObject* d = PyModule_GetDict(m);  // borrowed
    if (!d) return -1;
    if (first) return PyDict_Update(d, first);
    if (init_runtime() < 0 || fill(m) < 0) return -1;
    first = Py_NewRef(d);
    return 0;
}

Ref import_from(PyObject* module, const char* name) {
    PyObject* v = PyObject_GetAttrString(module, name);
    if (v || !PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref::steal(v);
    PyErr_Clear();
    Ref modname = Ref::steal(PyObject_GetAttrString(module, "__name__"));
    if (!modname) return Ref();
    // A submodule imported by someone else is found in sys.modules, as in Python.
    Ref full = Ref::steal(PyUnicode_FromFormat("%U.%s", modname.get(), name));
    if (!full) return Ref();
    PyObject* mods = PyImport_GetModuleDict();  // borrowed
    PyObject* sub = PyDict_GetItemWithError(mods, full.get());
    if (sub) return Ref::borrow(sub);
    if (PyErr_Occurred()) return Ref();
    Ref file = Ref::steal(PyModule_GetFilenameObject(module));
    if (!file) PyErr_Clear();
    Ref msg = file ? Ref::steal(PyUnicode_FromFormat("cannot import name '%s' from '%U' (%U)", name, modname.get(),
                                                     file.get()))
                   : Ref::steal(PyUnicode_FromFormat("cannot import name '%s' from '%U' (unknown location)", name,
                                                     modname.get()));
    if (!msg) return Ref();
    PyErr_SetImportError(msg.get(), modname.get(), file ? file.get() : nullptr);
    return Ref();
}

Ref import_name(const char* module, const char* name) {
    Ref mod = Ref::steal(PyImport_ImportModule(module));
    return mod ? import_from(mod.get(), name) : Ref();
}

int import_as(PyObject* m, const char* module, const char* as) {
    Ref mod = Ref::steal(PyImport_ImportModule(module));
    return mod ? PyModule_AddObjectRef(m, as, mod.get()) : -1;
}

int from_import(PyObject* m, const char* module, const char* name, const char* as) {
    Ref v = import_name(module, name);
    return v ? PyModule_AddObjectRef(m, as ? as : name, v.get()) : -1;
}

int add_function(PyObject* module, const Signature& sig, PyObject* defaults) {
    Ref modname = Ref::steal(PyObject_GetAttrString(module, "__name__"));
    if (!modname) return -1;
    Ref f = make_function(sig, nullptr, modname.get(), defaults);
    if (!f) return -1;
    return PyModule_AddObjectRef(module, sig.name, f.get());
}

}  // namespace glue
