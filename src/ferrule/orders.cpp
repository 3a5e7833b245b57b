// Order reports. The engine's own order (filed in orders_dict by the engine)
// is brought in line with the gateway's status and cumulative fill, the
// latest match becomes an engine Trade unless it was published already, and
// every order event carries a deep copy of the order as it stands when that
// event is built.
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <utility>

#include "ferrule/callbacks.hpp"
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

// The key of an order's records: its identity, as an int whose hash spreads.
// An address's low bits are always zero, so a dict of many orders keyed by
// id() would probe long chains; the bits are rotated as the interpreter's own
// object hash rotates them, which keeps one key per live object.
Ref identity_key(PyObject* obj) {
    constexpr unsigned kBits = 8 * sizeof(std::uintptr_t);
    auto p = reinterpret_cast<std::uintptr_t>(obj);
    return Ref::steal(PyLong_FromUnsignedLongLong((p >> 4) | (p << (kBits - 4))));
}

// The claim records live only in the module's own dicts, which no Python code
// can reach, so no reference cycle can pass through them: the collector is
// spared walking them (and the dicts that hold them) at every collection.
PyObject* unwalked(PyObject* record) {
    if (record) PyObject_GC_UnTrack(record);
    return record;
}

// An order is accepted once. The first numbered acceptance claims it in a
// record keyed by the order's identity, with no Python code between the look
// and the claim; later ones (a resend after a reconnect, a duplicate on
// another gateway thread) still take over the counter's id and the frozen
// cash, but change no status and publish nothing. If the acceptance fails
// the claim is given back.
glue::StretchLock acceptances;

class AcceptClaim {
public:
    // 1 claimed, 0 accepted before, -1 on error.
    int take(PyObject* engine_order) {
        key_ = identity_key(engine_order);
        if (!key_) return -1;
        // An entry of this claim's own, so that giving it back removes no other.
        Ref entry = Ref::steal(unwalked(PyTuple_Pack(1, engine_order)));
        if (!entry) return -1;
        // The look and the claim in one piece (SetDefault), however many threads ask.
        Ref now;
        int rc;
        {
            glue::StretchHold hold(acceptances);
            rc = glue::set_default(bridge.accepted_orders, key_.get(), entry.get(), &now);
        }
        if (rc < 0) return -1;
        if (now.get() != entry.get()) return 0;
        entry_ = std::move(entry);
        return 1;
    }
    void give_back() {
        if (!entry_) return;
        glue::PendingError pending;
        int rc = 0;
        Ref now;
        {
            glue::StretchHold hold(acceptances);
            rc = glue::dict_get(bridge.accepted_orders, key_.get(), &now);
            if (rc > 0) rc = now.get() == entry_.get() ? PyDict_DelItem(bridge.accepted_orders, key_.get()) : 0;
        }
        if (rc < 0)
            pending.chain_into_current();
        else
            pending.restore();
        entry_.reset();
    }

private:
    Ref key_, entry_;
};

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

// A gateway resends reports after a reconnect, and a cancellation report may
// repeat the order's latest match. Each match of an order raises its
// cumulative quantity, so a match is new unless its cumulative quantity is
// among those already claimed as a TRADE for this engine order (Python's
// `in`: identity, then ==). A match that arrives late, after a later one of
// the same order, is still new. The record is keyed by the order's identity
// (an int), so reading and writing it run no Python code, and a new engine
// order starts afresh.
//
// Reports of one order may arrive on several gateway threads at once, so the
// match is claimed before it is published: its quantity joins the record
// right after the last look at it, with no Python code in between. A report
// judged while another claim is still being published counts that claim: a
// resend racing its original is withheld and one TRADE goes out; two
// different matches racing each other are both published. If publishing
// fails, the claim is given back, as if it had never been taken.
glue::StretchLock fills;

}  // namespace

