// Module state of ferrule: the containers shared by the callbacks, the query
// functions and the engine. Created once at load and never rebound, so the
// C++ keeps direct (strong) references to them; everything else the code uses
// (engine classes and functions, the gateway enums, np, deque, datetime, ...)
// is looked up in the module namespace when it runs.
#pragma once
#include <Python.h>

#include "glue/names.hpp"
#include "glue/runtime.hpp"

namespace ferrule {

struct State {
    glue::Namespace ns;
    PyObject* module_name = nullptr;  // "corvina.lumen.utils.ferrule"
    PyObject* vela_params = nullptr;
    PyObject* event_queue = nullptr;
    PyObject* history_bar = nullptr;
    PyObject* history_tick = nullptr;
    PyObject* orders_dict = nullptr;
    PyObject* algo_parent_orders = nullptr;
    PyObject* algo_child_orders = nullptr;
    PyObject* algo_child_trades = nullptr;
    PyObject* strategy_class = nullptr;  // VelaStrategy as created at load (what super() resolves through)
};

extern State g;

// A name bound at load (engine class, gateway enum, np, datetime, ...), looked
// up in the module namespace now, so a replacement takes effect.
inline glue::Ref global(PyObject* name) { return g.ns.get(name); }

// global(owner).attr, e.g. EVENT.TICK or MDType.VeMD.
glue::Ref global_attr(PyObject* owner, PyObject* attr);

// system_log.info(text)
int log_info(PyObject* text);

// Appends an event to event_queue (the queue's own `append`).
int publish(PyObject* event);

// Creates VelaStrategy in the module namespace.
bool define_strategy_class(PyObject* module);

}  // namespace ferrule
