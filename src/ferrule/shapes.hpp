// What the bridge reads from each message the gateway sends, written once.
// A shape names the message type (as the recording's header shows it),
// lists the fields the bridge reads from it in the order it first reads them,
// and reads them through one attribute cache (glue::AttrReader). The bridge
// reads `shapes::snapshot.field(msg, Snapshot::orig_time)`; the recorder
// records every field of the same shape through the same cache before the
// callback runs, so a field added here is read and recorded alike and a
// replay stays exact.
//
// Order matters twice: the recorder writes a message's fields in this order
// (the header names them, so the readers follow it), and on every path
// through a callback the bridge's first reads of a message come in this order.
#pragma once
#include <Python.h>

#include <cstddef>
#include <initializer_list>

#include "glue/attr_cache.hpp"
#include "glue/names.hpp"
#include "glue/ref.hpp"

namespace ferrule {

class Shape {
public:
    Shape(const char* type, std::initializer_list<const glue::Name*> fields) noexcept
        : type_(type), reader_(fields) {
        for (const glue::Name* f : fields)
            if (n_ < glue::AttrReader::kMaxNames) names_[n_++] = f;
    }
    Shape(const Shape&) = delete;
    Shape& operator=(const Shape&) = delete;

    // The message type's name, for the recording's header.
    const char* type() const noexcept { return type_; }
    std::size_t size() const noexcept { return n_; }
    // The name of field i, interned.
    PyObject* name(std::size_t i) const noexcept { return names_[i]->get(); }
    // msg.<field i>: a new reference, or an empty Ref with the error set.
    glue::Ref at(PyObject* msg, std::size_t i) { return reader_.get(msg, i); }
    // msg.<field first + k> into out[k] for k < n, read in a row (glue::AttrReader::get_range).
    int at_range(PyObject* msg, std::size_t first, std::size_t n, glue::Ref* out) {
        return reader_.get_range(msg, first, n, out);
    }
    // msg.<field i> where only AttributeError means "missing" (as hasattr):
    // 1 with *out set, 0 when missing, -1 on any other error.
    int lookup_at(PyObject* msg, std::size_t i, glue::Ref* out) {
        *out = at(msg, i);
        if (*out) return 1;
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }

protected:
    glue::AttrReader& reader() noexcept { return reader_; }

private:
    const char* type_;
    const glue::Name* names_[glue::AttrReader::kMaxNames] = {};
    std::size_t n_ = 0;
    glue::AttrReader reader_;
};

// A shape read by the field ids of its own enumeration: a field of another
// message does not compile.
template <class F>
class ShapeOf : public Shape {
public:
    using Field = F;
    using Shape::Shape;
    static constexpr std::size_t index(F f) noexcept { return static_cast<std::size_t>(f); }
    glue::Ref field(PyObject* msg, F f) { return at(msg, index(f)); }
    // The fields of f, in that order, read in a row into out (glue::AttrReader::get_many).
    template <std::size_t N>
    int fields(PyObject* msg, const F (&f)[N], glue::Ref (&out)[N]) {
        std::size_t ids[N];
        for (std::size_t k = 0; k < N; ++k) ids[k] = index(f[k]);
        return reader().get_many(msg, ids, N, out);
    }
    // Reads of one message in a row, with release() before anything that may
    // run Python code in between (glue::AttrReader::Run).
    class Run : public glue::AttrReader::Run {
    public:
        Run(ShapeOf& shape, PyObject* msg) noexcept : glue::AttrReader::Run(shape.reader(), msg) {}
        [[gnu::always_inline]] glue::Ref field(F f) { return get(index(f)); }
    };
    int lookup(PyObject* msg, F f, glue::Ref* out) { return lookup_at(msg, index(f), out); }
    PyObject* name(F f) const noexcept { return Shape::name(index(f)); }
    using Shape::name;
};

// FERRULE_SHAPE(Kind, object, "type", FIELDS) declares `enum class Kind`, one
// id per field of FIELDS (an X-list: FIELDS(F) is F(a) F(b) ...), and
// `shapes::object`, the shape that reads them. The shapes are inline
// variables, constructed before anything that includes this header.
#define FERRULE_FIELD_ID(f) f,
#define FERRULE_FIELD_NAME(f) glue::Name f{#f};
#define FERRULE_FIELD_OF(f) &this->Names::f,
#define FERRULE_SHAPE(Kind, object, type_name, FIELDS)                                                           \
    enum class Kind : std::size_t { FIELDS(FERRULE_FIELD_ID) };                                                 \
    namespace shapes {                                                                                          \
    struct Kind##Names {                                                                                        \
        FIELDS(FERRULE_FIELD_NAME)                                                                              \
    };                                                                                                          \
    struct Kind##Shape : Kind##Names, ShapeOf<Kind> {                                                           \
        using Names = Kind##Names;                                                                              \
        Kind##Shape() noexcept : ShapeOf<Kind>(type_name, {FIELDS(FERRULE_FIELD_OF)}) {}                        \
    };                                                                                                          \
    static_assert(sizeof(Kind##Names) / sizeof(glue::Name) <= glue::AttrReader::kMaxNames, "too many fields"); \
    inline Kind##Shape object;                                                                                  \
    }

// Market data: the time and the instrument key first, then the values in the
// order of the engine's record.
#define FERRULE_SNAPSHOT(F)                                                                                     \
    F(orig_time) F(security_id) F(market_type) F(open_price) F(close_price) F(high_price) F(low_price)          \
    F(total_value_trade) F(total_volume_trade) F(pre_close_price) F(ask_volume) F(ask_price) F(bid_volume)      \
    F(bid_price) F(high_limited) F(last_price) F(low_limited) F(open_interest) F(prev_settlement) F(iopv)        \
    F(trading_phase_code)
#define FERRULE_TICK_ORDER(F)                                                                                   \
    F(order_time) F(security_id) F(market_type) F(side) F(biz_index) F(order_price) F(order_volume)             \
    F(order_type) F(orig_order_no)
#define FERRULE_TICK_TRADE(F)                                                                                   \
    F(trade_time) F(security_id) F(market_type) F(bid_appl_seq_num) F(offer_appl_seq_num) F(biz_index)          \
    F(trade_price) F(trade_volume) F(value_trade) F(trade_type)
#define FERRULE_BAR(F)                                                                                          \
    F(security_id) F(market_type) F(end_time) F(open) F(close) F(high) F(low) F(amount) F(volume) F(prev_close)
FERRULE_SHAPE(Snapshot, snapshot, "Snapshot", FERRULE_SNAPSHOT)
FERRULE_SHAPE(TickOrder, tick_order, "TickOrder", FERRULE_TICK_ORDER)
FERRULE_SHAPE(TickTrade, tick_trade, "TickTrade", FERRULE_TICK_TRADE)
FERRULE_SHAPE(Bar, bar, "Bar", FERRULE_BAR)

// Account: the log line's fields come first.
#define FERRULE_LOGIN_RES(F) F(fund_account_id) F(error_code) F(client_seq_id) F(error_msg)
#define FERRULE_ASSET_RES(F)                                                                                    \
    F(fund_account_id) F(leaves_value) F(available_t1) F(frozen_all) F(market_value) F(total_asset)             \
    F(init_leaves_value)
#define FERRULE_POSITION_ENTRY(F)                                                                               \
    F(security_id) F(market_id) F(init_qty) F(leaves_qty) F(available_qty) F(cost_price) F(last_price)          \
    F(market_value) F(profit_loss)
FERRULE_SHAPE(LoginRes, login_res, "LoginRes", FERRULE_LOGIN_RES)
FERRULE_SHAPE(AssetRes, asset_res, "AssetRes", FERRULE_ASSET_RES)
FERRULE_SHAPE(PositionEntry, position_entry, "PositionEntry", FERRULE_POSITION_ENTRY)

// Orders: the log line's 9 fields first, in its order (kLoggedFields); then
// what an acceptance, a fill and a rejection read, frozen_trade_value last.
#define FERRULE_ORDER_REPORT(F)                                                                                 \
    F(client_order_id) F(security_id) F(order_price) F(order_status) F(order_qty) F(trade_qty)                  \
    F(total_trade_value) F(error_msg) F(last_match_qty) F(last_match_price) F(counter_order_id) F(error_code)   \
    F(frozen_trade_value)
#define FERRULE_TRADE_REPORT(F)  // on_trade reads nothing of its report
#define FERRULE_ORDER_ACTION_ERROR(F) F(client_order_id)
FERRULE_SHAPE(OrderReport, order_report, "OrderReport", FERRULE_ORDER_REPORT)
FERRULE_SHAPE(TradeReport, trade_report, "TradeReport", FERRULE_TRADE_REPORT)
FERRULE_SHAPE(OrderActionError, order_action_error, "OrderActionError", FERRULE_ORDER_ACTION_ERROR)
constexpr std::size_t kLoggedFields = 9;

// Algorithmic orders. The engine's models copy every field of the three
// state messages (from_vela): all of them are recorded.
#define FERRULE_ALGO_LOGIN_RES(F) F(client_seq_id) F(trader_id) F(error_code) F(error_msg)
#define FERRULE_CREATE_PARENT_ORDER_RES(F) F(client_seq_id) F(sys_quote_id) F(error_code) F(error_msg)
#define FERRULE_CANCEL_PARENT_ORDER_RES(F) F(sys_quote_id) F(error_code) F(error_msg)
#define FERRULE_CONTROL_PARENT_ORDER_RES(F) \
    F(control_type) F(algo_control_type) F(sys_quote_id) F(error_code) F(error_msg)
#define FERRULE_ALGO_PARENT_ORDER(F)                                                                            \
    F(sys_quote_id) F(client_seq_id) F(security_id) F(market_type) F(side) F(order_qty) F(trade_qty) F(status)  \
    F(start_time) F(end_time)
#define FERRULE_ALGO_CHILD_ORDER(F) \
    F(sys_quote_id) F(parent_sys_quote_id) F(security_id) F(order_qty) F(order_price) F(trade_qty) F(status)
#define FERRULE_ALGO_CHILD_TRADE(F) \
    F(sys_quote_id) F(parent_sys_quote_id) F(child_sys_quote_id) F(security_id) F(trade_qty) F(trade_price)
FERRULE_SHAPE(AlgoLoginRes, algo_login_res, "AlgoLoginRes", FERRULE_ALGO_LOGIN_RES)
FERRULE_SHAPE(CreateParentOrderRes, create_parent_order_res, "CreateParentOrderRes", FERRULE_CREATE_PARENT_ORDER_RES)
FERRULE_SHAPE(CancelParentOrderRes, cancel_parent_order_res, "CancelParentOrderRes", FERRULE_CANCEL_PARENT_ORDER_RES)
FERRULE_SHAPE(ControlParentOrderRes, control_parent_order_res, "ControlParentOrderRes",
              FERRULE_CONTROL_PARENT_ORDER_RES)
FERRULE_SHAPE(AlgoParentOrder, algo_parent_order, "AlgoParentOrderMsg", FERRULE_ALGO_PARENT_ORDER)
FERRULE_SHAPE(AlgoChildOrder, algo_child_order, "AlgoChildOrderMsg", FERRULE_ALGO_CHILD_ORDER)
FERRULE_SHAPE(AlgoChildTrade, algo_child_trade, "AlgoChildTradeMsg", FERRULE_ALGO_CHILD_TRADE)

// The engine's configuration, self.config.base, read by start-up and the
// trading-day clock.
#define FERRULE_CONFIG_BASE(F) F(md_type) F(order_way) F(accounts) F(algo_account) F(trading_calendar)
FERRULE_SHAPE(ConfigBase, config_base, "config.base", FERRULE_CONFIG_BASE)

}  // namespace ferrule
