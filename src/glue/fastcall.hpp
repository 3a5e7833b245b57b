// Costs a C caller pays that interpreted code does not, removed without
// changing what happens. Each cache is guarded by the interpreter's watchers
// (glue/watch.hpp) and remembers, just as firmly, when it cannot help, so a
// shape it does not handle costs the plain call and nothing more:
//  - CachedGlobal: a module global read through a Namespace, remembered until
//    the binding changes (the engine or a test replacing it is seen at the
//    next read);
//  - MethodCall: obj.name(arg) for a method of a built-in type (deque.append),
//    calling the method descriptor without making a bound method;
//  - ClassMethodCall: cls.name(*args) for a class-level factory, whatever it
//    is (classmethod, staticmethod, plain function, builtin, callable object),
//    calling what the lookup would give without making a bound method;
//  - instantiate: cls(*args, **kw) for a plain Python class, without the
//    argument tuple and keyword dict that type.__call__ builds for __init__;
//  - AttrOf: owner.name for a long-lived owner (a module, a class or enum, a
//    namespace object): EVENT.TICK, copy.deepcopy, ORDER_STATUS.FILLED, and
//    owner.name(args) for a function such an owner holds or its class defines
//    (data_proxy.instruments, env.get_account), without a bound method.
#pragma once
#include <Python.h>
#include <cstddef>

#include "glue/names.hpp"
#include "glue/ref.hpp"
#include "glue/runtime.hpp"
#include "glue/watch.hpp"

namespace glue {

class CachedGlobal {
public:
    explicit CachedGlobal(const Name& name) noexcept : name_(name) {}

    // As ns.get(name): a new reference, or NameError.
    Ref get(const Namespace& ns) {
        if constexpr (!kCaches) return ns.get(name_);
        if (guard_.holds(ns.dict())) return Ref::borrow(value_);
        return refresh(ns);
    }

private:
    Ref refresh(const Namespace& ns);

    const Name& name_;
    DictGuard guard_;
    PyObject* value_ = nullptr;  // borrowed: a change of the binding disarms the guard before it is made
};

class MethodCall {
public:
    explicit MethodCall(const Name& name) noexcept : name_(name) {}

