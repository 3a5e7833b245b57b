// Market data: snapshots, tick-by-tick orders and trades, and bars. The path
// every tick of a live market takes, so nothing here allocates a name or a
// key: message fields are read through their shapes (shapes.hpp), the
// records are dicts built at their final size, module
// names are remembered while the module dict is unchanged, and every call
// is a vectorcall.
#include <Python.h>

#include <atomic>

#include <climits>
#include <cstddef>
#include <utility>

#include "ferrule/callbacks.hpp"
#include "ferrule/engine.hpp"
#include "ferrule/factory.hpp"
#include "ferrule/instrument.hpp"
#include "ferrule/latency.hpp"
#include "ferrule/publish.hpp"
#include "ferrule/shapes.hpp"
#include "ferrule/state.hpp"
#include "glue/attr_cache.hpp"
#include "glue/fastcall.hpp"
#include "glue/record.hpp"
#include "glue/threads.hpp"

namespace ferrule {

namespace {

using glue::AttrReader;
using glue::KwNames;
using glue::Name;
using glue::Ref;

// Record keys: the engine's tick and bar dicts.
Name k_market_code{"market_code"};
Name k_datetime{"datetime"};
Name k_orig_time{"orig_time"};
Name k_open_price{"open_price"};
Name k_close_price{"close_price"};
Name k_high_price{"high_price"};
Name k_low_price{"low_price"};
Name k_total_turnover{"total_turnover"};
Name k_volume{"volume"};
Name k_prev_close{"prev_close"};
Name k_ask_vols{"ask_vols"};
Name k_asks{"asks"};
Name k_bid_vols{"bid_vols"};
Name k_bids{"bids"};
Name k_high_limited{"high_limited"};
Name k_last_price{"last_price"};
Name k_low_limited{"low_limited"};
Name k_open_interest{"open_interest"};
Name k_prev_settlement{"prev_settlement"};
Name k_iopv{"iopv"};
Name k_trading_phase_code{"trading_phase_code"};

// Strategy instance attributes.
Name k_bar_cnt{"bar_cnt"};
Name k_current_trade_dt{"current_trade_dt"};

// Module names, looked up when used so that the engine can replace them.
Global gl_convert_int_to_datetime{"convert_int_to_datetime"};
Global gl_convert_int_to_whole_date{"convert_int_to_whole_date"};
Global gl_get_side_from_vela_l2_order{"get_side_from_vela_l2_order"};
Global gl_get_order_type_from_vela_l2_order{"get_order_type_from_vela_l2_order"};
Global gl_get_l2order_type_from_vela{"get_l2order_type_from_vela"};
Global gl_get_trade_type_from_vela{"get_trade_type_from_vela"};
Global gl_TickObject{"TickObject"};
Name k_from_create{"__from_create__"};
Factory l2_order_create{"L2Order", k_from_create};
Factory l2_transaction_create{"L2Transaction", k_from_create};
Global gl_SIDE{"SIDE"};
glue::AttrOf a_BUY{"BUY"};
glue::AttrOf a_SELL{"SELL"};
Global gl_deque{"deque"};
Name k_append{"append"};

// The same names, remembered while the module dict is unchanged.

glue::MethodCall m_append{k_append};

KwNames kw_tick{"calendar_dt", "trading_dt", "tick"};
KwNames kw_l2_order{"calendar_dt", "trading_dt", "l2_order"};
KwNames kw_l2_transaction{"calendar_dt", "trading_dt", "l2_transaction"};
KwNames kw_bar{"calendar_dt", "trading_dt"};
KwNames kw_maxlen{"maxlen"};

constexpr long kTickHistoryLength = 60;
constexpr Py_ssize_t kTickFields = 20;
constexpr Py_ssize_t kBarFields = 9;

// The snapshot's values from open_price on, in the order of the tick record after its key and time.
constexpr std::size_t kSnapshotValues = ShapeOf<Snapshot>::index(Snapshot::open_price);
glue::RecordBuilder tick_record{
    &k_market_code, &k_datetime,     &k_open_price,   &k_close_price, &k_high_price,   &k_low_price,
    &k_total_turnover, &k_volume,    &k_prev_close,   &k_ask_vols,    &k_asks,         &k_bid_vols,
    &k_bids,        &k_high_limited, &k_last_price,   &k_low_limited, &k_open_interest, &k_prev_settlement,
    &k_iopv,        &k_trading_phase_code,
};

// The bar's values from open on, in the order of the bar record after its key and time.
constexpr std::size_t kBarValues = ShapeOf<Bar>::index(Bar::open);
glue::RecordBuilder bar_record{
    &k_market_code, &k_orig_time, &k_open_price, &k_close_price, &k_high_price,
    &k_low_price,   &k_total_turnover, &k_volume, &k_prev_close,
};

// The engine's environment is a singleton: its data_proxy is remembered.
glue::AttrOf a_data_proxy{"data_proxy"};
glue::AttrOf a_instruments{"instruments"};
glue::AttrOf a_get_universe{"get_universe"};

// The strategy's own bar counters.
enum { V_BAR_CNT, V_CURRENT_TRADE_DT };
AttrReader strategy_attrs{{&k_bar_cnt, &k_current_trade_dt}, AttrReader::Objects::Kept};

// 1000 as an interpreter int, made once.
PyObject* thousand() {
    static std::atomic<PyObject*> v{nullptr};
    PyObject* made = v.load(std::memory_order_acquire);
    if (made) return made;
    // Two threads may make it at once: the first stored is kept.
    PyObject* mine = PyLong_FromLong(1000);
    if (!mine) return nullptr;
    if (!v.compare_exchange_strong(made, mine, std::memory_order_acq_rel)) {
        Py_DECREF(mine);
        return made;
    }
    return mine;
}

#ifdef __SIZEOF_INT128__
// v / 1000 correctly rounded (to nearest, ties to even), which is what the
// interpreter's int division gives. A 17-digit stamp is past a double's 53
// bits, so it is divided in integers and only the quotient rounded.
double thousandth(long long v) {
    unsigned long long n = v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
    double r;
    unsigned long long whole = n / 1000, part = n % 1000;
    if (n <= (1ULL << 53)) {
        r = static_cast<double>(n) / 1000.0;  // both exact: IEEE division rounds correctly
    } else if (whole < (1ULL << 53)) {
        // A stamp of today's size. whole is exact and at least 2**43, so the
        // sum's rounding points are multiples of 2**-10; part / 1000 lies on
        // one only when it is a multiple of 1/8 (exact), and otherwise at
        // least 2**-17 from one, far beyond its own rounding error (2**-54):
        // one addition rounds the sum as the exact quotient rounds.
        r = static_cast<double>(whole) + static_cast<double>(part) / 1000.0;
    } else {
        // n * 2^32 / 1000 in two steps of 64 bits (a division by a constant
        // is a multiplication): more than 75 bits, of which the top 53 are
        // the mantissa and the rest, with the remainder, round it.
        unsigned long long hi = whole, low = part << 32;
        bool inexact = low % 1000 != 0;
        unsigned __int128 q = static_cast<unsigned __int128>(hi) << 32 | low / 1000;
        int drop = 43 - __builtin_clzll(hi);  // hi has 54 bits: fewer take the sum above
        auto m = static_cast<unsigned long long>(q >> drop);
        unsigned __int128 rest = q & ((static_cast<unsigned __int128>(1) << drop) - 1);
        unsigned __int128 half = static_cast<unsigned __int128>(1) << (drop - 1);
        if (rest > half || (rest == half && (inexact || (m & 1)))) ++m;
        // Scaled by a power of two, which is exact.
        r = drop <= 32 ? static_cast<double>(m) / static_cast<double>(1ULL << (32 - drop)) : static_cast<double>(m) * 2;
    }
    return v < 0 ? -r : r;
}
#endif

// stamp / 1000 as Python's `/` computes it: an exact int of a machine word
// to the same float the interpreter's true division gives, anything else by
// that division itself (never through a C double, which would round a
// 17-digit stamp wrongly). `aged`: the stamp dates the message's age.
Ref seconds(PyObject* stamp, bool aged = false) {
#ifdef __SIZEOF_INT128__
    if (PyLong_CheckExact(stamp)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(stamp, &overflow);
        if (!overflow) {
            if (aged) latency::note_stamp(v);
            return Ref::steal(PyFloat_FromDouble(thousandth(v)));
        }
    }
#endif
    if (aged) latency::note_unreadable();
    PyObject* k = thousand();
    return k ? Ref::steal(PyNumber_TrueDivide(stamp, k)) : Ref();
}

// convert_int_to_datetime(msg.<stamp> / 1000); the stamp and the quotient
// are handed back when asked for.
template <class F>
Ref event_time(ShapeOf<F>& shape, PyObject* msg, F stamp, Ref* t_out = nullptr, Ref* q_out = nullptr) {
    Ref convert = gl_convert_int_to_datetime.get();
    if (!convert) return Ref();
    Ref t = shape.field(msg, stamp);
    if (!t) return Ref();
    Ref q = seconds(t.get(), true);
    if (!q) return Ref();
    Ref dt = glue::call(convert.get(), q.get());
    if (t_out) *t_out = std::move(t);
    if (q_out) *q_out = std::move(q);
    return dt;
}

// msg.security_id + "." + get_exchane_from_vela_mdtype(msg.market_type)
template <class F>
Ref instrument_key(ShapeOf<F>& shape, PyObject* msg) {
    return read_market_code<F, F::security_id, F::market_type>(shape, msg);
}

// An exact int the interpreter keeps in one digit (its compact form, well
// within a C int), and its value, read without a call.
bool is_compact(PyObject* v) { return PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(v)); }
Py_ssize_t compact_value(PyObject* v) { return PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(v)); }

