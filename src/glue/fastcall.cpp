#include "glue/fastcall.hpp"

#include <type_traits>

namespace glue {

static_assert(std::is_trivially_destructible<CachedGlobal>::value && std::is_trivially_destructible<MethodCall>::value &&
                  std::is_trivially_destructible<ClassMethodCall>::value && std::is_trivially_destructible<AttrOf>::value,
              "caches are statics: nothing of theirs may run after the interpreter is finalized");

namespace {

Name k_init{"__init__"};
Name k_func{"__func__"};

// Strong references a cache lets go of when it is refilled, released only
// once the cache is consistent again: a release may run any code, even a
// callback that comes back here.
class Released {
public:
    Released() = default;
    Released(const Released&) = delete;
    Released& operator=(const Released&) = delete;
    ~Released() {
        for (PyObject* p : refs_) Py_XDECREF(p);
    }
    // *slot = value (a new strong reference), keeping the old one until the end.
    void replace(PyObject** slot, PyObject* value) {
        take(slot);
        *slot = Py_XNewRef(value);
    }
    void take(PyObject** slot) {
        refs_[n_++] = *slot;
        *slot = nullptr;
    }

private:
    PyObject* refs_[3] = {};
    int n_ = 0;
};

}  // namespace

Ref CachedGlobal::refresh(const Namespace& ns) {
    // Armed before the lookup: a change the lookup itself causes disarms it.
    bool armed = guard_.arm(ns.dict(), ns.builtins(), name_);
    Ref v = ns.get(name_);
    // A missing name takes the ordinary lookup (and its NameError) every time.
    if (!v || !armed || !guard_.holds(ns.dict())) {
        guard_.disarm();
        return v;
    }
    value_ = v.get();  // the dict that holds it reports a change before it lets go
    return v;
}

// ---- obj.name(arg) on a built-in type --------------------------------------

void MethodCall::resolve(PyTypeObject* tp) {
    Released old;
    old.replace(reinterpret_cast<PyObject**>(&type_), reinterpret_cast<PyObject*>(tp));
    old.take(&descr_);
    // A type whose instances may have a __dict__ could shadow the method, and
    // a lookup hook of its own sees every read: both take the plain call.
    if (guard_.arm(tp) && tp->tp_getattro == PyObject_GenericGetAttr && !has_instance_dict(tp)) {
        Ref d = find_on_mro(tp, name_);
        if (!d) PyErr_Clear();
        if (d && Py_IS_TYPE(d.get(), &PyMethodDescr_Type) && guard_.holds(tp)) descr_ = d.release();
    }
}

// ---- cls.name(*args) ---------------------------------------------------------

namespace {

// Where a classmethod or staticmethod keeps the object it wraps (its
// __func__, a plain member of the built-in type), or 0 when that cannot be
// told. It is read anew at every call, as the interpreter reads it:
// re-running __init__ replaces it.
Py_ssize_t wrapped_offset(PyTypeObject* descr_type) {
    Ref d = find_on_mro(descr_type, k_func);
    if (!d) {
        PyErr_Clear();
        return 0;
    }
    const PyMemberDef* m = member_of(descr_type, d.get());
    bool plain = m && (m->type == Py_T_OBJECT_EX || m->type == _Py_T_OBJECT) &&
                 !(m->flags & (Py_AUDIT_READ | Py_RELATIVE_OFFSET)) && m->offset > 0;
    return plain ? m->offset : 0;
}

}  // namespace

void ClassMethodCall::resolve(PyObject* cls) {
    Released old;
    old.replace(&cls_, cls);
    old.take(&target_);
    kind_ = Kind::Plain;
    auto* tp = reinterpret_cast<PyTypeObject*>(cls);
    PyTypeObject* meta = Py_TYPE(cls);
    // The class's own lookup, unless its metaclass hooks the lookup or has the name itself.
    if (guard_.arm(tp) && meta_guard_.arm(meta) && meta->tp_getattro == PyType_Type.tp_getattro) {
        Ref on_meta = find_on_mro(meta, name_);
        Ref d = on_meta || PyErr_Occurred() ? Ref() : find_on_mro(tp, name_);
        if (PyErr_Occurred()) PyErr_Clear();
        if (d) {
            PyTypeObject* dt = Py_TYPE(d.get());
            if (dt == &PyClassMethod_Type || dt == &PyStaticMethod_Type) {
                offset_ = wrapped_offset(dt);
                if (offset_) kind_ = dt == &PyClassMethod_Type ? Kind::ClassMethod : Kind::StaticMethod;
            } else if (PyFunction_Check(d.get()) || (!dt->tp_descr_get && PyCallable_Check(d.get()))) {
                // A function looked up on a class is the function itself; an
                // object without __get__ is what it is, while its class gains none.
                kind_ = Kind::Direct;
            }
        }
        bool current = kind_ != Kind::Plain && target_guard_.arm(Py_TYPE(d.get())) && guard_.holds(tp) &&
                       meta_guard_.holds(meta);
        if (current) {
            target_ = d.release();
        } else {
            kind_ = Kind::Plain;
        }
    }
}

ClassMethodCall::Callable ClassMethodCall::look_up(PyObject* cls) {
    if (PyType_Check(cls)) {
        auto* tp = reinterpret_cast<PyTypeObject*>(cls);
        bool fresh = false;
        if (cls != cls_ || !guard_.holds(tp) || !meta_guard_.holds(Py_TYPE(cls))) {
            fresh = !backoff_.waiting();
            if (fresh) {
                resolve(cls);
                backoff_.refilled();
            }
        }
        if (current(cls)) {
            if (!fresh) backoff_.used();
            Callable c = remembered(cls);
            if (c.fn) return c;
        }
    }
    Callable c;
    c.fn = Ref::steal(PyObject_GetAttr(cls, name_));
    return c;
}

// ---- owner.name ---------------------------------------------------------------

bool AttrOf::current_other(PyObject* owner) const {
    switch (mode_) {
        case Mode::Module:
            // A module whose __class__ was swapped for a subclass may answer the name itself.
            return Py_IS_TYPE(owner, &PyModule_Type) && dict_guard_.armed();
        case Mode::Instance:
        case Mode::Method: {
            PyTypeObject* tp = Py_TYPE(owner);
            if (!type_guard_.holds(tp) || !dict_guard_.armed()) return false;
            // Its __dict__ may have been replaced as a whole, which no watcher reports: the pointer at the
            // type's fixed offset is the dict (or null before one is made). Every store to that dict goes
            // through it, and is reported.
            return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(owner) + tp->tp_dictoffset) == dict_;
        }
        case Mode::Class:  // inline in current()
        case Mode::Plain:
            break;
    }
    return false;
}

