// A module global read as Python code reads it: looked up in the module's
// namespace when used, so that a replacement by the engine or a test takes
// effect at the next read, and remembered between reads while the binding
// stays (CachedGlobal). Declared once per name where it is used, through the
// module's alias: `Global gl_Event{"Event"};`.
#pragma once
#include <Python.h>

#include "glue/fastcall.hpp"
#include "glue/names.hpp"
#include "glue/ref.hpp"
#include "glue/runtime.hpp"

namespace glue {

// `Ns` returns the module's Namespace. A function rather than a reference
// member, so that reaching it costs what naming the module's own variable
// does.
template <const Namespace& (*Ns)()>
class Global {
public:
    explicit Global(const char* name) noexcept : name_(name), cache_(name_) {}
    Global(const Global&) = delete;
    Global& operator=(const Global&) = delete;
    // New reference, or NameError.
    Ref get() { return cache_.get(Ns()); }
    // global.attr, e.g. EVENT.TICK or os.environ.
    Ref attr(PyObject* attr) {
        Ref owner = get();
        return owner ? getattr(owner.get(), attr) : Ref();
    }
    // The same through a cache of that attribute, for the hot paths.
    Ref attr(AttrOf& attr) {
        Ref owner = get();
        return owner ? attr.get(owner.get()) : Ref();
    }
    // global.method(args...), e.g. datetime.now() or click.echo(text).
    template <class... A>
    Ref call_method(PyObject* method, A... args) {
        Ref owner = get();
        return owner ? glue::call_method(owner.get(), method, args...) : Ref();
    }

private:
    Name name_;
    CachedGlobal cache_;
};

}  // namespace glue
