// Module state of ferrule: the books shared by the callbacks, the query
// functions and the engine. Created once at load and never rebound, so the
// C++ keeps direct (strong) references to them; everything else the code uses
// (event_queue, engine classes and functions, the gateway enums, np, deque,
// datetime, ...) is looked up in the module namespace when it runs.
#pragma once
#include <Python.h>

#include "glue/global.hpp"
#include "glue/runtime.hpp"
#include "glue/threads.hpp"

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
    // identity (an int made from its address, identity_key in orders.cpp:
    // looking up and writing run no Python code):
    // order -> the cumulative quantities claimed as TRADEs for it;
    PyObject* published_fills = nullptr;
    // order -> (order,), for the orders whose acceptance was taken.
    PyObject* accepted_orders = nullptr;
    PyObject* strategy_class = nullptr;  // VelaStrategy as created at load (what super() resolves through)
    // The histories' queues: a record joins one, or a window is copied out of
    // it, in one piece (without a GIL a copy would meet an append midway).
    glue::StretchLock history_queues;
};

// The one instance, made at load.
extern State bridge;

inline const glue::Namespace& module_namespace() { return bridge.ns; }

// A module global (engine class, gateway enum, np, datetime, ...), read as
// Python code reads it, in ferrule's namespace: `Global gl_Event{"Event"};`.
using Global = glue::Global<module_namespace>;

// Creates VelaStrategy in the module namespace.
int define_strategy_class(PyObject* module);

}  // namespace ferrule