    // 0, or -1 with the error set; the result is dropped.
    int call_void(PyObject* obj, PyObject* arg) {
        if constexpr (!kCaches) {
            PyObject* argv[] = {nullptr, obj, arg};
            Ref r = Ref::steal(PyObject_VectorcallMethod(name_, argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
            return r ? 0 : -1;
        }
        PyTypeObject* tp = Py_TYPE(obj);
        if (!guard_.holds(tp) || type_ != tp) resolve(tp);
        PyObject* argv[] = {nullptr, obj, arg};
        Ref r;
        if (descr_ && guard_.holds(tp) && type_ == tp) {
            Ref descr = Ref::borrow(descr_);  // the call may replace the cache
            r = vectorcall(descr.get(), argv + 1, 2, nullptr);
        } else {
            r = Ref::steal(PyObject_VectorcallMethod(name_, argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        }
        return r ? 0 : -1;
    }

private:
    void resolve(PyTypeObject* tp);

    const Name& name_;
    TypeGuard guard_;
    PyTypeObject* type_ = nullptr;  // strong, so that its identity stays its own
    PyObject* descr_ = nullptr;     // strong; null: the plain call
};

class ClassMethodCall {
public:
    explicit ClassMethodCall(const Name& name) noexcept : name_(name) {}

    // `cls.<name>`, evaluated where Python evaluates it (before the arguments):
    // what to call, with cls first when `cls` is set. Empty with the error set
    // on failure.
    struct Callable {
        Ref fn;
        PyObject* cls = nullptr;  // non-null: prepend it
    };
    Callable get(PyObject* cls) {
        if constexpr (!kCaches) return Callable{getattr(cls, name_)};
        if (current(cls)) {
            Callable c = remembered(cls);
            if (c.fn) {
                backoff_.used();
                return c;
            }
        }
        return look_up(cls);
    }

    // callable(*argv[0:nargs], **dict(zip(kw, argv[nargs:]))); argv[-1] must be writable.
    static Ref call(const Callable& c, PyObject** argv, std::size_t nargs, const KwNames* kw = nullptr) {
        PyObject* kwnames = kw ? kw->tuple() : nullptr;
        if (!c.cls) return vectorcall(c.fn.get(), argv, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
        PyObject* saved = argv[-1];
        argv[-1] = c.cls;
        Ref r = vectorcall(c.fn.get(), argv - 1, nargs + 1, kwnames);
        argv[-1] = saved;
        return r;
    }

private:
    enum class Kind : unsigned char { Plain, Direct, ClassMethod, StaticMethod };
    void resolve(PyObject* cls);
    Callable look_up(PyObject* cls);

    // Whether what was found last still answers for cls: the class, its
    // metaclass and the found object's type are as they were (either type can
    // be swapped by assigning __class__, which no watcher reports).
    bool current(PyObject* cls) const {
        return target_ && cls == cls_ && guard_.holds(reinterpret_cast<PyTypeObject*>(cls)) &&
               meta_guard_.holds(Py_TYPE(cls)) && target_guard_.holds(Py_TYPE(target_));
    }

    // The wrapped object of a classmethod or staticmethod, or empty when it
    // is not set (None stands for that in the member), so that the plain
    // lookup raises what it raises. Read anew at every call, as the
    // interpreter reads it: re-running __init__ replaces it.
    static Ref wrapped(PyObject* descr, Py_ssize_t offset) {
        PyObject* f = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(descr) + offset);
        return f && f != Py_None ? Ref::borrow(f) : Ref();
    }
    // Whether calling the classmethod's function with cls first is what
    // cls.name(...) does: 3.12 still lets the wrapped object bind itself.
    static bool binds_plainly(PyObject* f) {
#if PY_VERSION_HEX < 0x030D0000
        return PyFunction_Check(f) || !Py_TYPE(f)->tp_descr_get;
#else
        (void)f;
        return true;
#endif
    }
    // What the remembered target gives to call, while it is current; empty
    // (no error set) when the plain lookup must answer.
    Callable remembered(PyObject* cls) const {
        Callable c;
        switch (kind_) {
            case Kind::Direct:
                c.fn = Ref::borrow(target_);
                break;
            case Kind::StaticMethod:
                c.fn = wrapped(target_, offset_);
                break;
            case Kind::ClassMethod:
                c.fn = wrapped(target_, offset_);
                if (c.fn && binds_plainly(c.fn.get()))
                    c.cls = cls;
                else
                    c.fn = Ref();
                break;
            case Kind::Plain:
                break;
        }
        return c;
    }

    const Name& name_;
    Backoff backoff_;
    TypeGuard guard_;       // on the class
    TypeGuard meta_guard_;  // on its metaclass, which could come to define the name
    TypeGuard target_guard_;  // on the type of what was found, which could come to bind it
    PyObject* cls_ = nullptr;     // strong, so that its identity stays its own
    PyObject* target_ = nullptr;  // strong: the callable, or the classmethod/staticmethod object
    Py_ssize_t offset_ = 0;       // where that object keeps what it wraps
    Kind kind_ = Kind::Plain;
};

class AttrOf {
public:
    explicit AttrOf(const char* name) noexcept : name_(name) {}
    AttrOf(const AttrOf&) = delete;
    AttrOf& operator=(const AttrOf&) = delete;

    // As getattr(owner, name): a new reference, or an empty Ref with the error set.
    Ref get(PyObject* owner) {
        if constexpr (!kCaches) return getattr(owner, name_);
        if (owner == owner_ && current(owner)) {
            backoff_.used();
            return held(owner);
        }
        if (backoff_.waiting()) return Ref::steal(PyObject_GetAttr(owner, name_));
        return refresh(owner);
    }

    // `owner.name` looked up to be called, where Python looks it up (before
    // the arguments are evaluated): what to call, with `self` put first when
    // set, so that a function the owner's class defines is not bound.
    struct Method {
        Ref fn;  // empty, with the error set, when the lookup failed
        PyObject* self = nullptr;
        template <class... A>
        Ref operator()(A... args) const {
            if (!self) return glue::call(fn.get(), args...);
            PyObject* argv[] = {nullptr, self, static_cast<PyObject*>(args)...};
            return vectorcall(fn.get(), argv + 1, (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
        }
    };
    Method method(PyObject* owner) {
        if constexpr (!kCaches) return Method{getattr(owner, name_)};
        if (owner == owner_ && current(owner)) return cached(owner);
        Method m;
        m.fn = backoff_.waiting() ? Ref::steal(PyObject_GetAttr(owner, name_)) : refresh(owner);
        return m;
    }
    // owner.name(args...) (arguments borrowed, evaluated before the lookup,
    // so only where that order cannot be told apart), without a bound method.
    template <class... A>
    Ref call_method(PyObject* owner, A... args) {
        if constexpr (!kCaches) return glue::call_method(owner, name_, args...);
        if (owner == owner_ && current(owner)) return cached(owner)(args...);
        if (backoff_.waiting()) return glue::call_method(owner, name_, args...);
        Ref fn = refresh(owner);
        return fn ? glue::call(fn.get(), args...) : Ref();
    }
    // The attribute's name, interned.
    PyObject* name() const noexcept { return name_; }

private:
    // Method: a plain function the owner's class defines and its instance dict does not shadow.
    enum class Mode : unsigned char { Plain, Class, Module, Instance, Method };
    bool current(PyObject* owner) const {
        // A class's attribute (EVENT.TICK, SIDE.BUY) is asked at every event: inline.
        if (mode_ == Mode::Class)
            return type_guard_.holds(reinterpret_cast<PyTypeObject*>(owner)) && meta_guard_.holds(Py_TYPE(owner));
        return current_other(owner);
    }
    bool current_other(PyObject* owner) const;
    // What a current cache gives to call: the value, with the owner first for a method.
    Method cached(PyObject* owner) {
        backoff_.used();
        Method m;
        m.fn = Ref::borrow(value_);  // held: the call may refill the cache
        if (mode_ == Mode::Method) m.self = owner;
        return m;
    }
    // What a current cache gives for getattr: the value, or the function bound to the owner.
    Ref held(PyObject* owner) const {
        return mode_ == Mode::Method ? Ref::steal(PyMethod_New(value_, owner)) : Ref::borrow(value_);
    }
    Ref refresh(PyObject* owner);

    Name name_;
    Backoff backoff_;
    Mode mode_ = Mode::Plain;
    PyObject* owner_ = nullptr;  // strong, so that its identity stays its own
    PyObject* value_ = nullptr;  // strong: a class's attribute is replaced before the interpreter reports it
    PyObject* dict_ = nullptr;   // the dict the value was found in (a module's or an instance's), identity only
    TypeGuard type_guard_;       // the owner when it is a class, else its type
    TypeGuard meta_guard_;       // a class's metaclass
    DictGuard dict_guard_;       // the dict the value was found in
};

// cls(*argv[0:nargs], **dict(zip(kw, argv[nargs:]))). argv[-1] must be
// writable (it carries the new instance to __init__ for a moment).
Ref instantiate(PyObject* cls, PyObject** argv, std::size_t nargs, const KwNames* kw = nullptr);

}  // namespace glue
