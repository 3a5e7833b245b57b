// Loading ferrule: bind the engine's names, the gateway SDK, the ring buffer,
// numpy and the date-time types; create the shared state; define the query
// functions and VelaStrategy.
#include <Python.h>

#include <utility>

#include "ferrule/latency.hpp"
#include "ferrule/query.hpp"
#include "ferrule/recording/recorder.hpp"
#include "ferrule/state.hpp"
#include "ferrule/stats.hpp"
#include "glue/module.hpp"

namespace ferrule {

State bridge;

namespace {

Global gl_RB{"RB"};
constexpr long kEventQueueCapacity = 1000000;
glue::Name k_all{"__all__"};
glue::KwNames kw_ring{"capacity", "dtype"};

struct FromImport {
    const char* module;
    const char* names[6];
};

// The engine's names, in import order.
const FromImport kEngineImports[] = {
    {"corvina.lumen.environment", {"Environment"}},
    {"corvina.lumen.core.events", {"EVENT", "Event"}},
    {"corvina.lumen.model.tick", {"TickObject"}},
    {"corvina.lumen.model.trade", {"Trade"}},
    {"corvina.lumen.model.l2_order", {"L2Order"}},
    {"corvina.lumen.model.l2_transaction", {"L2Transaction"}},
    {"corvina.lumen.utils.datetime_func", {"convert_int_to_datetime", "convert_int_to_whole_date"}},
    {"corvina.lumen.utils.trade_func",
     {"get_exchane_from_vela_mdtype", "get_vela_tdtype", "get_side_from_vela_l2_order",
      "get_order_type_from_vela_l2_order", "get_trade_type_from_vela", "get_l2order_type_from_vela"}},
    {"corvina.lumen.utils.logger", {"system_log"}},
    {"corvina.lumen.model.algo_parent_order", {"AlgoParentOrder"}},
    {"corvina.lumen.model.algo_child_order", {"AlgoChildOrder"}},
    {"corvina.lumen.model.algo_child_trade", {"AlgoChildTrade"}},
    {"corvina.lumen.const", {"ORDER_STATUS", "POSITION_DIRECTION", "SIDE"}},
    {"corvina.lumen.portfolio.account", {"Asset"}},
    {"corvina.lumen.portfolio.position", {"Position"}},
};

using glue::from_import;
using glue::import_as;

int bind(PyObject* m, const char* as, PyObject* value) { return PyModule_AddObjectRef(m, as, value); }

// `from pyvela.enums import *`: __all__ when the module has one, else every
// name without a leading underscore.
int star_import(PyObject* m, const char* module) {
    glue::Ref mod = glue::Ref::steal(PyImport_ImportModule(module));
    if (!mod) return -1;
    glue::Ref all = glue::getattr(mod.get(), k_all);
    if (all) {
        glue::Ref it = glue::Ref::steal(PyObject_GetIter(all.get()));
        if (!it) return -1;
        while (glue::Ref name = glue::Ref::steal(PyIter_Next(it.get()))) {
            glue::Ref v = glue::getattr(mod.get(), name.get());
            if (!v || PyObject_SetAttr(m, name.get(), v.get()) < 0) return -1;
        }
        return PyErr_Occurred() ? -1 : 0;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    PyObject* d = PyModule_GetDict(mod.get());  // borrowed
    glue::Ref items = glue::Ref::steal(PyDict_Items(d));
    if (!items) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* kv = PyList_GET_ITEM(items.get(), i);
        PyObject* key = PyTuple_GET_ITEM(kv, 0);
        if (PyUnicode_Check(key) && PyUnicode_GET_LENGTH(key) > 0 && PyUnicode_READ_CHAR(key, 0) == '_') continue;
        if (PyObject_SetAttr(m, key, PyTuple_GET_ITEM(kv, 1)) < 0) return -1;
    }
    return 0;
}

int bind_imports(PyObject* m) {
    for (const FromImport& imp : kEngineImports)
        for (const char* name : imp.names)
            if (name && from_import(m, imp.module, name) < 0) return -1;
    if (import_as(m, "pyvela.strategy", "strategy") < 0 || star_import(m, "pyvela.enums") < 0 ||
        from_import(m, "numpy_ringbuffer", "RingBuffer", "RB") < 0 || import_as(m, "numpy", "np") < 0 ||
        from_import(m, "collections", "deque") < 0)
        return -1;
    for (const char* name : {"datetime", "date", "time", "timedelta"})
        if (from_import(m, "datetime", name) < 0) return -1;
    return import_as(m, "copy", "copy");
}

// A new empty dict bound in the module and kept in *slot.
int new_dict(PyObject* m, const char* name, PyObject** slot) {
    PyObject* d = PyDict_New();
    if (!d) return -1;
    *slot = d;
    return bind(m, name, d);
}

int create_state(PyObject* m) {
    if (new_dict(m, "vela_params", &bridge.vela_params) < 0) return -1;
    if (!(bridge.published_fills = PyDict_New()) || !(bridge.accepted_orders = PyDict_New())) return -1;
    glue::Ref rb = gl_RB.get();
    if (!rb) return -1;
    glue::Ref capacity = glue::Ref::steal(PyLong_FromLong(kEventQueueCapacity));
    if (!capacity) return -1;
    PyObject* argv[] = {nullptr, capacity.get(), reinterpret_cast<PyObject*>(&PyBaseObject_Type)};
    glue::Ref queue = glue::call_kw(rb.get(), argv + 1, 0, kw_ring);
    if (!queue || bind(m, "event_queue", queue.get()) < 0) return -1;
    for (auto [name, slot] : {std::pair{"history_bar", &bridge.history_bar}, std::pair{"history_tick", &bridge.history_tick},
                              std::pair{"orders_dict", &bridge.orders_dict},
                              std::pair{"algo_parent_orders", &bridge.algo_parent_orders},
                              std::pair{"algo_child_orders", &bridge.algo_child_orders},
                              std::pair{"algo_child_trades", &bridge.algo_child_trades}})
        if (new_dict(m, name, slot) < 0) return -1;
    return 0;
}

int fill_module(PyObject* m) {
    bridge.module_name = PyObject_GetAttrString(m, "__name__");
    if (!bridge.module_name || bridge.ns.init(m) < 0) return -1;
    if (bind_imports(m) < 0 || create_state(m) < 0) return -1;
    if (define_query_functions(m) < 0 || define_stats_functions(m) < 0 || latency::define_functions(m) < 0 || define_recording_functions(m) < 0 ||
        define_strategy_class(m) < 0)
        return -1;
    return 0;
}

PyObject* first_dict = nullptr;
int exec_module(PyObject* m) { return glue::exec_once(m, first_dict, fill_module); }

PyModuleDef_Slot ferrule_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_module)}, GLUE_MODULE_SLOTS {0, nullptr}};
PyModuleDef ferrule_def = {PyModuleDef_HEAD_INIT, "ferrule", nullptr, 0, nullptr, ferrule_slots, nullptr, nullptr, nullptr};

}  // namespace

}  // namespace ferrule

PyMODINIT_FUNC PyInit_ferrule() { return PyModuleDef_Init(&ferrule::ferrule_def); }
