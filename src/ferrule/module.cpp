// Loading ferrule: bind the engine's names, the gateway SDK, the ring buffer,
// numpy and the date-time types; create the shared state; define the query
// functions and VelaStrategy.
#include <Python.h>

#include "ferrule/query.hpp"
#include "ferrule/state.hpp"
#include "ferrule/stats.hpp"
#include "glue/module.hpp"

namespace ferrule {

State g;

namespace {

Global gl_RB{"RB"};
glue::Name k_info{"info"};
glue::Name k_deepcopy{"deepcopy"};
Global gl_system_log{"system_log"};
Global gl_copy{"copy"};
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

bool bind(PyObject* m, const char* as, PyObject* value) { return PyModule_AddObjectRef(m, as, value) == 0; }

bool from_import(PyObject* m, const char* module, const char* name, const char* as) {
    glue::Ref mod = glue::import(module);
    if (!mod) return false;
    glue::Ref v = glue::import_from(mod.get(), name);
    return v && bind(m, as ? as : name, v.get());
}

// `from pyvela.enums import *`: __all__ when the module has one, else every
// name without a leading underscore.
bool star_import(PyObject* m, const char* module) {
    glue::Ref mod = glue::import(module);
    if (!mod) return false;
    glue::Ref all = glue::getattr(mod.get(), k_all);
    if (all) {
        glue::Ref it = glue::Ref::steal(PyObject_GetIter(all.get()));
        if (!it) return false;
        while (glue::Ref name = glue::Ref::steal(PyIter_Next(it.get()))) {
            glue::Ref v = glue::getattr(mod.get(), name.get());
            if (!v || PyObject_SetAttr(m, name.get(), v.get()) < 0) return false;
        }
        return !PyErr_Occurred();
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    PyObject* d = PyModule_GetDict(mod.get());  // borrowed
    glue::Ref items = glue::Ref::steal(PyDict_Items(d));
    if (!items) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* kv = PyList_GET_ITEM(items.get(), i);
        PyObject* key = PyTuple_GET_ITEM(kv, 0);
        if (PyUnicode_Check(key) && PyUnicode_GET_LENGTH(key) > 0 && PyUnicode_READ_CHAR(key, 0) == '_') continue;
        if (PyObject_SetAttr(m, key, PyTuple_GET_ITEM(kv, 1)) < 0) return false;
    }
    return true;
}

bool bind_imports(PyObject* m) {
    for (const FromImport& imp : kEngineImports)
        for (const char* name : imp.names)
            if (name && !from_import(m, imp.module, name, nullptr)) return false;
    glue::Ref strategy = glue::import("pyvela.strategy");
    if (!strategy || !bind(m, "strategy", strategy.get())) return false;
    if (!star_import(m, "pyvela.enums")) return false;
    if (!from_import(m, "numpy_ringbuffer", "RingBuffer", "RB")) return false;
    glue::Ref np = glue::import("numpy");
    if (!np || !bind(m, "np", np.get())) return false;
    if (!from_import(m, "collections", "deque", nullptr)) return false;
    for (const char* name : {"datetime", "date", "time", "timedelta"})
        if (!from_import(m, "datetime", name, nullptr)) return false;
    glue::Ref copy = glue::import("copy");
    return copy && bind(m, "copy", copy.get());
}

// A new empty dict bound in the module and kept in *slot.
bool new_dict(PyObject* m, const char* name, PyObject** slot) {
    PyObject* d = PyDict_New();
    if (!d) return false;
    *slot = d;
    return bind(m, name, d);
}

bool create_state(PyObject* m) {
    if (!new_dict(m, "vela_params", &g.vela_params)) return false;
    if (!(g.published_fills = PyDict_New())) return false;
    glue::Ref rb = gl_RB.get();
    if (!rb) return false;
    glue::Ref capacity = glue::Ref::steal(PyLong_FromLong(kEventQueueCapacity));
    if (!capacity) return false;
    PyObject* argv[] = {nullptr, capacity.get(), reinterpret_cast<PyObject*>(&PyBaseObject_Type)};
    glue::Ref queue = glue::call_kw(rb.get(), argv + 1, 0, kw_ring);
    if (!queue || !bind(m, "event_queue", queue.get())) return false;
    return new_dict(m, "history_bar", &g.history_bar) && new_dict(m, "history_tick", &g.history_tick) &&
           new_dict(m, "orders_dict", &g.orders_dict) &&
           new_dict(m, "algo_parent_orders", &g.algo_parent_orders) &&
           new_dict(m, "algo_child_orders", &g.algo_child_orders) &&
           new_dict(m, "algo_child_trades", &g.algo_child_trades);
}

PyModuleDef ferrule_def = {PyModuleDef_HEAD_INIT, "ferrule", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr};

PyObject* init_module() {
    if (!glue::init_runtime()) return nullptr;
    glue::Ref m = glue::Ref::steal(PyModule_Create(&ferrule_def));
    if (!m) return nullptr;
    g.module_name = PyObject_GetAttrString(m.get(), "__name__");
    if (!g.module_name || !g.ns.init(m.get())) return nullptr;
    if (!bind_imports(m.get()) || !create_state(m.get())) return nullptr;
    if (!define_query_functions(m.get()) || !define_stats_functions(m.get()) || !define_strategy_class(m.get()))
        return nullptr;
    return m.release();
}

}  // namespace

int log_info(PyObject* text) { return gl_system_log.call_method(k_info, text) ? 0 : -1; }

glue::Ref deepcopy(PyObject* obj) { return gl_copy.call_method(k_deepcopy, obj); }

}  // namespace ferrule

PyMODINIT_FUNC PyInit_ferrule() { return ferrule::init_module(); }
