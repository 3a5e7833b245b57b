#include "glue/runtime.hpp"

#include <utility>

#include "glue/threads.hpp"

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
    if constexpr (kFreeThreaded) {
        // Another thread may rebind the name meanwhile: no borrowed reference.
        Ref r;
        int rc = dict_get(globals_, name, &r);
        if (rc == 0) rc = dict_get(builtins_, name, &r);
        if (rc == 0) raise_name_error(name);
        return r;
    }
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

namespace {

// Its value, when v compares as int does (int, bool, an IntEnum member: a
// subclass that keeps int's comparison) and fits a machine word.
bool int_value(PyObject* v, long long* out) {
    if (Py_TYPE(v)->tp_richcompare != PyLong_Type.tp_richcompare || !PyLong_Check(v)) return false;
    auto* l = reinterpret_cast<PyLongObject*>(v);
    if (PyUnstable_Long_IsCompact(l)) {
        *out = PyUnstable_Long_CompactValue(l);
        return true;
    }
    int overflow = 0;
    *out = PyLong_AsLongLongAndOverflow(v, &overflow);  // an int reads its digits: no code runs
    return !overflow;
}

bool float_value(PyObject* v, double* out) {
    if (Py_TYPE(v)->tp_richcompare != PyFloat_Type.tp_richcompare || !PyFloat_Check(v)) return false;
    *out = PyFloat_AS_DOUBLE(v);
    return true;
}

// An int a double holds exactly, so that comparing the doubles is comparing the numbers.
bool exact_in_double(long long v) {
    constexpr long long kExact = 1LL << 53;
    return v > -kExact && v < kExact;
}

}  // namespace

int compare_numbers(PyObject* a, PyObject* b, int op) {
    // Numbers whose comparison is the interpreter's own for int and float are
    // compared here: the same answer, NaN included, and no code could run.
    long long x, y;
    double f, g;
    if (int_value(a, &x)) {
        if (int_value(b, &y)) return decide(x, y, op);
        if (float_value(b, &g) && exact_in_double(x)) return decide(static_cast<double>(x), g, op);
    } else if (float_value(a, &f)) {
        if (float_value(b, &g)) return decide(f, g, op);
        if (int_value(b, &y) && exact_in_double(y)) return decide(f, static_cast<double>(y), op);
    }
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
