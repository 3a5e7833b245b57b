// The trading-day clock: before-trading, open-auction and after-trading events
// armed on the gateway's timer service from the local wall-clock time, and a
// run of set_timer re-armed for 08:00 every morning. The current time comes
// from the module's `datetime` and `np`, so the engine or a test can replace
// the clock.
#include <Python.h>

#include "ferrule/callbacks.hpp"
#include "ferrule/engine.hpp"
#include "ferrule/publish.hpp"
#include "ferrule/shapes.hpp"
#include "ferrule/state.hpp"

namespace ferrule {

namespace {

using glue::Name;
using glue::Ref;

Global gl_datetime{"datetime"};
Name k_time{"time"};
Global gl_time{"time"};
Global gl_timedelta{"timedelta"};
Global gl_np{"np"};
Name k_datetime64{"datetime64"};
Name k_today{"today"};
Name k_D{"D"};
Name k_now{"now"};
Name k_replace{"replace"};
Name k_total_seconds{"total_seconds"};
Name k_config{"config"};
Name k_base{"base"};
Name k_context{"context"};
Name k_add_timer_interval{"add_timer_interval"};
Name k_create_time_listener{"create_time_listener"};
Name k_send_day_event{"send_day_event"};
Name k_send_before_trading_event{"send_before_trading_event"};
Name k_send_open_auction_event{"send_open_auction_event"};
Name k_send_after_trading_event{"send_after_trading_event"};
Name k_set_timer{"set_timer"};
Name k_not_trade_day{" not trade day... "};
glue::KwNames kw_day_event{"calendar_dt", "trading_dt"};
glue::KwNames kw_hms{"hour", "minute", "second", "microsecond"};
glue::KwNames kw_days{"days"};

constexpr long long kLateBeforeTradingNs = 3000000000LL;
constexpr long long kLateAfterTradingNs = 20000000000LL;

Ref py_int(long long v) { return Ref::steal(PyLong_FromLongLong(v)); }

// datetime.now(), through the module's `datetime`.
Ref now() {
    return gl_datetime.call_method(k_now);
}

// dt.replace(hour=h, minute=m, second=0, microsecond=0)
Ref at_time_of_day(PyObject* dt, int hour, int minute) {
    Ref replace = glue::getattr(dt, k_replace);
    if (!replace) return Ref();
    Ref h = py_int(hour), m = py_int(minute), zero = py_int(0);
    if (!h || !m || !zero) return Ref();
    PyObject* argv[] = {nullptr, h.get(), m.get(), zero.get(), zero.get()};
    return glue::call_kw(replace.get(), argv + 1, 0, kw_hms);
}

// time(h, m), through the module's `time`.
Ref time_of_day(int hour, int minute) {
    Ref time_type = gl_time.get();
    if (!time_type) return Ref();
    Ref h = py_int(hour), m = py_int(minute);
    return h && m ? glue::call(time_type.get(), h.get(), m.get()) : Ref();
}

// int(delta.total_seconds() * 1000000000): seconds with microsecond
// resolution, scaled and truncated toward zero, as the gateway wants them.
Ref to_interval_ns(PyObject* delta) {
    Ref secs = glue::call_method(delta, k_total_seconds);
    if (!secs) return Ref();
    Ref scale = py_int(1000000000);
    if (!scale) return Ref();
    Ref ns = Ref::steal(PyNumber_Multiply(secs.get(), scale.get()));
    return ns ? Ref::steal(PyNumber_Long(ns.get())) : Ref();
}

// (today at hour:minute) - now, in nanoseconds.
Ref interval_until(PyObject* now_dt, int hour, int minute) {
    Ref target = at_time_of_day(now_dt, hour, minute);
    if (!target) return Ref();
    Ref delta = Ref::steal(PyNumber_Subtract(target.get(), now_dt));
    return delta ? to_interval_ns(delta.get()) : Ref();
}

// 1 if current_time < hour:minute, 0 if not, -1 on error.
int earlier_than(PyObject* current_time, int hour, int minute) {
    Ref limit = time_of_day(hour, minute);
    return limit ? PyObject_RichCompareBool(current_time, limit.get(), Py_LT) : -1;
}

// self.context.add_timer_interval(interval_ns, self.<callback>)
int arm(PyObject* self, PyObject* interval_ns, PyObject* callback_name) {
    Ref callback = glue::getattr(self, callback_name);
    if (!callback) return -1;
    Ref context = glue::getattr(self, k_context);
    if (!context) return -1;
    return glue::call_method_void(context.get(), k_add_timer_interval, interval_ns, callback.get());
}

// Arms one day event: the interval to hour:minute before it, or the late delay.
int arm_day_timer(PyObject* self, PyObject* now_dt, int before, int hour, int minute, long long late_ns,
                  PyObject* callback_name) {
    Ref interval = before ? interval_until(now_dt, hour, minute) : py_int(late_ns);
    return interval ? arm(self, interval.get(), callback_name) : -1;
}

// set_timer's own re-arming: the next run at 08:00 of the next calendar day.
int arm_next_morning(PyObject* self) {
    Ref first = now();
    if (!first) return -1;
    Ref eight = at_time_of_day(first.get(), 8, 0);
    if (!eight) return -1;
    Ref td_type = gl_timedelta.get();
    if (!td_type) return -1;
    Ref one = py_int(1);
    if (!one) return -1;
    PyObject* argv[] = {nullptr, one.get()};
    Ref one_day = glue::call_kw(td_type.get(), argv + 1, 0, kw_days);
    if (!one_day) return -1;
    Ref tomorrow_8am = Ref::steal(PyNumber_Add(eight.get(), one_day.get()));
    if (!tomorrow_8am) return -1;
    Ref second = now();
    if (!second) return -1;
    Ref diff = Ref::steal(PyNumber_Subtract(tomorrow_8am.get(), second.get()));
    if (!diff) return -1;
    Ref interval = to_interval_ns(diff.get());
    return interval ? arm(self, interval.get(), k_set_timer) : -1;
}

// Publishes one day event of the given EVENT member at the current time.
PyObject* send_now(PyObject* self, EventKind kind) {
    Ref type = event_type(kind);
    if (!type) return nullptr;
    Ref dt = now();
    if (!dt) return nullptr;
    Ref r = glue::call_method(self, k_send_day_event, type.get(), dt.get());
    return r ? Py_NewRef(Py_None) : nullptr;
}

}  // namespace

PyObject* set_timer(PyObject* const* a) {
    PyObject* self = a[0];
    int listened = glue::call_method_void(self, k_create_time_listener);
    // A failing listener must not end the daily chain: the next morning's run
    // is armed first, then the listener's error goes on unchanged.
    glue::PendingError pending;
    if (arm_next_morning(self) < 0) {
        pending.chain_into_current();
        return nullptr;
    }
    if (listened < 0) {
        pending.restore();
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* create_time_listener(PyObject* const* a) {
    PyObject* self = a[0];
    Ref current_date = gl_np.call_method(k_datetime64, k_today.get(), k_D.get());
    if (!current_date) return nullptr;
    Ref config = glue::getattr(self, k_config);
    if (!config) return nullptr;
    Ref base = glue::getattr(config.get(), k_base);
    if (!base) return nullptr;
    Ref calendar = shapes::config_base.field(base.get(), ConfigBase::trading_calendar);
    if (!calendar) return nullptr;
    int trading = PySequence_Contains(calendar.get(), current_date.get());
    if (trading < 0) return nullptr;
    if (!trading) {
        Ref day = Ref::steal(PyObject_Str(current_date.get()));
        if (!day) return nullptr;
        Ref cal = Ref::steal(PyObject_Str(calendar.get()));
        if (!cal) return nullptr;
        Ref line = Ref::steal(PyUnicode_FromFormat("%U%U%U", day.get(), k_not_trade_day.get(), cal.get()));
        if (!line || log_info(line.get()) < 0) return nullptr;
        Py_RETURN_NONE;
    }
    Ref now_dt = now();
    if (!now_dt) return nullptr;
    Ref current_time = glue::call_method(now_dt.get(), k_time);
    if (!current_time) return nullptr;

    int before = earlier_than(current_time.get(), 9, 0);
    if (before < 0 ||
        arm_day_timer(self, now_dt.get(), before, 9, 0, kLateBeforeTradingNs, k_send_before_trading_event) < 0)
        return nullptr;
    int auction = earlier_than(current_time.get(), 9, 27);
    if (auction < 0) return nullptr;
    if (auction) {
        Ref interval = interval_until(now_dt.get(), 9, 24);
        if (!interval || arm(self, interval.get(), k_send_open_auction_event) < 0) return nullptr;
    }
    int before_close = earlier_than(current_time.get(), 15, 30);
    if (before_close < 0 || arm_day_timer(self, now_dt.get(), before_close, 15, 30, kLateAfterTradingNs,
                                          k_send_after_trading_event) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* send_day_event(PyObject* const* a) {
    PyObject* event_type = a[1];
    PyObject* dt = a[2];
    EventCall event(event_type);
    if (!event || event.publish({dt, dt}, kw_day_event) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* send_before_trading_event(PyObject* const* a) { return send_now(a[0], EventKind::BEFORE_TRADING); }

PyObject* send_open_auction_event(PyObject* const* a) { return send_now(a[0], EventKind::OPEN_AUCTION); }

PyObject* send_after_trading_event(PyObject* const* a) {
    PyObject* r = send_now(a[0], EventKind::AFTER_TRADING);
    if (r) PyDict_Clear(bridge.orders_dict);
    return r;
}

}  // namespace ferrule
