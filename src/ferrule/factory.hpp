// A class-level factory of an engine class reached through the module
// (`L2Order.__from_create__(...)`, `AlgoParentOrder.from_vela(...)`), called
// as Python evaluates the call: the class and its factory first, then each
// argument left to right, the first that fails ending it.
#pragma once
#include <Python.h>

#include <cstddef>
#include <utility>

#include "ferrule/state.hpp"
#include "glue/fastcall.hpp"

namespace ferrule {

class Factory {
public:
    Factory(const char* cls, const glue::Name& method) noexcept : cls_(cls), method_(method) {}

    // cls.<method>(*args) or, with kw, the last kw->size() arguments by those
    // names. Each argument is a PyObject* (borrowed) or a callable returning
    // a Ref, called in its turn.
    template <class... A>
    glue::Ref call(const glue::KwNames* kw, A&&... args) {
        return call_in_order(kw, std::index_sequence_for<A...>{}, std::forward<A>(args)...);
    }

private:
    template <std::size_t... I, class... A>
    glue::Ref call_in_order(const glue::KwNames* kw, std::index_sequence<I...>, A&&... args) {
        glue::Ref cls = cls_.get();
        if (!cls) return glue::Ref();
        auto factory = method_.get(cls.get());
        if (!factory.fn) return glue::Ref();
        PyObject* argv[1 + sizeof...(A)];  // every argument's slot is set before the call
        argv[0] = nullptr;
        glue::Ref held[sizeof...(A)];
        // && evaluates left to right and stops at the first argument that fails.
        if (!(put(args, argv[1 + I], held[I]) && ...)) return glue::Ref();
        std::size_t nargs = sizeof...(A) - (kw ? kw->size() : 0);
        return glue::ClassMethodCall::call(factory, argv + 1, nargs, kw);
    }

    static bool put(PyObject* given, PyObject*& slot, glue::Ref&) {
        slot = given;
        return true;
    }
    template <class Read>
    static bool put(Read& read, PyObject*& slot, glue::Ref& held) {
        held = read();
        slot = held.get();
        return slot != nullptr;
    }

    Global cls_;
    glue::ClassMethodCall method_;
};

}  // namespace ferrule