Ref AttrOf::refresh(PyObject* owner) {
    backoff_.refilled();
    {
        Released old;
        old.replace(&owner_, owner);
        old.take(&value_);
        mode_ = Mode::Plain;
        dict_ = nullptr;
        PyTypeObject* tp = Py_TYPE(owner);
        Ref value;
        Mode mode = Mode::Plain;
        if (PyType_Check(owner)) {
            // A class attribute that is no descriptor, and nothing on the metaclass that could take over.
            auto* cls = reinterpret_cast<PyTypeObject*>(owner);
            if (tp->tp_getattro == PyType_Type.tp_getattro && type_guard_.arm(cls) && meta_guard_.arm(tp)) {
                Ref on_meta = find_on_mro(tp, name_);
                if (!on_meta && !PyErr_Occurred()) value = find_on_mro(cls, name_);
                if (value && !Py_TYPE(value.get())->tp_descr_get) mode = Mode::Class;
            }
        } else if (Py_IS_TYPE(owner, &PyModule_Type) || (tp->tp_getattro == PyObject_GenericGetAttr && tp->tp_dictoffset > 0)) {
            // What the instance dict holds, for a name the type does not define at all. Only a dict
            // kept at a fixed place: an instance of a plain class keeps its attributes inside itself
            // until its __dict__ is asked for, and the interpreter's own reads and stores of them are
            // slower from then on, so such an owner is read the plain way.
            bool module = Py_IS_TYPE(owner, &PyModule_Type);
            Ref dict = Ref::steal(module ? Py_XNewRef(PyModule_GetDict(owner)) : PyObject_GenericGetDict(owner, nullptr));
            if (dict && PyDict_CheckExact(dict.get()) && type_guard_.arm(tp) &&
                dict_guard_.arm(dict.get(), nullptr, name_)) {
                Ref on_type = find_on_mro(tp, name_);
                // A plain function on the class is bound at each lookup, unless the instance dict shadows it.
                bool function = !module && on_type && Py_IS_TYPE(on_type.get(), &PyFunction_Type);
                PyObject* v = (on_type && !function) || PyErr_Occurred() ? nullptr
                                                                         : PyDict_GetItemWithError(dict.get(), name_);
                if (v) {
                    value = Ref::borrow(v);
                    dict_ = dict.get();
                    mode = module ? Mode::Module : Mode::Instance;
                } else if (function && !PyErr_Occurred() && type_guard_.holds(tp) && dict_guard_.armed()) {
                    value = std::move(on_type);
                    dict_ = dict.get();
                    mode = Mode::Method;
                }
            }
        }
        if (PyErr_Occurred()) PyErr_Clear();
        if (mode != Mode::Plain) {
            value_ = value.release();
            mode_ = mode;
        }
    }
    if (owner == owner_ && current(owner)) return held(owner);
    return Ref::steal(PyObject_GetAttr(owner, name_));
}

