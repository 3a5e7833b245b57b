#include "glue/runtime.hpp"

#include <utility>

namespace glue {

void raise_null_result(PyObject* f) {
    PyErr_Format(PyExc_SystemError, "%R returned NULL without setting an exception", f);
}


namespace {
Name k_name{"name"};
}

int Namespace::init(PyObject* module) {
    PyObject* d = PyModule_GetDict(module);  // borrowed
    if (!d) return -1;
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) return -1;
    PyObject* bd = PyModule_GetDict(builtins.get());
    if (!bd) return -1;
    Py_INCREF(d);
    Py_INCREF(bd);
    globals_ = d;
    builtins_ = bd;
    return 0;
}

Ref Namespace::get(PyObject* name) const {
    PyObject* v = PyDict_GetItemWithError(globals_, name);
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) return Ref();
    v = PyDict_GetItemWithError(builtins_, name);
    if (v) return Ref::borrow(v);
    if (!PyErr_Occurred()) raise_name_error(name);
    return Ref();
}

Ref Namespace::get_attr(PyObject* owner, PyObject* attr) const {
    Ref o = get(owner);
    return o ? getattr(o.get(), attr) : Ref();
}

void raise_name_error(PyObject* name) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    PyObject* exc = PyErr_GetRaisedException();
    // The interpreter records the missing name on the exception; so do we.
    if (PyObject_SetAttr(exc, k_name, name) < 0) PyErr_Clear();
    PyErr_SetRaisedException(exc);
}

void PendingError::chain_into_current() noexcept {
    if (!exc_) return;
    PyObject* cur = PyErr_GetRaisedException();
    if (!cur) {
        restore();
        return;
    }
    PyException_SetContext(cur, exc_);  // steals exc_
    exc_ = nullptr;
    PyErr_SetRaisedException(cur);
}

int compare(PyObject* a, PyObject* b, int op) {
    Ref r = Ref::steal(PyObject_RichCompare(a, b, op));
    return r ? PyObject_IsTrue(r.get()) : -1;
}

int lookup_attr(PyObject* obj, PyObject* name, Ref* out) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* v = nullptr;
    int rc = PyObject_GetOptionalAttr(obj, name, &v);
    out->reset(v);
    return rc;
#else
    // What 3.13's PyObject_GetOptionalAttr does, on the public calls of 3.12.
    out->reset(PyObject_GetAttr(obj, name));
    if (*out) return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
#endif
}

int unpack2(PyObject* iterable, Ref* a, Ref* b) {
    Ref it = Ref::steal(PyObject_GetIter(iterable));
    if (!it) return -1;
    Ref items[2];
    for (int i = 0; i < 2; ++i) {
        items[i] = Ref::steal(PyIter_Next(it.get()));
        if (!items[i]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            return -1;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return -1;
    }
    if (PyErr_Occurred()) return -1;
    *a = std::move(items[0]);
    *b = std::move(items[1]);
    return 0;
}

}  // namespace glue
