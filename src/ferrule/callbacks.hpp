// Every method of VelaStrategy that the gateway, its timers or the engine
// call, one row each:
//   X(name, whether it reads the bridge's clock, its arguments)
// The implementation is the function of the same name, declared below. The
// class body (names, parameters, order), the entry counters and the
// recorder's schema are all made from these rows. The order is the class
// body's and a recording's callback numbers: rows are only ever added last.
//
// Arguments, in parameter order, as the recorder keeps them:
//  - value(p): parameter p, recorded as it is;
//  - message(p, shape) / messages(p, shape): parameter p, a gateway message
//    (or a list of them), recorded as the fields of its shape;
//  - config(p): parameter p, with self.config.base recorded in its place;
//  - self_config(): no parameter; self.config.base, recorded as "config".
#pragma once
#include <Python.h>

#include <cstddef>

#include "ferrule/shapes.hpp"
#include "glue/function.hpp"

namespace ferrule {

// clang-format off
#define FERRULE_CALLBACKS(X)                                                                                    \
    X(initialize, kClock, config("config"))                                                                     \
    X(on_initialize, kNoClock)                                                                                  \
    X(on_switch_day, kNoClock)                                                                                  \
    X(on_snapshot, kNoClock, message("snapshot", shapes::snapshot))                                             \
    X(on_tick_order, kNoClock, message("tick_order", shapes::tick_order))                                       \
    X(on_tick_trade, kNoClock, message("tick_trade", shapes::tick_trade))                                       \
    X(on_bar, kNoClock, message("bar", shapes::bar))                                                            \
    X(on_login, kNoClock, message("login_res", shapes::login_res))                                              \
    X(on_query_asset, kNoClock, message("asset_res", shapes::asset_res), value("request_id"), value("code"),    \
      value("msg"))                                                                                             \
    X(on_query_position, kNoClock, messages("query_position_res", shapes::position_entry), value("request_id"), \
      value("code"), value("msg"))                                                                              \
    X(on_order, kNoClock, message("order", shapes::order_report))                                               \
    X(on_trade, kNoClock, message("trade", shapes::trade_report))                                               \
    X(on_order_action_error, kNoClock, message("order_action_error", shapes::order_action_error))               \
    X(on_algo_login, kNoClock, message("algo_login_res", shapes::algo_login_res))                               \
    X(on_create_algo_parent_order_res, kNoClock, message("create_parent_order_res", shapes::create_parent_order_res)) \
    X(on_cancel_algo_parent_order_res, kNoClock, message("cancel_parent_order_res", shapes::cancel_parent_order_res)) \
    X(on_control_algo_parent_order_res, kNoClock,                                                               \
      message("control_parent_order_res", shapes::control_parent_order_res))                                    \
    X(on_algo_parent_order_update, kNoClock, message("parent_order", shapes::algo_parent_order))                \
    X(on_algo_child_order_update, kNoClock, message("child_order", shapes::algo_child_order))                   \
    X(on_algo_child_order_trade, kNoClock, message("child_trade", shapes::algo_child_trade))                    \
    X(create_time_listener, kClock, self_config())                                                              \
    X(send_day_event, kNoClock, value("event_type"), value("dt"))                                               \
    X(send_before_trading_event, kClock)                                                                        \
    X(send_after_trading_event, kClock)                                                                         \
    X(send_open_auction_event, kClock)                                                                          \
    X(set_timer, kClock, self_config())
// clang-format on

enum class Callback : unsigned char {
#define FERRULE_ENUM(name, ...) name,
    FERRULE_CALLBACKS(FERRULE_ENUM)
#undef FERRULE_ENUM
};
#define FERRULE_COUNT(name, ...) +1
constexpr std::size_t kCallbacks = 0 FERRULE_CALLBACKS(FERRULE_COUNT);
#undef FERRULE_COUNT

// The implementations, one glue::Impl each (args[0] is the instance).
#define FERRULE_DECLARE(name, ...) PyObject* name(PyObject* const* args);
FERRULE_CALLBACKS(FERRULE_DECLARE)
#undef FERRULE_DECLARE

namespace callbacks {

enum class Arg : unsigned char { Value, Message, Messages, Config };

struct ArgShape {
    const char* name = nullptr;  // nullptr: no argument
    Arg kind = Arg::Value;
    Shape* shape = nullptr;   // what is read from the message (or each message, or self.config.base)
    bool parameter = false;   // passed by the caller, at the next parameter position
};

constexpr int kMaxArgs = 4;
constexpr bool kClock = true;
constexpr bool kNoClock = false;

struct Row {
    const char* name;
    glue::Impl impl;  // entered through the one door (entry.hpp)
    bool clock;       // the recorder keeps datetime.now() as the module sees it
    ArgShape args[kMaxArgs] = {};
};

constexpr ArgShape value(const char* p) { return {p, Arg::Value, nullptr, true}; }
constexpr ArgShape message(const char* p, Shape& s) { return {p, Arg::Message, &s, true}; }
constexpr ArgShape messages(const char* p, Shape& s) { return {p, Arg::Messages, &s, true}; }
constexpr ArgShape config(const char* p) { return {p, Arg::Config, &shapes::config_base, true}; }
constexpr ArgShape self_config() { return {"config", Arg::Config, &shapes::config_base, false}; }

}  // namespace callbacks

const callbacks::Row& callback_row(Callback c);

// The method's name ("on_snapshot"), interned.
PyObject* callback_name(Callback c);

// The method as the class body lists it.
const glue::Signature& callback_signature(Callback c);

}  // namespace ferrule
