#include "glue/fastcall.hpp"

namespace glue {

namespace {

Name k_init{"__init__"};
Name k_func{"__func__"};

// The tp_init that the interpreter gives a class whose __init__ is written in
// Python, taken from a probe class once. Null if the probe could not be made.
initproc python_init_slot() {
    static bool probed = false;
    static initproc slot = nullptr;
    if (probed) return slot;
    probed = true;
    Ref ns = Ref::steal(PyDict_New());
    if (!ns || PyDict_SetItemString(ns.get(), "__builtins__", PyEval_GetBuiltins()) < 0) {
        PyErr_Clear();
        return nullptr;
    }
    Ref probe = Ref::steal(PyRun_String("type('probe', (), {'__init__': lambda self: None})", Py_eval_input,
                                        ns.get(), ns.get()));
    if (!probe || !PyType_Check(probe.get())) {
        PyErr_Clear();
        return nullptr;
    }
    slot = reinterpret_cast<PyTypeObject*>(probe.get())->tp_init;
    return slot;
}

// The Python function that type.__call__ would run as cls.__init__, when
// calling cls means exactly: object.__new__(cls), then that function.
PyObject* plain_class_init(PyObject* cls) {
    if (!Py_IS_TYPE(cls, &PyType_Type)) return nullptr;  // a metaclass may define __call__
    auto* tp = reinterpret_cast<PyTypeObject*>(cls);
    if (tp->tp_new != PyBaseObject_Type.tp_new || tp->tp_vectorcall) return nullptr;
    initproc slot = python_init_slot();
    if (!slot || tp->tp_init != slot) return nullptr;
    PyObject* init = _PyType_Lookup(tp, k_init);  // borrowed
    return init && PyFunction_Check(init) ? init : nullptr;
}

}  // namespace

std::uint64_t CachedGlobal::version(PyObject* d) noexcept {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return reinterpret_cast<PyDictObject*>(d)->ma_version_tag;
#pragma GCC diagnostic pop
}

Ref CachedGlobal::refresh(const Namespace& ns) {
    PyObject* d = ns.dict();
    std::uint64_t before = version(d);
    PyObject* v = PyDict_GetItemWithError(d, name_);  // borrowed
    // Only a value found in an unchanged module dict is remembered; a builtin
    // or a missing name takes the ordinary lookup every time.
    if (!v || version(d) != before) {
        value_ = nullptr;
        return ns.get(name_);
    }
    dict_ = d;
    value_ = v;
    version_ = before;
    return Ref::borrow(v);
}

Ref instantiate(PyObject* cls, PyObject** argv, std::size_t nargs, const KwNames* kw) {
    PyObject* kwnames = kw ? kw->tuple() : nullptr;
    PyObject* init_fn = plain_class_init(cls);
    if (!init_fn) return Ref::steal(PyObject_Vectorcall(cls, argv, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
    Ref init = Ref::borrow(init_fn);
    auto* tp = reinterpret_cast<PyTypeObject*>(cls);
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!empty) return Ref();
    Ref obj = Ref::steal(tp->tp_new(tp, empty.get(), nullptr));
    if (!obj) return Ref();
    PyObject* saved = argv[-1];
    argv[-1] = obj.get();
    Ref r = Ref::steal(PyObject_Vectorcall(init.get(), argv - 1, nargs + 1, kwnames));
    argv[-1] = saved;
    if (!r) return Ref();
    if (r.get() != Py_None) {
        PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'", Py_TYPE(r.get())->tp_name);
        return Ref();
    }
    return obj;
}

int MethodCall::call_void(PyObject* obj, PyObject* arg) {
    PyTypeObject* tp = Py_TYPE(obj);
    unsigned int tag = (tp->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? tp->tp_version_tag : 0;
    if (tag == 0 || tag != tag_) {
        descr_ = nullptr;
        tag_ = 0;
        bool plain = tp->tp_getattro == PyObject_GenericGetAttr && tp->tp_dictoffset == 0 &&
                     !(tp->tp_flags & Py_TPFLAGS_MANAGED_DICT);
        PyObject* d = plain ? _PyType_Lookup(tp, name_) : nullptr;
        unsigned int now = (tp->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? tp->tp_version_tag : 0;
        if (d && Py_IS_TYPE(d, &PyMethodDescr_Type) && now != 0) {
            descr_ = d;
            tag_ = now;
        }
    }
    Ref r;
    if (descr_ && tag_ == tag) {
        Ref descr = Ref::borrow(descr_);
        PyObject* argv[] = {obj, arg};
        r = Ref::steal(PyObject_Vectorcall(descr.get(), argv, 2, nullptr));
    } else {
        PyObject* argv[] = {obj, arg};
        r = Ref::steal(PyObject_VectorcallMethod(name_, argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }
    return r ? 0 : -1;
}

PyObject* ClassMethodCall::function_of(PyObject* cls) {
    if (!Py_IS_TYPE(cls, &PyType_Type)) return nullptr;  // a metaclass may intercept the lookup
    auto* tp = reinterpret_cast<PyTypeObject*>(cls);
    unsigned int tag = (tp->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? tp->tp_version_tag : 0;
    if (tag != 0 && cls == cls_ && tag == tag_) return function_;
    Py_CLEAR(function_);
    cls_ = nullptr;
    if (_PyType_Lookup(&PyType_Type, name_)) return nullptr;  // type's own attribute would win
    PyObject* cm = _PyType_Lookup(tp, name_);  // borrowed
    if (!cm || !Py_IS_TYPE(cm, &PyClassMethod_Type)) return nullptr;
    Ref holder = Ref::borrow(cm);
    Ref fn = Ref::steal(PyObject_GetAttr(cm, k_func));
    if (!fn) {
        PyErr_Clear();
        return nullptr;
    }
    tag = (tp->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? tp->tp_version_tag : 0;
    if (!PyFunction_Check(fn.get()) || tag == 0) return nullptr;
    function_ = fn.release();
    cls_ = cls;
    tag_ = tag;
    return function_;
}

ClassMethodCall::Callable ClassMethodCall::get(PyObject* cls) {
    Callable c;
    if (PyObject* fn = function_of(cls)) {
        c.fn = Ref::borrow(fn);  // held: the call may change the class and drop the cache
        c.cls = cls;
    } else {
        c.fn = Ref::steal(PyObject_GetAttr(cls, name_));
    }
    return c;
}

Ref ClassMethodCall::call(const Callable& c, PyObject** argv, std::size_t nargs) {
    if (!c.cls) return Ref::steal(PyObject_Vectorcall(c.fn.get(), argv, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    PyObject* saved = argv[-1];
    argv[-1] = c.cls;
    Ref r = Ref::steal(PyObject_Vectorcall(c.fn.get(), argv - 1, nargs + 1, nullptr));
    argv[-1] = saved;
    return r;
}

}  // namespace glue
