// Login and the two account queries it triggers. The answers become the
// engine's Asset and Position objects, published on event_queue; the engine
// applies them to its own account and portfolio.
#include <Python.h>

#include <utility>

#include "ferrule/callbacks.hpp"
#include "ferrule/engine.hpp"
#include "ferrule/instrument.hpp"
#include "ferrule/publish.hpp"
#include "ferrule/shapes.hpp"
#include "ferrule/state.hpp"
#include "ferrule/stats.hpp"

namespace ferrule {

namespace {

using glue::Name;
using glue::Ref;

Name k_logged_in{"logged_in"};
Name k_context{"context"};
Name k_query_asset{"query_asset"};
Name k_query_position{"query_position"};
Global gl_Asset{"Asset"};
Global gl_Position{"Position"};
Global gl_POSITION_DIRECTION{"POSITION_DIRECTION"};
Name k_LONG{"LONG"};
Name k_set_state{"set_state"};
Global gl_user_system_log{"user_system_log"};
Name k_warning{"warning"};

// Asset(...) takes these fields of the asset answer, in this order.
constexpr AssetRes kAssetArgs[] = {
    AssetRes::fund_account_id, AssetRes::available_t1, AssetRes::frozen_all,       AssetRes::market_value,
    AssetRes::total_asset,     AssetRes::leaves_value, AssetRes::init_leaves_value,
};

// Position.set_state: (state key, field of the position entry), in order.
struct StateField {
    Name key;
    PositionEntry field;
};
StateField kPositionState[] = {
    {Name{"quantity"}, PositionEntry::leaves_qty},       {Name{"available_qty"}, PositionEntry::available_qty},
    {Name{"avg_price"}, PositionEntry::cost_price},      {Name{"last_price"}, PositionEntry::last_price},
    {Name{"market_value"}, PositionEntry::market_value}, {Name{"daily_pnl"}, PositionEntry::profit_loss},
};

glue::KwNames kw_login{"rid", "account_id", "code", "msg"};
glue::KwNames kw_asset_failed{"rid", "account_id", "code", "msg"};
glue::KwNames kw_asset{"rid", "account_id", "asset"};
glue::KwNames kw_query_failed{"rid", "code", "msg"};
glue::KwNames kw_positions{"rid", "positions"};

// str(message.<field>)
template <class F>
Ref str_field(ShapeOf<F>& shape, PyObject* message, F field) {
    Ref v = shape.field(message, field);
    return v ? Ref::steal(PyObject_Str(v.get())) : Ref();
}

// `value == 0`: only a value equal to the number 0 is a success (None or
// the text "0" is a failure). 1, 0, or -1 with the error set.
int is_success(PyObject* value) {
    Ref zero = Ref::steal(PyLong_FromLong(0));
    return zero ? glue::eq(value, zero.get()) : -1;
}

// self.context.<request>(login_res.fund_account_id)
int send_query(PyObject* self, PyObject* request, PyObject* login_res) {
    Ref context = glue::getattr(self, k_context);
    if (!context) return -1;
    Ref method = glue::getattr(context.get(), request);
    if (!method) return -1;
    Ref account = shapes::login_res.field(login_res, LoginRes::fund_account_id);
    if (!account) return -1;
    return glue::call(method.get(), account.get()) ? 0 : -1;
}

int publish_asset(PyObject* asset_res, PyObject* request_id) {
    Ref cls = gl_Asset.get();
    if (!cls) return -1;
    Ref values[7];
    if (shapes::asset_res.fields(asset_res, kAssetArgs, values) < 0) return -1;
    Ref asset = glue::call(cls.get(), values[0].get(), values[1].get(), values[2].get(), values[3].get(),
                           values[4].get(), values[5].get(), values[6].get());
    if (!asset) return -1;
    EventCall event(EventKind::QUERY_ACCOUNT);
    if (!event) return -1;
    Ref account_id = shapes::asset_res.field(asset_res, AssetRes::fund_account_id);
    if (!account_id) return -1;
    return event.publish({request_id, account_id.get(), asset.get()}, kw_asset);
}

Ref position_state(PyObject* pos) {
    Ref state = Ref::steal(PyDict_New());
    if (!state) return Ref();
    // Storing under a str key in a dict of str keys runs no code: the reads are in a row.
    ShapeOf<PositionEntry>::Run run(shapes::position_entry, pos);
    for (const StateField& f : kPositionState) {
        Ref v = run.field(f.field);
        if (!v || PyDict_SetItem(state.get(), f.key, v.get()) < 0) return Ref();
    }
    return state;
}

// One entry as a long Position loaded with set_state; empty Ref on error.
Ref build_position(PyObject* pos) {
    Ref cls = gl_Position.get();
    if (!cls) return Ref();
    // security_id + "." + get_exchane_from_vela_mdtype(market_id)
    Ref market_code = read_market_code<PositionEntry, PositionEntry::security_id, PositionEntry::market_id>(
        shapes::position_entry, pos);
    if (!market_code) return Ref();
    Ref long_ = gl_POSITION_DIRECTION.attr(k_LONG);
    if (!long_) return Ref();
    Ref init_qty = shapes::position_entry.field(pos, PositionEntry::init_qty);
    if (!init_qty) return Ref();
    Ref position = glue::call(cls.get(), market_code.get(), long_.get(), init_qty.get());
    if (!position) return Ref();
    Ref set_state = glue::getattr(position.get(), k_set_state);
    if (!set_state) return Ref();
    Ref state = position_state(pos);
    if (!state || !glue::call(set_state.get(), state.get())) return Ref();
    return position;
}

// user_system_log.warning(...) for a skipped entry, as Python evaluates it:
// the logger and its method first, then the text.
int write_warning(PyObject* pos, PyObject* error) {
    Ref log = gl_user_system_log.get();
    if (!log) return -1;
    Ref warning = glue::getattr(log.get(), k_warning);
    if (!warning) return -1;
    Ref security_id = str_field(shapes::position_entry, pos, PositionEntry::security_id);
    if (!security_id) return -1;
    Ref error_text = Ref::steal(PyObject_Str(error));
    if (!error_text) return -1;
    Ref line = Ref::steal(PyUnicode_FromFormat("on_query_position position do not add: %U  exception: %U",
                                               security_id.get(), error_text.get()));
    return line && glue::call(warning.get(), line.get()) ? 0 : -1;
}

// The handler for an entry that failed with an Exception: one warning, then
// the error is dropped. An error while writing the warning (the entry's
// security_id itself may be what failed) propagates with the caught one as
// its __context__, as it would from an except block.
int warn_skipped(PyObject* pos) {
    glue::PendingError caught;
    if (write_warning(pos, caught.get()) == 0) return 0;
    caught.chain_into_current();
    return -1;
}

}  // namespace

PyObject* on_login(PyObject* const* a) {
    PyObject* self = a[0];
    PyObject* login_res = a[1];
    auto& shape = shapes::login_res;
    Ref account = str_field(shape, login_res, LoginRes::fund_account_id);
    if (!account) return nullptr;
    Ref code = str_field(shape, login_res, LoginRes::error_code);
    if (!code) return nullptr;
    Ref line =
        Ref::steal(PyUnicode_FromFormat("on_login fund_account_id:%U, error_code:%U", account.get(), code.get()));
    if (!line || log_info(line.get()) < 0) return nullptr;

    EventCall event(EventKind::LOGIN);
    if (!event) return nullptr;
    Ref values[4];
    if (shape.fields(login_res, {LoginRes::client_seq_id, LoginRes::fund_account_id, LoginRes::error_code,
                                 LoginRes::error_msg}, values) < 0)
        return nullptr;
    if (event.publish({values[0].get(), values[1].get(), values[2].get(), values[3].get()}, kw_login) < 0)
        return nullptr;

    Ref error_code = shape.field(login_res, LoginRes::error_code);
    if (!error_code) return nullptr;
    int ok = is_success(error_code.get());
    if (ok < 0) return nullptr;
    if (!ok) Py_RETURN_NONE;
    if (PyObject_SetAttr(self, k_logged_in, Py_True) < 0) return nullptr;
    // Assets first, then positions; a failing request stops before the next.
    if (send_query(self, k_query_asset, login_res) < 0 || send_query(self, k_query_position, login_res) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* on_query_asset(PyObject* const* a) {
    PyObject* asset_res = a[1];
    PyObject* request_id = a[2];
    PyObject* code = a[3];
    PyObject* msg = a[4];
    Ref account = str_field(shapes::asset_res, asset_res, AssetRes::fund_account_id);
    if (!account) return nullptr;
    Ref leaves = str_field(shapes::asset_res, asset_res, AssetRes::leaves_value);
    if (!leaves) return nullptr;
    Ref code_text = Ref::steal(PyObject_Str(code));
    if (!code_text) return nullptr;
    Ref msg_text = Ref::steal(PyObject_Str(msg));
    if (!msg_text) return nullptr;
    Ref line = Ref::steal(PyUnicode_FromFormat("on_query_asset, %U, leaves_value:%U code %U  ms %U", account.get(),
                                               leaves.get(), code_text.get(), msg_text.get()));
    if (!line || log_info(line.get()) < 0) return nullptr;

    int ok = is_success(code);
    if (ok < 0) return nullptr;
    if (ok) return publish_asset(asset_res, request_id) < 0 ? nullptr : Py_NewRef(Py_None);
    EventCall event(EventKind::QUERY_ACCOUNT);
    if (!event) return nullptr;
    Ref account_id = shapes::asset_res.field(asset_res, AssetRes::fund_account_id);
    if (!account_id || event.publish({request_id, account_id.get(), code, msg}, kw_asset_failed) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* on_query_position(PyObject* const* a) {
    PyObject* positions_res = a[1];
    PyObject* request_id = a[2];
    PyObject* code = a[3];
    PyObject* msg = a[4];
    Ref code_text = Ref::steal(PyObject_Str(code));
    if (!code_text) return nullptr;
    Ref msg_text = Ref::steal(PyObject_Str(msg));
    if (!msg_text) return nullptr;
    Ref line = Ref::steal(PyUnicode_FromFormat("on_query_position: code:%U, msg:%U", code_text.get(), msg_text.get()));
    if (!line || log_info(line.get()) < 0) return nullptr;

    int ok = is_success(code);
    if (ok < 0) return nullptr;
    if (!ok) {
        EventCall event(EventKind::QUERY_POSITION);
        if (!event || event.publish({request_id, code, msg}, kw_query_failed) < 0) return nullptr;
        Py_RETURN_NONE;
    }
    if (!PyList_CheckExact(positions_res) || PyList_GET_SIZE(positions_res) == 0) Py_RETURN_NONE;

    Ref positions = Ref::steal(PyList_New(0));
    if (!positions) return nullptr;
    // Index walk as the list iterator does: the size is read afresh each time
    // and each entry is held, so code run by a conversion may change the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(positions_res); ++i) {
        Ref pos = Ref::borrow(PyList_GET_ITEM(positions_res, i));
        Ref position = build_position(pos.get());
        if (position) {
            if (PyList_Append(positions.get(), position.get()) < 0) return nullptr;
            continue;
        }
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
        ++bridge_counts.skipped_positions;
        if (warn_skipped(pos.get()) < 0) return nullptr;
    }
    if (publish_now(EventKind::QUERY_POSITION, {request_id, positions.get()}, kw_positions) < 0) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace ferrule
