#include "glue/function.hpp"

#include <structmember.h>

#include "glue/runtime.hpp"

namespace glue {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Signature* sig;
    Py_ssize_t all_positional;  // nargs that bind every parameter at once; -1 with keyword-only ones
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* params;    // tuple of interned parameter names
    PyObject* defaults;  // tuple or nullptr
    PyObject* dict;
    PyObject* weaklist;
};

PyTypeObject* FunctionType = nullptr;  // heap type, one per extension module

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's wording.
Ref join_names(PyObject* const* names, int n) {
    Ref out = Ref::steal(PyUnicode_FromString(""));
    for (int i = 0; out && i < n; ++i) {
        const char* sep = i == 0 ? "" : (n == 2 ? " and " : (i == n - 1 ? ", and " : ", "));
        out = Ref::steal(PyUnicode_FromFormat("%U%s'%U'", out.get(), sep, names[i]));
    }
    return out;
}

// A keyword that no parameter has. From 3.13 the interpreter adds a
// suggestion ("Did you mean 'order'?") computed by its internals, so a Python
// function with the same parameters is asked to complain in its own words.
void unexpected_keyword(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                        PyObject* key) {
    Ref sep = Ref::steal(PyUnicode_FromString(", "));
    Ref params = sep ? Ref::steal(PyUnicode_Join(sep.get(), f->params)) : Ref();
    int npositional = f->sig->nparams - f->sig->nkwonly;
    if (params && f->sig->nkwonly) {
        Ref head = Ref::steal(PyTuple_GetSlice(f->params, 0, npositional));
        Ref tail = Ref::steal(PyTuple_GetSlice(f->params, npositional, f->sig->nparams));
        Ref positional = head ? Ref::steal(PyUnicode_Join(sep.get(), head.get())) : Ref();
        Ref keyword = tail ? Ref::steal(PyUnicode_Join(sep.get(), tail.get())) : Ref();
        params = positional && keyword ? Ref::steal(PyUnicode_FromFormat("%U%s*, %U", positional.get(),
                                                                          npositional ? ", " : "", keyword.get()))
                                       : Ref();
    }
    Ref source = params ? Ref::steal(PyUnicode_FromFormat("def f(%U): pass", params.get())) : Ref();
    const char* text = source ? PyUnicode_AsUTF8(source.get()) : nullptr;
    Ref code = text ? Ref::steal(Py_CompileString(text, "<signature>", Py_file_input)) : Ref();
    Ref globals = code ? Ref::steal(PyDict_New()) : Ref();
    bool complained = false;
    if (globals && PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) == 0) {
        Ref ran = Ref::steal(PyEval_EvalCode(code.get(), globals.get(), globals.get()));
        PyObject* found = ran ? PyDict_GetItemString(globals.get(), "f") : nullptr;
        Ref reference = found ? Ref::borrow(found) : Ref();
        if (reference && PyObject_SetAttrString(reference.get(), "__qualname__", f->qualname) == 0)
            complained = !Ref::steal(PyObject_Vectorcall(reference.get(), args, nargs, kwnames));
    }
    if (globals) {
        // The reference function and its namespace refer to each other: broken here, not left to the collector.
        PendingError complaint;
        PyDict_Clear(globals.get());
        if (complained) {
            complaint.restore();
            return;
        }
    }
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname, key);
}

PyObject* bind_slow(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Signature& s = *f->sig;
    PyObject* bound[Signature::kMaxParams] = {};
    int npositional = s.nparams - s.nkwonly;
    if (nargs > npositional) {
        if (s.nrequired == npositional)
            PyErr_Format(PyExc_TypeError, "%U() takes %d positional argument%s but %zd %s given", f->qualname,
                         npositional, npositional == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
        else
            PyErr_Format(PyExc_TypeError, "%U() takes from %d to %d positional arguments but %zd %s given",
                         f->qualname, s.nrequired, npositional, nargs, nargs == 1 ? "was" : "were");
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        int idx = -1;
        for (int i = 0; i < s.nparams && idx < 0; ++i)
            if (PyTuple_GET_ITEM(f->params, i) == key) idx = i;
        for (int i = 0; i < s.nparams && idx < 0; ++i) {
            int eq = PyObject_RichCompareBool(PyTuple_GET_ITEM(f->params, i), key, Py_EQ);
            if (eq < 0) return nullptr;
            if (eq) idx = i;
        }
        if (idx < 0) {
            unexpected_keyword(f, args, nargs, kwnames, key);
            return nullptr;
        }
        if (bound[idx]) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname, key);
            return nullptr;
        }
        bound[idx] = args[nargs + k];
    }
    // Without its defaults (cleared by the collector) every parameter is required.
    int nrequired = f->defaults ? s.nrequired : s.nparams;
    PyObject* missing[Signature::kMaxParams];
    int nmissing = 0;
    for (int i = 0; i < nrequired; ++i)
        if (!bound[i]) missing[nmissing++] = PyTuple_GET_ITEM(f->params, i);
    if (nmissing) {
        Ref names = join_names(missing, nmissing);
        if (names)
            PyErr_Format(PyExc_TypeError, "%U() missing %d required positional argument%s: %U", f->qualname,
                         nmissing, nmissing == 1 ? "" : "s", names.get());
        return nullptr;
    }
    for (int i = nrequired; i < s.nparams; ++i)
        if (!bound[i]) bound[i] = PyTuple_GET_ITEM(f->defaults, i - s.nrequired);
    return s.impl(bound);
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (!kwnames && nargs == f->all_positional) return f->sig->impl(args);
    return bind_slow(f, args, nargs, kwnames);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->params);
    Py_VISIT(f->defaults);
    Py_VISIT(f->dict);
    return 0;
}