int forget_claims() {
    // Both or neither. The records are let go after the locks: dropping the
    // last reference to an engine order may run its code, which must not run
    // under them.
    Ref fills_before, acceptances_before;
    glue::StretchHold hold_fills(fills);
    glue::StretchHold hold_acceptances(acceptances);
    fills_before = Ref::steal(PyDict_Copy(bridge.published_fills));
    acceptances_before = Ref::steal(PyDict_Copy(bridge.accepted_orders));
    if (!fills_before || !acceptances_before) return -1;
    PyDict_Clear(bridge.published_fills);
    PyDict_Clear(bridge.accepted_orders);
    return 0;
}

namespace {

class FillClaim {
public:
    // 1 new and claimed, 0 seen, -1 with the comparison's error.
    int take(PyObject* engine_order, PyObject* filled) {
        glue::StretchHold hold(fills);
        return take_claim(engine_order, filled);
    }
    // Publishing failed: the quantity leaves the record; the error goes on.
    void give_back() {
        glue::StretchHold hold(fills);
        give_claim_back();
    }

private:
    int take_claim(PyObject* engine_order, PyObject* filled);
    void give_claim_back();
    // The record: a tuple (order, {quantities that are the interpreter's own
    // numbers}, (any other quantities,), the number claimed last or None),
    // read in one piece. The numbers are found without running code: a resend
    // repeats the latest match, which the record itself holds, the others are
    // in the set. Every claim and every claim
    // given back files a new tuple (the set goes on in it), with no Python
    // code between the change and the filing, so a look that ran code tells
    // by the record's identity whether it still holds; the set's identity
    // tells a record of this day from one a new day began.
    //
    // The interpreter's numbers that are whole and fit 64 bits (nearly every
    // quantity) are kept apart, as a sorted array of int64 in a bytearray:
    // 8 bytes a fill, where a set of ints costs about 80. Whole floats are
    // kept there too (30.0 == 30, as the set had them); the others (a
    // fraction, a NaN, an int past 64 bits) stay in the set.
    enum { kOrder, kNumbers, kOthers, kLatest, kWhole, kSize };
    // A comparison that runs code every time and keeps changing this order's
    // record (a report published from inside ==) is decided on its last try.
    static constexpr int kTries = 16;
    static bool plain_number(PyObject* v) { return PyLong_CheckExact(v) || PyFloat_CheckExact(v); }
    // The order's record, created empty when it has none.
    Ref record(PyObject* engine_order);
    // The first match of an order that has no record, a plain number: the
    // record made with the claim in it. 1 claimed; 0 when another record was
    // filed meanwhile (*found), to be judged against; -1 on error.
    int take_first(PyObject* engine_order, PyObject* filled, Ref* found);
    // The record filed now, if it is of rec's day: borrowed, or null (with an
    // error set only if the lookup failed).
    PyObject* same_day(PyObject* rec);
    // rec with these others and latest, and `filled` added to the others when given.
    static Ref record_of(PyObject* rec, PyObject* others, PyObject* latest, PyObject* filled);
    // A plain number in rec's numbers: 1, 0 or -1. Adding and discarding run no Python code.
    static int has_number(PyObject* rec, PyObject* v);
    static int add_number(PyObject* rec, PyObject* v);
    static int discard_number(PyObject* rec, PyObject* v);
    static Ref fresh_record(PyObject* engine_order, PyObject* latest);
    Ref key_, record_, filled_;
};

namespace {

// A plain number's value when it is whole and fits 64 bits.
bool whole_value(PyObject* v, long long* out) {
    if (PyLong_CheckExact(v)) {
        int overflow = 0;
        *out = PyLong_AsLongLongAndOverflow(v, &overflow);
        return !overflow && !(*out == -1 && PyErr_Occurred());
    }
    double d = PyFloat_AS_DOUBLE(v);
    constexpr double kLimit = 9223372036854775808.0;  // 2**63
    if (!(d >= -kLimit && d < kLimit) || d != static_cast<double>(static_cast<long long>(d))) return false;
    *out = static_cast<long long>(d);
    return true;
}

// Where x is, or goes, in the sorted array.
std::pair<long long*, bool> find_whole(PyObject* array, long long x) {
    auto* first = reinterpret_cast<long long*>(PyByteArray_AsString(array));
    auto* last = first + PyByteArray_GET_SIZE(array) / static_cast<Py_ssize_t>(sizeof(long long));
    long long* at = std::lower_bound(first, last, x);
    return {at, at != last && *at == x};
}

}  // namespace

Ref FillClaim::fresh_record(PyObject* engine_order, PyObject* latest) {
    Ref numbers = Ref::steal(unwalked(PySet_New(nullptr)));
    Ref others = Ref::steal(PyTuple_New(0));
    Ref whole = Ref::steal(PyByteArray_FromStringAndSize(nullptr, 0));
    if (!numbers || !others || !whole) return Ref();
    return Ref::steal(
        unwalked(PyTuple_Pack(kSize, engine_order, numbers.get(), others.get(), latest, whole.get())));
}

int FillClaim::has_number(PyObject* rec, PyObject* v) {
    long long x;
    if (whole_value(v, &x)) return find_whole(PyTuple_GET_ITEM(rec, kWhole), x).second;
    return PySet_Contains(PyTuple_GET_ITEM(rec, kNumbers), v);
}

int FillClaim::add_number(PyObject* rec, PyObject* v) {
    long long x;
    if (!whole_value(v, &x)) return PySet_Add(PyTuple_GET_ITEM(rec, kNumbers), v);
    PyObject* array = PyTuple_GET_ITEM(rec, kWhole);
    auto [at, found] = find_whole(array, x);
    if (found) return 0;
    Py_ssize_t offset = reinterpret_cast<char*>(at) - PyByteArray_AsString(array);
    Py_ssize_t size = PyByteArray_GET_SIZE(array);
    if (PyByteArray_Resize(array, size + static_cast<Py_ssize_t>(sizeof x)) < 0) return -1;
    char* base = PyByteArray_AsString(array);
    std::memmove(base + offset + sizeof x, base + offset, static_cast<std::size_t>(size - offset));
    std::memcpy(base + offset, &x, sizeof x);
    return 0;
}

int FillClaim::discard_number(PyObject* rec, PyObject* v) {
    long long x;
    if (!whole_value(v, &x)) return PySet_Discard(PyTuple_GET_ITEM(rec, kNumbers), v) < 0 ? -1 : 0;
    PyObject* array = PyTuple_GET_ITEM(rec, kWhole);
    auto [at, found] = find_whole(array, x);
    if (!found) return 0;
    char* base = PyByteArray_AsString(array);
    Py_ssize_t offset = reinterpret_cast<char*>(at) - base, size = PyByteArray_GET_SIZE(array);
    std::memmove(base + offset, base + offset + sizeof x, static_cast<std::size_t>(size - offset) - sizeof x);
    return PyByteArray_Resize(array, size - static_cast<Py_ssize_t>(sizeof x));
}

Ref FillClaim::record(PyObject* engine_order) {
    Ref rec;
    int got = glue::dict_get(bridge.published_fills, key_.get(), &rec);
    if (got) return rec;
    Ref fresh = fresh_record(engine_order, Py_None);
    if (!fresh || glue::set_default(bridge.published_fills, key_.get(), fresh.get(), &rec) < 0) return Ref();
    return rec;
}

int FillClaim::take_first(PyObject* engine_order, PyObject* filled, Ref* found) {
    Ref fresh = fresh_record(engine_order, filled);
    if (!fresh || add_number(fresh.get(), filled) < 0) return -1;
    // The claim: filed only if the order still has no record (making this one may have run code).
    Ref rec;
    if (glue::set_default(bridge.published_fills, key_.get(), fresh.get(), &rec) < 0) return -1;
    if (rec.get() != fresh.get()) {
        *found = std::move(rec);
        return 0;
    }
    record_ = std::move(fresh);
    filled_ = Ref::borrow(filled);
    return 1;
}

PyObject* FillClaim::same_day(PyObject* rec) {
    PyObject* now = PyDict_GetItemWithError(bridge.published_fills, key_.get());
    return now && PyTuple_GET_ITEM(now, kNumbers) == PyTuple_GET_ITEM(rec, kNumbers) ? now : nullptr;
}

// Python's `v in seq` for a tuple: identity, then ==. 1, 0 or -1.
int listed_in(PyObject* seq, PyObject* v) {
    for (Py_ssize_t i = PyTuple_GET_SIZE(seq) - 1; i >= 0; --i) {  // newest first: a resend repeats the latest
        int same = PyObject_RichCompareBool(v, PyTuple_GET_ITEM(seq, i), Py_EQ);
        if (same != 0) return same;
    }
    return 0;
}

// Python's `v in [int(x) for x in array]`, newest first. The array is read
// from a copy: == may run code, and another claim change it meanwhile.
int listed_in_whole(PyObject* array, PyObject* v) {
    Ref copy = Ref::steal(PyBytes_FromStringAndSize(PyByteArray_AsString(array), PyByteArray_GET_SIZE(array)));
    if (!copy) return -1;
    const char* base = PyBytes_AS_STRING(copy.get());
    for (Py_ssize_t i = PyBytes_GET_SIZE(copy.get()) / static_cast<Py_ssize_t>(sizeof(long long)) - 1; i >= 0; --i) {
        long long x;
        std::memcpy(&x, base + i * static_cast<Py_ssize_t>(sizeof x), sizeof x);
        Ref n = Ref::steal(PyLong_FromLongLong(x));
        if (!n) return -1;
        int same = PyObject_RichCompareBool(v, n.get(), Py_EQ);
        if (same != 0) return same;
    }
    return 0;
}

Ref FillClaim::record_of(PyObject* rec, PyObject* others, PyObject* latest, PyObject* filled) {
    Ref more = Ref::borrow(others);
    if (filled) {
        Py_ssize_t n = PyTuple_GET_SIZE(others);
        more = Ref::steal(unwalked(PyTuple_New(n + 1)));
        if (!more) return Ref();
        for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(more.get(), i, Py_NewRef(PyTuple_GET_ITEM(others, i)));
        PyTuple_SET_ITEM(more.get(), n, Py_NewRef(filled));
    }
    return Ref::steal(unwalked(PyTuple_Pack(kSize, PyTuple_GET_ITEM(rec, kOrder), PyTuple_GET_ITEM(rec, kNumbers),
                                            more.get(), latest, PyTuple_GET_ITEM(rec, kWhole))));
}

int FillClaim::take_claim(PyObject* engine_order, PyObject* filled) {
    key_ = identity_key(engine_order);
    if (!key_) return -1;
    bool plain = plain_number(filled);
    Ref found = Ref::borrow(PyDict_GetItemWithError(bridge.published_fills, key_.get()));
    if (!found && PyErr_Occurred()) return -1;
    if (!found && plain) {
        int first = take_first(engine_order, filled, &found);
        if (first != 0) return first;
    }
    for (int attempt = 1;; ++attempt) {
        // Held: a later look compares it by identity.
        Ref rec = attempt == 1 && found ? std::move(found) : record(engine_order);
        if (!rec) return -1;
        PyObject* numbers = PyTuple_GET_ITEM(rec.get(), kNumbers);
        PyObject* others = PyTuple_GET_ITEM(rec.get(), kOthers);
        // A plain number is looked up in the set without running code. Anything
        // else is compared with each quantity, and == may run code (and let
        // another thread claim meanwhile): only then is the look checked again.
        bool may_run_code = !plain || PyTuple_GET_SIZE(others) > 0;
        int seen;
        if (plain) {
            // Both plain numbers: == runs no code, and agrees with the set.
            PyObject* latest = PyTuple_GET_ITEM(rec.get(), kLatest);
            seen = latest == filled ? 1 : plain_number(latest) ? PyObject_RichCompareBool(filled, latest, Py_EQ) : 0;
            if (seen == 0) seen = has_number(rec.get(), filled);
        } else {
            // Compared as `in` compares, with every claimed number, the whole ones too.
            Ref listed = Ref::steal(PySequence_Tuple(numbers));
            seen = listed ? listed_in(listed.get(), filled) : -1;
            if (seen == 0) seen = listed_in_whole(PyTuple_GET_ITEM(rec.get(), kWhole), filled);
        }
        if (seen == 0 && PyTuple_GET_SIZE(others)) seen = listed_in(others, filled);
        if (seen < 0) return -1;
        PyObject* now = rec.get();
        if (may_run_code) {
            now = PyDict_GetItemWithError(bridge.published_fills, key_.get());
            if (!now && PyErr_Occurred()) return -1;
            if (now != rec.get() && attempt < kTries) continue;
        }
        if (seen) return 0;
        // The record the claim files, made first: making it may run code (a
        // collection), so the record is looked at again after it.
        Ref next = plain ? record_of(rec.get(), others, filled, nullptr)
                         : record_of(rec.get(), others, PyTuple_GET_ITEM(rec.get(), kLatest), filled);
        if (!next) return -1;
        now = PyDict_GetItemWithError(bridge.published_fills, key_.get());
        if (!now && PyErr_Occurred()) return -1;
        if (now != rec.get()) {
            if (attempt < kTries) continue;
            // Decided on the last try: the claim joins the record of this day as it now stands.
            if ((now = same_day(rec.get()))) {
                rec = Ref::borrow(now);
                PyObject* now_others = PyTuple_GET_ITEM(now, kOthers);
                next = plain ? record_of(now, now_others, filled, nullptr)
                             : record_of(now, now_others, PyTuple_GET_ITEM(now, kLatest), filled);
                if (!next) return -1;
                now = same_day(rec.get());
            }
            if (!now && PyErr_Occurred()) return -1;
        }
        // From the last look to the claim no Python code runs: an int key, plain
        // numbers, the record compared by identity.
        if (plain && add_number(rec.get(), filled) < 0) return -1;
        if (now == rec.get() && PyDict_SetItem(bridge.published_fills, key_.get(), next.get()) < 0) {
            if (plain) {
                glue::PendingError pending;
                if (discard_number(rec.get(), filled) < 0)
                    pending.chain_into_current();
                else
                    pending.restore();
            }
            return -1;
        }
        // A record a new day let go of meanwhile keeps the claim to itself.
        record_ = now == rec.get() ? std::move(next) : std::move(rec);
        filled_ = Ref::borrow(filled);
        return 1;
    }
}

void FillClaim::give_claim_back() {
    if (!filled_) return;
    glue::PendingError pending;
    int rc = 0;
    bool plain = plain_number(filled_.get());
    for (int attempt = 1; attempt <= kTries; ++attempt) {
        // Else a new day emptied the record meanwhile.
        PyObject* now = same_day(record_.get());
        if (!now) {
            if (PyErr_Occurred()) rc = -1;
            break;
        }
        Ref held = Ref::borrow(now);
        PyObject* others = PyTuple_GET_ITEM(now, kOthers);
        Ref rest = Ref::borrow(others);
        if (!plain) {
            Py_ssize_t n = PyTuple_GET_SIZE(others), at = 0;
            while (at < n && PyTuple_GET_ITEM(others, at) != filled_.get()) ++at;
            if (at < n) {
                rest = Ref::steal(unwalked(PyTuple_New(n - 1)));
                for (Py_ssize_t i = 0, j = 0; rest && i < n; ++i)
                    if (i != at) PyTuple_SET_ITEM(rest.get(), j++, Py_NewRef(PyTuple_GET_ITEM(others, i)));
            }
        }
        // A plain number given back may be the latest: the record forgets which that was.
        Ref next = rest ? record_of(now, rest.get(), plain ? Py_None : PyTuple_GET_ITEM(now, kLatest), nullptr) : Ref();
        if (!next) {
            rc = -1;
            break;
        }
        // Made before the change, which then goes in with the new record and no
        // code in between; the last try takes the record as it then stands.
        PyObject* again = same_day(record_.get());
        if (!again) {
            if (PyErr_Occurred()) rc = -1;
            break;
        }
        if (again != held.get() && attempt < kTries) continue;
        if (plain && discard_number(again, filled_.get()) < 0) rc = -1;
        if (rc == 0 && PyDict_SetItem(bridge.published_fills, key_.get(), next.get()) < 0) rc = -1;
        break;
    }
    filled_.reset();
    record_.reset();
    if (rc < 0)
        pending.chain_into_current();
    else
        pending.restore();
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
