// Order reports. The engine's own order (filed in orders_dict by the engine)
// is brought in line with the gateway's status and cumulative fill, the
// latest match becomes an engine Trade unless it was published already, and
// every order event carries a deep copy of the order as it stands when that
// event is built.
#include <Python.h>

#include <cstddef>
#include <initializer_list>

#include "ferrule/callbacks.hpp"
#include "ferrule/claims.hpp"
#include "ferrule/engine.hpp"
#include "ferrule/factory.hpp"
#include "ferrule/publish.hpp"
#include "ferrule/shapes.hpp"
#include "ferrule/state.hpp"
#include "ferrule/stats.hpp"
#include "glue/attr_cache.hpp"
#include "glue/threads.hpp"

namespace ferrule {

namespace {

using glue::Name;
using glue::Ref;

// Engine order attributes and methods
Name k_market_code{"market_code"};
Name k_status{"status"};
Name k_secondary_order_id{"secondary_order_id"};
Name k_avg_price{"avg_price"};
Name k_filled_quantity{"filled_quantity"};
Name k_unfilled_quantity{"unfilled_quantity"};
Name k_set_frozen_cash{"set_frozen_cash"};
Name k_mark_rejected{"mark_rejected"};

Name k_order_id{"order_id"};
Name k_side{"side"};
Name k_position_effect{"position_effect"};
Name k_price{"price"};

// The engine's orders live as long as the order book keeps them: their own
// attributes are read and written in their __dict__.
enum { E_MARKET_CODE, E_STATUS, E_SECONDARY_ORDER_ID, E_AVG_PRICE, E_FILLED_QUANTITY, E_UNFILLED_QUANTITY,
       E_ORDER_ID, E_SIDE, E_POSITION_EFFECT, E_PRICE };
glue::AttrReader order_attrs{
    {&k_market_code, &k_status, &k_secondary_order_id, &k_avg_price, &k_filled_quantity, &k_unfilled_quantity,
     &k_order_id, &k_side, &k_position_effect, &k_price},
    glue::AttrReader::Objects::Kept};

// A report is handled among the engine's own work, which evicts this code
// from the instruction cache between reports: its reads share one copy of
// the reader's code rather than carry it inline at each.
[[gnu::noinline]] Ref report_field(PyObject* report, OrderReport f) { return shapes::order_report.field(report, f); }
[[gnu::noinline]] Ref order_attr(PyObject* engine_order, std::size_t i) { return order_attrs.get(engine_order, i); }

glue::AttrOf a_get_account{"get_account"};
Name k_from_create{"__from_create__"};
Factory trade_create{"Trade", k_from_create};
// Enumeration members, each remembered while its enumeration stays as it is.
using Member = glue::AttrOf;
Global gl_ORDER_STATUS{"ORDER_STATUS"};
Member a_ACTIVE{"ACTIVE"};
Member a_FILLED{"FILLED"};
Member a_PARTIALLY_FILLED{"PARTIALLY_FILLED"};
Member a_CANCELLED{"CANCELLED"};
Global gl_OrderStatusType{"OrderStatusType"};
Member a_UnSend{"UnSend"};
Member a_Sended{"Sended"};
Member a_PartiallyFilled{"PartiallyFilled"};
Member a_Filled{"Filled"};
Member a_PartiallyFilledPartiallyCancelled{"PartiallyFilledPartiallyCancelled"};
Member a_WaitCancelled{"WaitCancelled"};
Member a_PartiallyFilledWaitCancelled{"PartiallyFilledWaitCancelled"};
Member a_Cancelled{"Cancelled"};
Member a_Reject{"Reject"};
Name k_empty{""};
Name k_underscore{"_"};

glue::KwNames kw_order_event{"account", "order"};
glue::KwNames kw_trade_event{"account", "trade", "order"};
glue::KwNames kw_trade{"order_id", "price", "amount", "side", "position_effect", "market_code", "frozen_price"};

int above_zero(PyObject* v) {
    Ref zero = Ref::steal(PyLong_FromLong(0));
    return zero ? glue::compare(v, zero.get(), Py_GT) : -1;
}

// `status == OrderStatusType.X or status == OrderStatusType.Y ...`, in order.
int status_in(PyObject* status, std::initializer_list<Member*> members) {
    for (Member* member : members) {
        Ref m = gl_OrderStatusType.attr(*member);
        if (!m) return -1;
        int r = glue::eq(status, m.get());
        if (r != 0) return r;
    }
    return 0;
}

// engine_order.<attr> = ORDER_STATUS.<member>
int set_status(PyObject* engine_order, Member& member) {
    Ref status = gl_ORDER_STATUS.attr(member);
    return status ? order_attrs.set(engine_order, E_STATUS, status.get()) : -1;
}

// engine_order.set_frozen_cash(report.frozen_trade_value), the method looked up before the argument.
int set_frozen_cash(PyObject* engine_order, PyObject* report) {
    Ref m = glue::getattr(engine_order, k_set_frozen_cash);
    if (!m) return -1;
    Ref v = report_field(report, OrderReport::frozen_trade_value);
    if (!v) return -1;
    return glue::call(m.get(), v.get()) ? 0 : -1;
}

// The log line's literal pieces; each is followed by the text of the report
// field of the same index.
Name kLogPieces[kLoggedFields] = {
    Name{"on_order:"},     Name{", symbol: "},           Name{", price:"},     Name{", status:"},
    Name{", order_qty:"},  Name{", trade_qty:"},         Name{", total_trade_value: "}, Name{", error_msg:"},
    Name{", last_match_qty: "},
};

// One text, joined at once (as an f-string is) from the pieces and the
// attributes' default text forms.
int log_report(PyObject* report) {
    Ref parts = Ref::steal(PyTuple_New(2 * kLoggedFields));
    if (!parts) return -1;
    ShapeOf<OrderReport>::Run run(shapes::order_report, report);
    for (std::size_t i = 0; i < kLoggedFields; ++i) {
        Ref v = run.get(i);
        if (!v) return -1;
        // The text of a str, an int, a float or None is made without running
        // code; anything else's __format__ may change the report. An exact str
        // is its own text, as the f-string takes it; an exact float's or None's
        // __format__ with an empty format string is str(), made here without
        // looking the method up and calling it.
        PyObject* o = v.get();
        PyObject* text;
        if (PyUnicode_CheckExact(o)) {
            text = Py_NewRef(o);
        } else if (PyFloat_CheckExact(o) || o == Py_None) {
            text = PyObject_Str(o);
        } else {
            if (!PyLong_CheckExact(o)) run.release();
            text = PyObject_Format(o, k_empty);
        }
        if (!text) return -1;
        PyTuple_SET_ITEM(parts.get(), 2 * i, Py_NewRef(kLogPieces[i].get()));
        PyTuple_SET_ITEM(parts.get(), 2 * i + 1, text);
    }
    run.release();  // the log is called next
    Ref line = Ref::steal(PyUnicode_Join(k_empty, parts.get()));
    return line ? log_info(line.get()) : -1;
}

// The engine order filed under the message's client_order_id: 1 with *out
// set, 0 when the engine has none, -1 on error.
template <class F>
int find_order(ShapeOf<F>& shape, PyObject* message, Ref* out) {
    Ref key = shape.field(message, F::client_order_id);
    if (!key) return -1;
    // An int or a str is hashed and compared without running code: one lookup
    // is all that `in` and then [] come to.
    if (PyLong_CheckExact(key.get()) || PyUnicode_CheckExact(key.get())) {
        int found = glue::dict_get(bridge.orders_dict, key.get(), out);
        if (found == 0) ++bridge_counts.unknown_orders;
        return found;
    }
    int known = PyDict_Contains(bridge.orders_dict, key.get());
    if (known == 0) ++bridge_counts.unknown_orders;
    if (known <= 0) return known;
    *out = Ref::steal(PyObject_GetItem(bridge.orders_dict, key.get()));
    return *out ? 1 : -1;
}

// Environment.get_instance().get_account(engine_order.market_code)
Ref account_of(PyObject* engine_order) {
    Ref env = environment();
    if (!env) return Ref();
    glue::AttrOf::Method get_account = a_get_account.method(env.get());
    if (!get_account.fn) return Ref();
    Ref market_code = order_attr(engine_order, E_MARKET_CODE);
    return market_code ? get_account(market_code.get()) : Ref();
}

// Event(EVENT.<member>, account=account, order=copy.deepcopy(engine_order))
int publish_order_event(EventKind kind, PyObject* account, PyObject* engine_order) {
    EventCall event(kind);
    if (!event) return -1;
    Ref copy = deepcopy(engine_order);
    if (!copy) return -1;
    return event.publish({account, copy.get()}, kw_order_event);
}

// The order becomes ACTIVE, once the counter has numbered it.
int activate(PyObject* engine_order, PyObject* account) {
    Ref status = order_attr(engine_order, E_STATUS);
    if (!status) return -1;
    Ref active = gl_ORDER_STATUS.attr(a_ACTIVE);
    if (!active) return -1;
    int changed = glue::compare(status.get(), active.get(), Py_NE);
    if (changed <= 0) return changed;
    if (set_status(engine_order, a_ACTIVE) < 0) return -1;
    return publish_order_event(EventKind::ORDER_CREATION_PASS, account, engine_order);
}

// The gateway has the order (unsent or sent).
int accept(PyObject* report, PyObject* engine_order, PyObject* account) {
    Ref counter_id = report_field(report, OrderReport::counter_order_id);
    if (!counter_id) return -1;
    if (order_attrs.set(engine_order, E_SECONDARY_ORDER_ID, counter_id.get()) < 0) return -1;
    if (set_frozen_cash(engine_order, report) < 0) return -1;
    int numbered = PyObject_IsTrue(counter_id.get());
    if (numbered <= 0) return numbered;
    numbered = above_zero(counter_id.get());
    if (numbered <= 0) return numbered;
    AcceptClaim claim;
    int first = claim.take(engine_order);
    if (first <= 0) return first;
    if (activate(engine_order, account) < 0) {
        claim.give_back();
        return -1;
    }
    return 0;
}

// Trade.__from_create__(order_id=..., price=..., ...) for the latest match of `amount`.
Ref make_trade(PyObject* report, PyObject* engine_order, PyObject* amount) {
    auto order = [engine_order](std::size_t f) { return [engine_order, f] { return order_attr(engine_order, f); }; };
    auto price = [report] { return report_field(report, OrderReport::last_match_price); };
    return trade_create.call(&kw_trade, order(E_ORDER_ID), price, amount, order(E_SIDE), order(E_POSITION_EFFECT),
                             order(E_MARKET_CODE), order(E_PRICE));
}

// Takes over the gateway's cumulative figures for the order; `filled` is
// the report's trade_qty, read once for the repeat check and for these.
int take_cumulative(PyObject* report, PyObject* engine_order, PyObject* filled) {
    Ref value = report_field(report, OrderReport::total_trade_value);
    if (!value) return -1;
    Ref avg = Ref::steal(PyNumber_TrueDivide(value.get(), filled));
    if (!avg || order_attrs.set(engine_order, E_AVG_PRICE, avg.get()) < 0) return -1;
    if (order_attrs.set(engine_order, E_FILLED_QUANTITY, filled) < 0) return -1;
    Ref ordered = report_field(report, OrderReport::order_qty);
    if (!ordered) return -1;
    Ref unfilled = Ref::steal(PyNumber_Subtract(ordered.get(), filled));
    return unfilled ? order_attrs.set(engine_order, E_UNFILLED_QUANTITY, unfilled.get()) : -1;
}

// The trade, the cumulative figures, the status and the event of a match
// already judged: a repeat changes the figures and the status as any other
// report, but builds no Trade and publishes nothing.
int settle_fill(PyObject* report, PyObject* engine_order, PyObject* account, PyObject* status, PyObject* amount,
                PyObject* traded, bool is_new) {
    Ref trade;
    if (is_new && !(trade = make_trade(report, engine_order, amount))) return -1;
    if (take_cumulative(report, engine_order, traded) < 0) return -1;
    int r = status_in(status, {&a_Filled});
    if (r < 0 || (r && set_status(engine_order, a_FILLED) < 0)) return -1;
    if (!r) {
        r = status_in(status, {&a_PartiallyFilled});
        if (r < 0 || (r && set_status(engine_order, a_PARTIALLY_FILLED) < 0)) return -1;
    }
    if (!is_new) {
        ++bridge_counts.repeated_fills;
        return 0;
    }
    EventCall event(EventKind::TRADE);
    if (!event) return -1;
    Ref copy = deepcopy(engine_order);
    if (!copy) return -1;
    return event.publish({account, trade.get(), copy.get()}, kw_trade_event);
}

// A fill or a cancellation, first the fill: only a report whose latest match
// is above zero.
int apply_fill(PyObject* report, PyObject* engine_order, PyObject* account, PyObject* status) {
    Ref amount = report_field(report, OrderReport::last_match_qty);
    if (!amount) return -1;
    int filled = above_zero(amount.get());
    if (filled <= 0) return filled;
    Ref traded = report_field(report, OrderReport::trade_qty);
    if (!traded) return -1;
    FillClaim claim;
    int is_new = claim.take(engine_order, traded.get());
    if (is_new < 0) return -1;
    if (settle_fill(report, engine_order, account, status, amount.get(), traded.get(), is_new) < 0) {
        claim.give_back();
        return -1;
    }
    return 0;
}

// Then the cancellation, whether or not the report carried a fill.
int apply_cancellation(PyObject* engine_order, PyObject* account, PyObject* status) {
    int r = status_in(status, {&a_PartiallyFilledPartiallyCancelled, &a_Cancelled});
    if (r < 0) return -1;
    if (r) {
        if (set_status(engine_order, a_CANCELLED) < 0) return -1;
        return publish_order_event(EventKind::ORDER_CANCELLATION_PASS, account, engine_order);
    }
    r = status_in(status, {&a_PartiallyFilledWaitCancelled, &a_WaitCancelled});
    if (r <= 0) return r;
    Ref filled = order_attr(engine_order, E_FILLED_QUANTITY);
    if (!filled) return -1;
    r = above_zero(filled.get());
    if (r < 0 || (r && set_status(engine_order, a_PARTIALLY_FILLED) < 0)) return -1;
    return publish_order_event(EventKind::ORDER_PENDING_CANCEL, account, engine_order);
}

// A rejection: str(error_code) + "_" + error_msg, with Python's `+`, so a
// message that is not text raises the interpreter's TypeError.
int reject(PyObject* report, PyObject* engine_order, PyObject* account) {
    Ref mark = glue::getattr(engine_order, k_mark_rejected);
    if (!mark) return -1;
    Ref code = report_field(report, OrderReport::error_code);
    if (!code) return -1;
    Ref code_text = Ref::steal(PyObject_Str(code.get()));
    if (!code_text) return -1;
    Ref head = Ref::steal(PyNumber_Add(code_text.get(), k_underscore));
    if (!head) return -1;
    Ref msg = report_field(report, OrderReport::error_msg);
    if (!msg) return -1;
    Ref reason = Ref::steal(PyNumber_Add(head.get(), msg.get()));
    if (!reason || !glue::call(mark.get(), reason.get())) return -1;
    if (set_frozen_cash(engine_order, report) < 0) return -1;
    return publish_order_event(EventKind::ORDER_UNSOLICITED_UPDATE, account, engine_order);
}

// The handling of the first group of statuses the report's status equals, tested in order.
int dispatch(PyObject* report, PyObject* engine_order, PyObject* account) {
    Ref status = report_field(report, OrderReport::order_status);
    if (!status) return -1;
    int r = status_in(status.get(), {&a_UnSend, &a_Sended});
    if (r) return r < 0 ? -1 : accept(report, engine_order, account);
    r = status_in(status.get(), {&a_PartiallyFilled, &a_Filled, &a_PartiallyFilledPartiallyCancelled, &a_WaitCancelled,
                                 &a_PartiallyFilledWaitCancelled, &a_Cancelled});
    if (r) {
        if (r < 0 || apply_fill(report, engine_order, account, status.get()) < 0) return -1;
        return apply_cancellation(engine_order, account, status.get());
    }
    r = status_in(status.get(), {&a_Reject});
    if (r) return r < 0 ? -1 : reject(report, engine_order, account);
    return 0;
}

}  // namespace

PyObject* on_order(PyObject* const* a) {
    PyObject* report = a[1];
    if (log_report(report) < 0) return nullptr;
    Ref engine_order;
    int known = find_order(shapes::order_report, report, &engine_order);
    if (known <= 0) return known < 0 ? nullptr : Py_NewRef(Py_None);
    Ref account = account_of(engine_order.get());
    if (!account) return nullptr;
    if (dispatch(report, engine_order.get(), account.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* on_trade(PyObject* const*) { Py_RETURN_NONE; }

PyObject* on_order_action_error(PyObject* const* a) {
    PyObject* error = a[1];
    Ref engine_order;
    int known = find_order(shapes::order_action_error, error, &engine_order);
    if (known <= 0) return known < 0 ? nullptr : Py_NewRef(Py_None);
    Ref account = account_of(engine_order.get());
    if (!account) return nullptr;
    if (publish_order_event(EventKind::ORDER_CANCELLATION_REJECT, account.get(), engine_order.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace ferrule