// Breaks cycles. The name, qualified name and parameter names are text and
// cannot be part of one; they stay, so that a function cleared by the
// collector but still reachable (from a finaliser) can be shown and called.
int function_clear(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    PyObject_GC_UnTrack(self);
    if (f->weaklist) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->params);
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_Del(self);
    Py_DECREF(tp);
}

// __module__ and __doc__ take any object, and deleting them leaves None, as
// on a Python function.
PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weaklist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// __name__ and __qualname__ stay str: the repr and the argument errors format
// them as text.
int set_text(PyObject** slot, PyObject* value, const char* what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    PyObject* old = *slot;
    *slot = Py_NewRef(value);
    Py_DECREF(old);
    return 0;
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->name); }

int set_name(PyObject* self, PyObject* value, void*) {
    return set_text(&reinterpret_cast<FunctionObject*>(self)->name, value, "__name__");
}

PyObject* get_qualname(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->qualname);
}

int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_text(&reinterpret_cast<FunctionObject*>(self)->qualname, value, "__qualname__");
}

// inspect.Signature of the Python function with the same parameters: each
// one by position or keyword (the last nkwonly by keyword only), the
// defaults being the very objects the call fills in. A method's starts with
// self, which a bound method drops.
PyObject* get_signature(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    const Signature& s = *f->sig;
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) return nullptr;
    Ref parameter = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    if (!parameter) return nullptr;
    Ref positional = Ref::steal(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"));
    Ref keyword_only = Ref::steal(PyObject_GetAttrString(parameter.get(), "KEYWORD_ONLY"));
    if (!positional || !keyword_only) return nullptr;
    Ref params = Ref::steal(PyList_New(s.nparams));
    if (!params) return nullptr;
    for (int i = 0; i < s.nparams; ++i) {
        PyObject* kind = i < s.nparams - s.nkwonly ? positional.get() : keyword_only.get();
        Ref p;
        if (i < s.nrequired || !f->defaults) {
            p = Ref::steal(PyObject_CallFunctionObjArgs(parameter.get(), PyTuple_GET_ITEM(f->params, i), kind,
                                                        nullptr));
        } else {
            Ref args = Ref::steal(PyTuple_Pack(2, PyTuple_GET_ITEM(f->params, i), kind));
            if (!args) return nullptr;
            Ref kw = Ref::steal(Py_BuildValue("{sO}", "default", PyTuple_GET_ITEM(f->defaults, i - s.nrequired)));
            if (!kw) return nullptr;
            p = Ref::steal(PyObject_Call(parameter.get(), args.get(), kw.get()));
        }
        if (!p) return nullptr;
        PyList_SET_ITEM(params.get(), i, p.release());
    }
    Ref signature = Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
    if (!signature) return nullptr;
    return PyObject_CallOneArg(signature.get(), params.get());
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

int function_type_ready() {
    if (FunctionType) return 0;
    static PyType_Slot slots[] = {
        {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
        {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
        {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
        {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
        {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
        {Py_tp_members, function_members},
        {Py_tp_getset, function_getset},
        {0, nullptr},
    };
    static PyType_Spec type_def = {
        "compiled_function", sizeof(FunctionObject), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
            Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
        slots};
    FunctionType = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_def));
    return FunctionType ? 0 : -1;
}

Ref make_function(const Signature& sig, const char* qualname, PyObject* module_name, PyObject* defaults) {
    int ndefaults = sig.nparams - sig.nrequired;
    if (sig.nparams > Signature::kMaxParams || ndefaults < 0 || sig.nkwonly < 0 || sig.nkwonly > ndefaults ||
        (ndefaults > 0 && (!defaults || !PyTuple_Check(defaults) || PyTuple_GET_SIZE(defaults) != ndefaults))) {
        PyErr_Format(PyExc_SystemError, "bad signature for %s", sig.name);
        return Ref();
    }
    Ref params = Ref::steal(PyTuple_New(sig.nparams));
    if (!params) return Ref();
    for (int i = 0; i < sig.nparams; ++i) {
        PyObject* p = PyUnicode_InternFromString(sig.params[i]);
        if (!p) return Ref();
        PyTuple_SET_ITEM(params.get(), i, p);
    }
    Ref name = Ref::steal(PyUnicode_InternFromString(sig.name));
    if (!name) return Ref();
    Ref qual = qualname ? Ref::steal(PyUnicode_FromString(qualname)) : Ref::borrow(name.get());
    if (!qual) return Ref();
    Ref doc = sig.doc ? Ref::steal(PyUnicode_FromString(sig.doc)) : Ref::borrow(Py_None);
    if (!doc) return Ref();

    auto* f = PyObject_GC_New(FunctionObject, FunctionType);
    if (!f) return Ref();
    f->vectorcall = function_vectorcall;
    f->sig = &sig;
    f->all_positional = sig.nkwonly ? -1 : sig.nparams;
    f->name = name.release();
    f->qualname = qual.release();
    f->module = Py_NewRef(module_name ? module_name : Py_None);
    f->doc = doc.release();
    f->params = params.release();
    f->defaults = ndefaults > 0 ? Py_NewRef(defaults) : nullptr;
    f->dict = nullptr;
    f->weaklist = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace glue
