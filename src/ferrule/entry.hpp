// The one door every method of VelaStrategy goes through: the gateway's
// callbacks, its timers and the engine's start-up calls. Here each call is
// counted, failures are counted (the exception goes on unchanged), and a
// recorder, when one is on, sees the call before it runs.
#pragma once
#include <Python.h>

#include <cstddef>

#include "glue/function.hpp"

namespace ferrule {

#define FERRULE_CALLBACKS(X)                                                                                    \
    X(initialize) X(on_initialize) X(on_switch_day)                                                             \
    X(on_snapshot) X(on_tick_order) X(on_tick_trade) X(on_bar)                                                  \
    X(on_login) X(on_query_asset) X(on_query_position)                                                          \
    X(on_order) X(on_trade) X(on_order_action_error)                                                            \
    X(on_algo_login) X(on_create_algo_parent_order_res) X(on_cancel_algo_parent_order_res)                      \
    X(on_control_algo_parent_order_res) X(on_algo_parent_order_update) X(on_algo_child_order_update)            \
    X(on_algo_child_order_trade)                                                                                \
    X(create_time_listener) X(send_day_event) X(send_before_trading_event) X(send_after_trading_event)          \
    X(send_open_auction_event) X(set_timer)

enum class Callback : unsigned char {
#define FERRULE_ENUM(name) name,
    FERRULE_CALLBACKS(FERRULE_ENUM)
#undef FERRULE_ENUM
};
#define FERRULE_COUNT(name) +1
constexpr std::size_t kCallbacks = 0 FERRULE_CALLBACKS(FERRULE_COUNT);
#undef FERRULE_COUNT

// The method's name ("on_snapshot"), interned.
PyObject* callback_name(Callback c);

struct CallCounts {
    unsigned long long calls[kCallbacks] = {};
    unsigned long long failures[kCallbacks] = {};
};
extern CallCounts call_counts;

// Sees every call on its way in, with the method's arguments (args[0] is the
// instance); `nested` when the call comes from inside another method (a timer
// arming the next one), which replaying the outer call repeats by itself.
// It must leave no exception set: what it cannot do is its own concern.
using EntryObserver = void (*)(Callback c, PyObject* const* args, bool nested);
void set_entry_observer(EntryObserver observer) noexcept;

PyObject* enter(Callback c, glue::Impl impl, PyObject* const* args);

// The Impl that the class body lists for method `c`.
template <Callback c, glue::Impl impl>
PyObject* entered(PyObject* const* args) {
    return enter(c, impl, args);
}

}  // namespace ferrule
