// Module state of ferrule: the books shared by the callbacks, the query
// functions and the engine. Created once at load and never rebound, so the
// C++ keeps direct (strong) references to them; everything else the code uses
// (event_queue, engine classes and functions, the gateway enums, np, deque,
// datetime, ...) is looked up in the module namespace when it runs.
#pragma once
#include <Python.h>

#include "glue/fastcall.hpp"
#include "glue/names.hpp"
#include "glue/runtime.hpp"

namespace ferrule {

struct State {
    glue::Namespace ns;
    PyObject* module_name = nullptr;  // "corvina.lumen.utils.ferrule"
    PyObject* vela_params = nullptr;
    PyObject* history_bar = nullptr;
    PyObject* history_tick = nullptr;
    PyObject* orders_dict = nullptr;
    PyObject* algo_parent_orders = nullptr;
    PyObject* algo_child_orders = nullptr;
    PyObject* algo_child_trades = nullptr;
    // Not module globals, emptied with the books, keyed by the engine order's
    // identity (an int: looking up and writing run no Python code):
    // id(order) -> the cumulative quantities claimed as TRADEs for it (orders.cpp);
    PyObject* published_fills = nullptr;
    // id(order) -> (order,), for the orders whose acceptance was taken.
    PyObject* accepted_orders = nullptr;
    PyObject* strategy_class = nullptr;  // VelaStrategy as created at load (what super() resolves through)
};

extern State g;

// A module global (engine class, gateway enum, np, datetime, ...), read as
// Python code reads it: looked up in the module namespace when used, so a
// replacement by the engine or a test takes effect at the next read. Declared
// once per name where it is used: `Global gl_Event{"Event"};`.
class Global {
public:
    explicit Global(const char* name) noexcept : name_(name), cache_(name_) {}
    Global(const Global&) = delete;
    Global& operator=(const Global&) = delete;
    // New reference, or NameError.
    glue::Ref get() { return cache_.get(g.ns); }
    // global.attr, e.g. EVENT.TICK or ORDER_STATUS.FILLED.
    glue::Ref attr(PyObject* attr) {
        glue::Ref owner = get();
        return owner ? glue::getattr(owner.get(), attr) : glue::Ref();
    }
    // The same through a cache of that attribute, for the hot paths.
    glue::Ref attr(glue::AttrOf& attr) {
        glue::Ref owner = get();
        return owner ? attr.get(owner.get()) : glue::Ref();
    }
    // global.method(args...), e.g. datetime.now().
    template <class... A>
    glue::Ref call_method(PyObject* method, A... args) {
        glue::Ref owner = get();
        return owner ? glue::call_method(owner.get(), method, args...) : glue::Ref();
    }
    PyObject* name() const noexcept { return name_; }

private:
    glue::Name name_;
    glue::CachedGlobal cache_;
};

// system_log.info(text)
int log_info(PyObject* text);

// Creates VelaStrategy in the module namespace.
int define_strategy_class(PyObject* module);

// copy.deepcopy(obj), through the module's `copy`.
glue::Ref deepcopy(PyObject* obj);

// Environment.get_instance(): the engine's environment, through the module's `Environment`.
glue::Ref environment();

}  // namespace ferrule
