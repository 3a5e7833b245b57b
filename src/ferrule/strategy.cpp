// VelaStrategy: the class body, construction, start-up and the day switch.
#include <Python.h>

#include "ferrule/callbacks.hpp"
#include "ferrule/claims.hpp"
#include "ferrule/engine.hpp"
#include "ferrule/publish.hpp"
#include "ferrule/shapes.hpp"
#include "ferrule/state.hpp"
#include "glue/function.hpp"
#include "glue/threads.hpp"

namespace ferrule {

namespace {

using glue::Name;
using glue::Ref;

Name k_init{"__init__"};
Name k_prepare{"__prepare__"};
Name k_module{"__module__"};
Name k_qualname{"__qualname__"};
Global gl_strategy{"strategy"};
Name k_VelaStrategy{"VelaStrategy"};
Global gl_datetime{"datetime"};
Name k_now{"now"};
Name k_date{"date"};
Name k_logged_in{"logged_in"};
Name k_order_num{"order_num"};
Name k_bar_cnt{"bar_cnt"};
Name k_current_trade_dt{"current_trade_dt"};
Name k_first_dt{"first_dt"};
Name k_config{"config"};
Name k_base{"base"};
Name k_context{"context"};
Name k_items{"items"};
Name k_split{"split"};
Name k_upper{"upper"};
Global gl_MDType{"MDType"};
Name k_VeMD{"VeMD"};
Name k_AMD{"AMD"};
Global gl_MarketType{"MarketType"};
Name k_SZSE{"SZSE"};
Global gl_SubscribeDataType{"SubscribeDataType"};
Name k_Bar{"Bar"};
Global gl_AlgoType{"AlgoType"};
Name k_ATX{"ATX"};
Global gl_get_vela_tdtype{"get_vela_tdtype"};
Name k_add_md_broker{"add_md_broker"};
Name k_set_order_way{"set_order_way"};
Name k_add_td_broker{"add_td_broker"};
Name k_add_algo_broker{"add_algo_broker"};
Name k_subscribe{"subscribe"};
Name k_set_timer{"set_timer"};
Name k_vela_md{"vela_md"};
Name k_vela_td{"vela_td"};
Name k_vela_context{"vela_context"};
Name k_underscore{"_"};
Name k_1m{"1m"};
Name k_initialize_log{"VelaStrategy initialize..."};

// value.split("_") unpacked into exactly two parts; the second, upper-cased.
Ref gateway_part(PyObject* value) {
    Ref parts = glue::call_method(value, k_split, k_underscore.get());
    if (!parts) return Ref();
    Ref first, second;
    if (glue::unpack2(parts.get(), &first, &second) < 0) return Ref();
    return glue::call_method(second.get(), k_upper);
}

// The market-data gateway, VeMD only for exactly "VeMD".
int register_md_broker(PyObject* base, PyObject* context) {
    Ref md_type;
    int has = shapes::config_base.lookup(base, ConfigBase::md_type, &md_type);
    if (has < 0) return -1;
    int vemd = has ? glue::eq(md_type.get(), k_VeMD) : 0;
    if (vemd < 0) return -1;
    Ref md = gl_MDType.attr(vemd ? k_VeMD : k_AMD);
    if (!md || glue::call_method_void(context, k_add_md_broker, md.get()) < 0) return -1;
    return PyDict_SetItem(bridge.vela_params, k_vela_md, md.get());
}

// One trading gateway per account entry; "vela_td" keeps the last.
int register_td_brokers(PyObject* base, PyObject* context) {
    Ref accounts = shapes::config_base.field(base, ConfigBase::accounts);
    if (!accounts) return -1;
    Ref items = glue::call_method(accounts.get(), k_items);
    if (!items) return -1;
    Ref it = Ref::steal(PyObject_GetIter(items.get()));
    if (!it) return -1;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        Ref key, value;
        if (glue::unpack2(item.get(), &key, &value) < 0) return -1;
        Ref td_text = gateway_part(value.get());
        if (!td_text) return -1;
        Ref get_td = gl_get_vela_tdtype.get();
        if (!get_td) return -1;
        Ref td = glue::call(get_td.get(), td_text.get());
        if (!td || glue::call_method_void(context, k_add_td_broker, td.get()) < 0) return -1;
        get_td = gl_get_vela_tdtype.get();
        if (!get_td) return -1;
        td = glue::call(get_td.get(), td_text.get());
        if (!td || PyDict_SetItem(bridge.vela_params, k_vela_td, td.get()) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// The algorithmic-order gateway, only for an "ATX" account.
int register_algo_broker(PyObject* base, PyObject* context) {
    Ref algo_account;
    int has = shapes::config_base.lookup(base, ConfigBase::algo_account, &algo_account);
    if (has <= 0 || algo_account.get() == Py_None) return has < 0 ? -1 : 0;
    Ref part = gateway_part(algo_account.get());
    if (!part) return -1;
    int atx = glue::eq(part.get(), k_ATX);
    if (atx <= 0) return atx;
    Ref algo = gl_AlgoType.attr(k_ATX);
    return algo ? glue::call_method_void(context, k_add_algo_broker, algo.get()) : -1;
}

// One-minute bars of the chosen market-data type.
int subscribe_bars(PyObject* context) {
    Ref md_ref;
    int got = glue::dict_get(bridge.vela_params, k_vela_md, &md_ref);
    if (got <= 0) {
        if (got == 0) PyErr_SetObject(PyExc_KeyError, k_vela_md);
        return -1;
    }
    Ref market = gl_MarketType.attr(k_SZSE);
    if (!market) return -1;
    Ref data_type = gl_SubscribeDataType.attr(k_Bar);
    if (!data_type) return -1;
    Ref codes = Ref::steal(PyList_New(0));
    if (!codes) return -1;
    return glue::call_method_void(context, k_subscribe, md_ref.get(), market.get(), data_type.get(), codes.get(),
                                  k_1m.get());
}

PyObject* init(PyObject* const* a) {
    PyObject* self = a[0];
    Ref super = glue::call(reinterpret_cast<PyObject*>(&PySuper_Type), bridge.strategy_class, self);
    if (!super || glue::call_method_void(super.get(), k_init) < 0) return nullptr;
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return nullptr;
    if (PyObject_SetAttr(self, k_logged_in, Py_False) < 0 || PyObject_SetAttr(self, k_order_num, zero.get()) < 0 ||
        PyObject_SetAttr(self, k_bar_cnt, zero.get()) < 0 ||
        PyObject_SetAttr(self, k_current_trade_dt, zero.get()) < 0)
        return nullptr;
    Ref now = gl_datetime.call_method(k_now);
    if (!now) return nullptr;
    Ref today = glue::call_method(now.get(), k_date);
    if (!today || PyObject_SetAttr(self, k_first_dt, today.get()) < 0) return nullptr;
    PyObject* config = a[1];
    if (PyObject_SetAttr(self, k_config, config) < 0) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace

PyObject* initialize(PyObject* const* a) {
    PyObject* self = a[0];  // the config argument is not used: the constructor kept it
    if (log_info(k_initialize_log) < 0) return nullptr;
    Ref config = glue::getattr(self, k_config);
    if (!config) return nullptr;
    Ref base = glue::getattr(config.get(), k_base);
    if (!base) return nullptr;
    Ref context = glue::getattr(self, k_context);
    if (!context) return nullptr;
    if (register_md_broker(base.get(), context.get()) < 0) return nullptr;
    Ref order_way;
    int has = shapes::config_base.lookup(base.get(), ConfigBase::order_way, &order_way);
    if (has < 0) return nullptr;
    if (has && glue::call_method_void(context.get(), k_set_order_way, order_way.get()) < 0) return nullptr;
    if (register_td_brokers(base.get(), context.get()) < 0) return nullptr;
    if (register_algo_broker(base.get(), context.get()) < 0) return nullptr;
    if (PyDict_SetItem(bridge.vela_params, k_vela_context, context.get()) < 0) return nullptr;
    if (subscribe_bars(context.get()) < 0) return nullptr;
    if (glue::call_method_void(self, k_set_timer) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* on_initialize(PyObject* const*) { Py_RETURN_NONE; }

PyObject* on_switch_day(PyObject* const*) {
    for (PyObject* d : {bridge.orders_dict, bridge.history_bar, bridge.history_tick, bridge.algo_parent_orders, bridge.algo_child_orders,
                        bridge.algo_child_trades})
        PyDict_Clear(d);
    if (forget_claims() < 0) return nullptr;
    Py_RETURN_NONE;
}

namespace {

// The class body: __init__, then every callback in the order of their rows.
// __init__ is not entered through the one door: nothing counts or records it.
const glue::Signature kInit{"__init__", {"self", "config"}, 2, 2, init, nullptr};

int define_method(PyObject* ns, const glue::Signature& sig) {
    char qual[96];
    PyOS_snprintf(qual, sizeof qual, "VelaStrategy.%s", sig.name);
    Ref f = glue::make_function(sig, qual, bridge.module_name);
    Ref key = Ref::steal(PyUnicode_InternFromString(sig.name));
    return f && key ? PyObject_SetItem(ns, key.get(), f.get()) : -1;
}

}  // namespace

// class VelaStrategy(strategy.VelaStrategy): built as the interpreter builds a
// class statement, through the base's metaclass and its prepared namespace.
int define_strategy_class(PyObject* module) {
    Ref base = gl_strategy.attr(k_VelaStrategy);
    if (!base) return -1;
    Ref bases = Ref::steal(PyTuple_Pack(1, base.get()));
    if (!bases) return -1;
    PyObject* meta = reinterpret_cast<PyObject*>(Py_TYPE(base.get()));
    Ref prepare = glue::getattr(meta, k_prepare);
    if (!prepare) return -1;
    Ref ns = glue::call(prepare.get(), k_VelaStrategy.get(), bases.get());
    if (!ns) return -1;
    Ref qualname = Ref::steal(PyUnicode_FromString("VelaStrategy"));
    if (!qualname) return -1;
    if (PyObject_SetItem(ns.get(), k_module, bridge.module_name) < 0 ||
        PyObject_SetItem(ns.get(), k_qualname, qualname.get()) < 0)
        return -1;
    if (define_method(ns.get(), kInit) < 0) return -1;
    for (std::size_t i = 0; i < kCallbacks; ++i)
        if (define_method(ns.get(), callback_signature(static_cast<Callback>(i))) < 0) return -1;
    Ref cls = glue::call(meta, k_VelaStrategy.get(), bases.get(), ns.get());
    if (!cls || PyObject_SetAttr(module, k_VelaStrategy, cls.get()) < 0) return -1;
    bridge.strategy_class = cls.release();
    return 0;
}

}  // namespace ferrule