// chr(code) as this interpreter's builtin computes it: an index (on 3.12 one
// that fits a C int), then the range check, with the builtin's own errors.
[[gnu::always_inline]] inline Ref char_of(PyObject* code) {
    if (PyLong_CheckExact(code) && is_compact(code))  // within a C int: the range check alone
        return Ref::steal(PyUnicode_FromOrdinal(static_cast<int>(compact_value(code))));
    // An exact int is its own index.
    Ref index = PyLong_CheckExact(code) ? Ref::borrow(code) : Ref::steal(PyNumber_Index(code));
    if (!index) return Ref();
    int overflow = 0;
    long v = PyLong_AsLongAndOverflow(index.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return Ref();
    if (overflow || v > INT_MAX || v < INT_MIN) {
#if PY_VERSION_HEX >= 0x030D0000
        // 3.13's chr() lets any int reach the range check.
        v = overflow < 0 || v < INT_MIN ? INT_MIN : INT_MAX;
#else
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
        return Ref();
#endif
    }
    return Ref::steal(PyUnicode_FromOrdinal(static_cast<int>(v)));
}

// mapping(chr(msg.<code>)[, msg.market_type]), the message read through run,
// which holds nothing once the mapping is called.
template <class F>
Ref map_code(Global& mapping, typename ShapeOf<F>::Run& run, F code, bool with_market_type) {
    Ref fn = mapping.get();
    if (!fn) return Ref();
    Ref raw = run.field(code);
    if (!raw) return Ref();
    // chr() of an exact int runs no code; of anything else, its __index__.
    if (!PyLong_CheckExact(raw.get())) run.release();
    Ref ch = char_of(raw.get());
    if (!ch) return Ref();
    Ref mt;
    if (with_market_type && !(mt = run.field(F::market_type))) return Ref();
    run.release();
    return mt ? glue::call(fn.get(), ch.get(), mt.get()) : glue::call(fn.get(), ch.get());
}

// history[key].append(rec), creating the queue first if the key is new:
// `deque(maxlen=maxlen)`, or `deque()` when maxlen is null.
int remember(PyObject* history, PyObject* key, PyObject* rec, PyObject* maxlen) {
    // `key in history` then `history[key]`: for an exact str key (no __eq__ or
    // __hash__ of its own to observe) one lookup answers both when it is there.
    Ref queue;
    int got = PyUnicode_CheckExact(key) ? glue::dict_get(history, key, &queue) : 0;
    if (got < 0) return -1;
    if (!got) {
        int has = PyDict_Contains(history, key);
        if (has < 0) return -1;
        if (!has) {
            Ref deque = gl_deque.get();
            if (!deque) return -1;
            PyObject* argv[] = {nullptr, maxlen};
            Ref q = maxlen ? glue::call_kw(deque.get(), argv + 1, 0, kw_maxlen) : glue::call(deque.get());
            // The new queue holds its record before it is stored, so a query on
            // another thread never finds it empty. A deque() that runs Python
            // code, or another gateway thread running beside this one, may
            // create the instrument's queue meanwhile: the first one stored is
            // kept and the record joins it, so neither thread's record is lost.
            // What is stored then is what a second look would find (and a day
            // switch on another thread cannot come between them).
            if (!q || m_append.call_void(q.get(), rec) < 0) return -1;
            if (glue::set_default(history, key, q.get(), &queue) < 0) return -1;
            if (queue.get() == q.get()) return 0;
        } else {
            got = glue::dict_get(history, key, &queue);
            if (got < 0) return -1;
            if (!got && !(queue = Ref::steal(PyObject_GetItem(history, key)))) return -1;
        }
    }
    glue::StretchHold hold(bridge.history_queues);
    return m_append.call_void(queue.get(), rec);
}

// Event(EVENT.<member>, calendar_dt=dt, trading_dt=dt[, <payload name>=payload])
int publish_at(EventKind kind, const KwNames& kw, PyObject* dt, PyObject* payload) {
    return payload ? publish_now(kind, {dt, dt, payload}, kw) : publish_now(kind, {dt, dt}, kw);
}

// Environment.get_instance().data_proxy.instruments(market_code)
Ref instrument_of(PyObject* market_code) {
    Ref env = environment();
    if (!env) return Ref();
    Ref proxy = a_data_proxy.get(env.get());
    return proxy ? a_instruments.call_method(proxy.get(), market_code) : Ref();
}

// The snapshot's engine event, once its record is in the history: the
// instrument, then event_queue.append(Event(EVENT.TICK, calendar_dt=dt, trading_dt=dt, tick=TickObject(instrument, tick_dict)))
int publish_tick(PyObject* market_code, PyObject* dt, PyObject* tick_dict) {
    Ref instrument = instrument_of(market_code);
    if (!instrument) return -1;
    EventCall event(EventKind::TICK);
    if (!event) return -1;
    Ref tick_cls = gl_TickObject.get();
    if (!tick_cls) return -1;
    PyObject* argv[] = {nullptr, instrument.get(), tick_dict};
    Ref tick = glue::instantiate(tick_cls.get(), argv + 1, 2);
    return tick ? event.publish({dt, dt, tick.get()}, kw_tick) : -1;
}

// len(Environment.get_instance().get_universe()) as an int object.
Ref universe_size() {
    Ref env = environment();
    if (!env) return Ref();
    Ref universe = a_get_universe.call_method(env.get());
    if (!universe) return Ref();
    Py_ssize_t n = PyObject_Size(universe.get());
    return n < 0 ? Ref() : Ref::steal(PyLong_FromSsize_t(n));
}

// 0 and 1: the interpreter's cached small ints, so nothing is allocated.
PyObject* zero() { return PyLong_FromLong(0); }
PyObject* one() { return PyLong_FromLong(1); }

// x += 1: an exact int of a machine word directly, anything else as Python adds.
Ref increment(PyObject* x) {
    int overflow = 0;
    long long v = PyLong_CheckExact(x) ? PyLong_AsLongLongAndOverflow(x, &overflow) : 0;
    if (PyLong_CheckExact(x) && !overflow && v < LLONG_MAX) return Ref::steal(PyLong_FromLongLong(v + 1));
    Ref inc = Ref::steal(one());
    return inc ? Ref::steal(PyNumber_InPlaceAdd(x, inc.get())) : Ref();
}

// The strategy's count of bars of the current bar time: it goes on while the
// bar time stays (or none was seen yet), else it starts again at this bar.
int count_bar(PyObject* self, PyObject* t) {
    Ref current = strategy_attrs.get(self, V_CURRENT_TRADE_DT);
    if (!current) return -1;
    Ref z = Ref::steal(zero());
    if (!z) return -1;
    int same = glue::eq(current.get(), z.get());
    if (same == 0) {
        current = strategy_attrs.get(self, V_CURRENT_TRADE_DT);
        if (!current) return -1;
        same = glue::eq(current.get(), t);
    }
    if (same < 0) return -1;
    Ref cnt;
    if (same) {
        Ref old = strategy_attrs.get(self, V_BAR_CNT);
        if (!old) return -1;
        cnt = increment(old.get());
    } else {
        cnt = Ref::steal(one());
    }
    if (!cnt || strategy_attrs.set(self, V_BAR_CNT, cnt.get()) < 0) return -1;
    return strategy_attrs.set(self, V_CURRENT_TRADE_DT, t);
}

// One EVENT.BAR when every instrument of the universe has had its bar of this bar time.
PyObject* complete_bar_time(PyObject* self) {
    Ref cnt = strategy_attrs.get(self, V_BAR_CNT);
    if (!cnt) return nullptr;
    Ref size = universe_size();
    if (!size) return nullptr;
    int complete = glue::eq(cnt.get(), size.get());
    if (complete <= 0) return complete < 0 ? nullptr : Py_NewRef(Py_None);
    Ref convert = gl_convert_int_to_whole_date.get();
    if (!convert) return nullptr;
    Ref current = strategy_attrs.get(self, V_CURRENT_TRADE_DT);
    if (!current) return nullptr;
    Ref whole = Ref::steal(PyNumber_Long(current.get()));
    if (!whole) return nullptr;
    Ref calendar_dt = glue::call(convert.get(), whole.get());
    if (!calendar_dt) return nullptr;
    if (publish_at(EventKind::BAR, kw_bar, calendar_dt.get(), nullptr) < 0) return nullptr;
    // Reset only once published: a failed append leaves the count complete.
    Ref reset = Ref::steal(zero());
    if (!reset || strategy_attrs.set(self, V_BAR_CNT, reset.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

// L2Order.__from_create__(biz_index, market_code, dt, side, order_price, order_volume,
//     get_order_type_from_vela_l2_order(chr(order_type), market_type), orig_order_no,
//     get_l2order_type_from_vela(chr(order_type), market_type)), left to right.
Ref l2_order_of(PyObject* msg, PyObject* market_code, PyObject* dt, PyObject* side) {
    // One run of reads from biz_index to the first mapping's call, another to the second's.
    ShapeOf<TickOrder>::Run run(shapes::tick_order, msg);
    auto read = [&](TickOrder f) { return [&run, f] { return run.field(f); }; };
    auto mapped = [&](Global& mapping) { return [&run, &mapping] {
        return map_code(mapping, run, TickOrder::order_type, true); }; };
    return l2_order_create.call(nullptr, read(TickOrder::biz_index), market_code, dt, side,
                                read(TickOrder::order_price), read(TickOrder::order_volume),
                                mapped(gl_get_order_type_from_vela_l2_order), read(TickOrder::orig_order_no),
                                mapped(gl_get_l2order_type_from_vela));
}

// SIDE.BUY if bid_appl_seq_num > offer_appl_seq_num else SIDE.SELL (equal is a sell).
Ref trade_side(PyObject* msg) {
    Ref bid, offer;
    {
        ShapeOf<TickTrade>::Run run(shapes::tick_trade, msg);  // let go before the comparison
        if (!(bid = run.field(TickTrade::bid_appl_seq_num)) || !(offer = run.field(TickTrade::offer_appl_seq_num)))
            return Ref();
    }
    int buy = glue::compare(bid.get(), offer.get(), Py_GT);
    if (buy < 0) return Ref();
    return gl_SIDE.attr(buy ? a_BUY : a_SELL);
}

// L2Transaction.__from_create__(biz_index, market_code, dt, side, trade_price, trade_volume, value_trade,
//     get_trade_type_from_vela(chr(trade_type)), bid_appl_seq_num, offer_appl_seq_num), left to right.
Ref l2_transaction_of(PyObject* msg, PyObject* market_code, PyObject* dt, PyObject* side) {
    // One run of reads from biz_index to the mapping's call, another of the two sequence numbers.
    ShapeOf<TickTrade>::Run run(shapes::tick_trade, msg);
    auto read = [&](TickTrade f) { return [&run, f] { return run.field(f); }; };
    auto trade_type = [&] { return map_code(gl_get_trade_type_from_vela, run, TickTrade::trade_type, false); };
    auto last = [&] {  // the factory is called next
        Ref offer = run.field(TickTrade::offer_appl_seq_num);
        run.release();
        return offer;
    };
    return l2_transaction_create.call(nullptr, read(TickTrade::biz_index), market_code, dt, side,
                                      read(TickTrade::trade_price), read(TickTrade::trade_volume),
                                      read(TickTrade::value_trade), trade_type, read(TickTrade::bid_appl_seq_num),
                                      last);
}

}  // namespace

PyObject* on_snapshot(PyObject* const* a) {
    PyObject* snapshot = a[1];
    auto& shape = shapes::snapshot;
    Ref values[kTickFields];
    values[1] = event_time(shape, snapshot, Snapshot::orig_time);
    if (!values[1]) return nullptr;
    values[0] = instrument_key(shape, snapshot);
    if (!values[0]) return nullptr;
    if (shape.at_range(snapshot, kSnapshotValues, kTickFields - 2, values + 2) < 0) return nullptr;
    PyObject* items[kTickFields];
    for (Py_ssize_t i = 0; i < kTickFields; ++i) items[i] = values[i].get();
    Ref tick = tick_record.build(items);
    if (!tick) return nullptr;
    Ref maxlen = Ref::steal(PyLong_FromLong(kTickHistoryLength));
    if (!maxlen || remember(bridge.history_tick, items[0], tick.get(), maxlen.get()) < 0) return nullptr;
    // The record is in the history before the engine's objects are built.
    if (publish_tick(items[0], items[1], tick.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* on_tick_order(PyObject* const* a) {
    PyObject* tick_order = a[1];
    auto& shape = shapes::tick_order;
    Ref dt = event_time(shape, tick_order, TickOrder::order_time);
    if (!dt) return nullptr;
    Ref market_code = instrument_key(shape, tick_order);
    if (!market_code) return nullptr;
    ShapeOf<TickOrder>::Run run(shape, tick_order);
    Ref side = map_code(gl_get_side_from_vela_l2_order, run, TickOrder::side, true);
    if (!side) return nullptr;
    Ref l2_order = l2_order_of(tick_order, market_code.get(), dt.get(), side.get());
    if (!l2_order || publish_at(EventKind::L2_ORDER, kw_l2_order, dt.get(), l2_order.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* on_tick_trade(PyObject* const* a) {
    PyObject* tick_trade = a[1];
    auto& shape = shapes::tick_trade;
    Ref dt = event_time(shape, tick_trade, TickTrade::trade_time);
    if (!dt) return nullptr;
    Ref market_code = instrument_key(shape, tick_trade);
    if (!market_code) return nullptr;
    Ref side = trade_side(tick_trade);
    if (!side) return nullptr;
    Ref l2_transaction = l2_transaction_of(tick_trade, market_code.get(), dt.get(), side.get());
    if (!l2_transaction || publish_at(EventKind::L2_TRANSACTION, kw_l2_transaction, dt.get(), l2_transaction.get()) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* on_bar(PyObject* const* a) {
    PyObject* self = a[0];
    PyObject* bar = a[1];
    auto& shape = shapes::bar;
    Ref values[kBarFields];
    values[0] = instrument_key(shape, bar);
    if (!values[0]) return nullptr;
    Ref first_stamp, first_t;
    values[1] = event_time(shape, bar, Bar::end_time, &first_stamp, &first_t);
    if (!values[1]) return nullptr;
    if (shape.at_range(bar, kBarValues, kBarFields - 2, values + 2) < 0) return nullptr;
    PyObject* items[kBarFields];
    for (Py_ssize_t i = 0; i < kBarFields; ++i) items[i] = values[i].get();
    Ref rec = bar_record.build(items);
    if (!rec || remember(bridge.history_bar, items[0], rec.get(), nullptr) < 0) return nullptr;
    Ref end_time = shape.field(bar, Bar::end_time);
    if (!end_time) return nullptr;
    // Read again, as the bar could have changed; the very same int divides to the same value.
    bool same_int = end_time.get() == first_stamp.get() && PyLong_CheckExact(end_time.get());
    Ref t = same_int ? std::move(first_t) : seconds(end_time.get());
    if (!t || count_bar(self, t.get()) < 0) return nullptr;
    return complete_bar_time(self);
}

}  // namespace ferrule
