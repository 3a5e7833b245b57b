// Module state of ferrule: the containers shared by the callbacks, the query
// functions and the engine. Created once at load and never rebound, so the
// C++ keeps direct (strong) references to them; everything else the code uses
// (engine classes and functions, the gateway enums, np, deque, datetime, ...)
// is looked up in the module namespace when it runs.
#pragma once
#include <Python.h>

#include <cstddef>
#include <initializer_list>

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
inline glue::Ref global_attr(PyObject* owner, PyObject* attr) { return g.ns.get_attr(owner, attr); }

// system_log.info(text)
int log_info(PyObject* text);

// Appends an event to event_queue (the queue's own `append`).
int publish(PyObject* event);

// Creates VelaStrategy in the module namespace.
bool define_strategy_class(PyObject* module);

namespace detail {
inline glue::Name k_Event{"Event"};
inline glue::Name k_EVENT{"EVENT"};
inline glue::Name k_copy{"copy"};
inline glue::Name k_deepcopy{"deepcopy"};
}  // namespace detail

// event_queue.append(Event(EVENT.<member>, **payload)) in the order Python
// evaluates it: `Event` and the member are looked up on construction, before
// the caller reads the payload values and hands them to publish().
class EventCall {
public:
    explicit EventCall(PyObject* member) : cls_(global(detail::k_Event)) {
        if (cls_) type_ = global_attr(detail::k_EVENT, member);
    }
    explicit operator bool() const noexcept { return static_cast<bool>(type_); }
    // One borrowed value per name of kw, in its order. 0, or -1 with the error set.
    int publish(PyObject* const* values, std::size_t n, const glue::KwNames& kw) const {
        if (n != kw.size()) {
            PyErr_SetString(PyExc_SystemError, "EventCall: payload does not match its names");
            return -1;
        }
        PyObject* argv[2 + glue::KwNames::kMax] = {nullptr, type_.get()};
        for (std::size_t i = 0; i < n; ++i) argv[2 + i] = values[i];
        glue::Ref event = glue::call_kw(cls_.get(), argv + 1, 1, kw);
        return event ? ferrule::publish(event.get()) : -1;
    }
    int publish(std::initializer_list<PyObject*> values, const glue::KwNames& kw) const {
        return publish(values.begin(), values.size(), kw);
    }

private:
    glue::Ref cls_, type_;
};

// copy.deepcopy(obj), through the module's `copy`.
inline glue::Ref deepcopy(PyObject* obj) {
    glue::Ref copy = global(detail::k_copy);
    return copy ? glue::call_method(copy.get(), detail::k_deepcopy, obj) : glue::Ref();
}

}  // namespace ferrule