// ---- cls(*args, **kw) --------------------------------------------------------

namespace {

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

// Whether calling cls means exactly: object.__new__(cls), then the __init__
// the class's MRO gives, written in Python. The slots say it without a lookup.
bool plain_class(PyObject* cls) {
    if (!Py_IS_TYPE(cls, &PyType_Type)) return false;  // a metaclass may define __call__
    auto* tp = reinterpret_cast<PyTypeObject*>(cls);
    if (tp->tp_new != PyBaseObject_Type.tp_new || tp->tp_vectorcall) return false;
    initproc slot = python_init_slot();
    return slot && tp->tp_init == slot;
}

// The classes instantiated lately and their __init__ functions.
struct InitEntry {
    TypeGuard guard;
    PyObject* cls = nullptr;   // strong, so that its identity stays its own
    PyObject* init = nullptr;  // strong; null: not a Python function, the plain call
};
constexpr std::size_t kInitEntries = 8;
InitEntry g_inits[kInitEntries];
std::size_t g_next_init = 0;

void refill(InitEntry& e, PyObject* cls) {
    auto* tp = reinterpret_cast<PyTypeObject*>(cls);
    Released old;
    old.replace(&e.cls, cls);
    old.take(&e.init);
    if (e.guard.arm(tp)) {
        Ref init = find_on_mro(tp, k_init);
        if (!init) PyErr_Clear();
        if (init && PyFunction_Check(init.get()) && e.guard.holds(tp)) e.init = init.release();
    }
}

// The __init__ function of a plain class, or empty (no error set) when the
// plain call is the way.
Ref python_init(PyObject* cls) {
    auto* tp = reinterpret_cast<PyTypeObject*>(cls);
    for (const InitEntry& e : g_inits)
        if (e.cls == cls && e.guard.holds(tp)) return Ref::borrow(e.init);
    InitEntry& e = g_inits[g_next_init];
    g_next_init = (g_next_init + 1) % kInitEntries;
    refill(e, cls);
    return e.cls == cls && e.guard.holds(tp) ? Ref::borrow(e.init) : Ref();
}

}  // namespace

Ref instantiate(PyObject* cls, PyObject** argv, std::size_t nargs, const KwNames* kw) {
    PyObject* kwnames = kw ? kw->tuple() : nullptr;
    if constexpr (!kCaches) return vectorcall(cls, argv, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
    Ref init = plain_class(cls) ? python_init(cls) : Ref();
    if (!init) return vectorcall(cls, argv, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
    auto* tp = reinterpret_cast<PyTypeObject*>(cls);
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!empty) return Ref();
    Ref obj = Ref::steal(tp->tp_new(tp, empty.get(), nullptr));
    if (!obj) return Ref();
    PyObject* saved = argv[-1];
    argv[-1] = obj.get();
    Ref r = vectorcall(init.get(), argv - 1, nargs + 1, kwnames);
    argv[-1] = saved;
    if (!r) return Ref();
    if (r.get() != Py_None) {
        PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'", Py_TYPE(r.get())->tp_name);
        return Ref();
    }
    return obj;
}

}  // namespace glue
