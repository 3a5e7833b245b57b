// The methods of VelaStrategy, one glue::Impl each (args[0] is the instance),
// grouped by the file that implements them. The class body itself (names,
// parameters, order) is in strategy.cpp.
#pragma once
#include <Python.h>

namespace ferrule {

// strategy.cpp: construction and start-up
PyObject* init(PyObject* const* a);
PyObject* initialize(PyObject* const* a);
PyObject* on_initialize(PyObject* const* a);
PyObject* on_switch_day(PyObject* const* a);

// market_data.cpp
PyObject* on_snapshot(PyObject* const* a);
PyObject* on_tick_order(PyObject* const* a);
PyObject* on_tick_trade(PyObject* const* a);
PyObject* on_bar(PyObject* const* a);

// account.cpp
PyObject* on_login(PyObject* const* a);
PyObject* on_query_asset(PyObject* const* a);
PyObject* on_query_position(PyObject* const* a);

// orders.cpp
PyObject* on_order(PyObject* const* a);
PyObject* on_trade(PyObject* const* a);
PyObject* on_order_action_error(PyObject* const* a);

// algo.cpp
PyObject* on_algo_login(PyObject* const* a);
PyObject* on_create_algo_parent_order_res(PyObject* const* a);
PyObject* on_cancel_algo_parent_order_res(PyObject* const* a);
PyObject* on_control_algo_parent_order_res(PyObject* const* a);
PyObject* on_algo_parent_order_update(PyObject* const* a);
PyObject* on_algo_child_order_update(PyObject* const* a);
PyObject* on_algo_child_order_trade(PyObject* const* a);

// clock.cpp
PyObject* create_time_listener(PyObject* const* a);
PyObject* send_day_event(PyObject* const* a);
PyObject* send_before_trading_event(PyObject* const* a);
PyObject* send_after_trading_event(PyObject* const* a);
PyObject* send_open_auction_event(PyObject* const* a);
PyObject* set_timer(PyObject* const* a);

}  // namespace ferrule
