// Algorithmic orders. The service's answers go to the engine field by field;
// parent-order, child-order and child-trade states become the engine's model
// objects, kept (live) in the books and published as deep copies.
#include <Python.h>

#include <cstddef>
#include <initializer_list>

#include "ferrule/callbacks.hpp"
#include "ferrule/engine.hpp"
#include "ferrule/factory.hpp"
#include "ferrule/publish.hpp"
#include "ferrule/shapes.hpp"
#include "ferrule/state.hpp"
#include "glue/module.hpp"
#include "glue/threads.hpp"

namespace ferrule {

namespace {

using glue::Name;
using glue::Ref;

Name k_pyvela_enums{"pyvela.enums"};
Name k_AlgoControlType{"AlgoControlType"};
Name k_Pause{"Pause"};
Name k_Resume{"Resume"};
Name k_from_vela{"from_vela"};
// The engine's model of each state message: Model.from_vela(message, previous).
Factory parent_order_model{"AlgoParentOrder", k_from_vela};
Factory child_order_model{"AlgoChildOrder", k_from_vela};
Factory child_trade_model{"AlgoChildTrade", k_from_vela};

glue::KwNames kw_algo_login{"req_id", "algo_account", "code", "msg"};
glue::KwNames kw_create{"req_id", "parent_order_id", "code", "msg"};
glue::KwNames kw_parent_answer{"parent_order_id", "code", "msg"};
glue::KwNames kw_parent_order{"algo_parent_order"};
glue::KwNames kw_child_order{"algo_child_order"};
glue::KwNames kw_child_trade{"algo_child_trade"};

// Event(EVENT.<member>, **{kw[i]: message.<fields[i]>}), values unchanged.
template <class F>
PyObject* forward(EventKind kind, ShapeOf<F>& shape, PyObject* message, std::initializer_list<F> fields,
                  const glue::KwNames& kw) {
    constexpr std::size_t kMaxFields = 4;
    EventCall event(kind);
    if (!event) return nullptr;
    Ref values[kMaxFields];
    PyObject* raw[kMaxFields];
    std::size_t n = 0;
    {
        typename ShapeOf<F>::Run run(shape, message);  // read in a row, let go before the event is built
        for (F field : fields) {
            if (n == kMaxFields) break;
            values[n] = run.field(field);
            if (!values[n]) return nullptr;
            raw[n] = values[n].get();
            ++n;
        }
    }
    if (event.publish(raw, n, kw) < 0) return nullptr;
    Py_RETURN_NONE;
}

// `from pyvela.enums import AlgoControlType`, at each call as the method's
// own import would be.
Ref algo_control_type() {
    Ref enums = Ref::steal(PyImport_Import(k_pyvela_enums));
    if (!enums) return Ref();
    Ref member;
    int has = glue::lookup_attr(enums.get(), k_AlgoControlType, &member);
    if (has < 0) return Ref();
    return has ? std::move(member) : glue::import_from(enums.get(), "AlgoControlType");
}

// res.<field> == AlgoControlType.<member>
int control_is(PyObject* res, ControlParentOrderRes field, PyObject* control_type, PyObject* member) {
    Ref action = shapes::control_parent_order_res.field(res, field);
    if (!action) return -1;
    Ref wanted = glue::getattr(control_type, member);
    return wanted ? glue::eq(action.get(), wanted.get()) : -1;
}

// One state message: the previous object (or None) from the book, the new one
// from the model's from_vela, stored, then published as a deep copy. The key
// (sys_quote_id) is read afresh at each use.
//
// from_vela is Python code, during which another gateway thread may store an
// update of the same key. The new object is stored only if the book still
// holds, under the key it was looked up by, the one it was built on: looked
// at and written in one piece (for the keys gateways send, ints and text,
// whose hash and == are the interpreter's own); otherwise it is built again on
// the newer one, so an update racing another is never lost and each builds on
// the last. The look reuses the key already read, so the key is read three
// times for a known order and twice for a new one, as without the race.
//
// Another thread's store only makes this one try again, however often (each
// lost try is someone's update kept); only a from_vela that itself stores into
// the books, on this thread, is cut short, on its last try.
thread_local unsigned long long stores_on_this_thread = 0;
glue::StretchLock books;

template <class F>
PyObject* update_book(PyObject* book, Factory& model, EventKind kind, const glue::KwNames& kw, ShapeOf<F>& shape,
                      PyObject* message) {
    constexpr int kTries = 16;
    Ref key = shape.field(message, F::sys_quote_id);
    if (!key) return nullptr;
    int known = PyDict_Contains(book, key.get());
    if (known < 0) return nullptr;
    Ref previous;  // empty: None
    if (known) {
        key = shape.field(message, F::sys_quote_id);
        if (!key) return nullptr;
        // dict.get: None if the entry went away meanwhile.
        if (glue::dict_get(book, key.get(), &previous) < 0) return nullptr;
    }
    Ref obj;
    for (int own_tries = 1;;) {
        const unsigned long long stores_before = stores_on_this_thread;
        obj = model.call(nullptr, message, previous ? previous.get() : Py_None);
        if (!obj) return nullptr;
        const bool reentered = stores_on_this_thread != stores_before;
        Ref store_key = shape.field(message, F::sys_quote_id);
        if (!store_key) return nullptr;
        Ref now;
        bool stored = false;
        int rc;
        {
            glue::StretchHold hold(books);
            rc = glue::dict_get(book, key.get(), &now);
            if (rc >= 0 && (now.get() == previous.get() || (reentered && own_tries == kTries))) {
                rc = PyDict_SetItem(book, store_key.get(), obj.get());
                stored = true;
            }
        }
        if (rc < 0) return nullptr;
        if (stored) {
            ++stores_on_this_thread;
            break;
        }
        if (reentered) ++own_tries;
        previous = std::move(now);
    }
    EventCall event(kind);
    if (!event) return nullptr;
    Ref copy = deepcopy(obj.get());
    if (!copy || event.publish({copy.get()}, kw) < 0) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace

PyObject* on_algo_login(PyObject* const* a) {
    using F = AlgoLoginRes;
    PyObject* res = a[1];
    return forward(EventKind::ALGO_LOGIN, shapes::algo_login_res, res,
                   {F::client_seq_id, F::trader_id, F::error_code, F::error_msg}, kw_algo_login);
}

PyObject* on_create_algo_parent_order_res(PyObject* const* a) {
    using F = CreateParentOrderRes;
    PyObject* res = a[1];
    return forward(EventKind::PARENT_ORDER_CREATE, shapes::create_parent_order_res, res,
                   {F::client_seq_id, F::sys_quote_id, F::error_code, F::error_msg}, kw_create);
}

PyObject* on_cancel_algo_parent_order_res(PyObject* const* a) {
    using F = CancelParentOrderRes;
    PyObject* res = a[1];
    return forward(EventKind::PARENT_ORDER_CANCEL, shapes::cancel_parent_order_res, res,
                   {F::sys_quote_id, F::error_code, F::error_msg}, kw_parent_answer);
}

// The pause test reads control_type, the resume test algo_control_type.
PyObject* on_control_algo_parent_order_res(PyObject* const* a) {
    using F = ControlParentOrderRes;
    PyObject* res = a[1];
    Ref control_type = algo_control_type();
    if (!control_type) return nullptr;
    int r = control_is(res, F::control_type, control_type.get(), k_Pause);
    if (r < 0) return nullptr;
    if (r)
        return forward(EventKind::PARENT_ORDER_PAUSE, shapes::control_parent_order_res, res,
                       {F::sys_quote_id, F::error_code, F::error_msg}, kw_parent_answer);
    r = control_is(res, F::algo_control_type, control_type.get(), k_Resume);
    if (r < 0) return nullptr;
    if (r)
        return forward(EventKind::PARENT_ORDER_RESUME, shapes::control_parent_order_res, res,
                       {F::sys_quote_id, F::error_code, F::error_msg}, kw_parent_answer);
    Py_RETURN_NONE;
}

PyObject* on_algo_parent_order_update(PyObject* const* a) {
    PyObject* parent_order = a[1];
    return update_book(bridge.algo_parent_orders, parent_order_model, EventKind::PARENT_ORDER_UPDATE, kw_parent_order,
                       shapes::algo_parent_order, parent_order);
}

PyObject* on_algo_child_order_update(PyObject* const* a) {
    PyObject* child_order = a[1];
    return update_book(bridge.algo_child_orders, child_order_model, EventKind::CHILD_ORDER_UPDATE, kw_child_order,
                       shapes::algo_child_order, child_order);
}

PyObject* on_algo_child_order_trade(PyObject* const* a) {
    PyObject* child_trade = a[1];
    return update_book(bridge.algo_child_trades, child_trade_model, EventKind::CHILD_ORDER_TRADE, kw_child_trade,
                       shapes::algo_child_trade, child_trade);
}

}  // namespace ferrule
