// The engine's instrument key: security_id + "." + the exchange suffix of a
// gateway market type ("000001" on SZSE -> "000001.XSHE"). Market data and
// positions both build it; this is its one home.
#pragma once
#include <Python.h>

#include <utility>

#include "ferrule/shapes.hpp"
#include "ferrule/state.hpp"
#include "glue/fastcall.hpp"

namespace ferrule {

namespace detail {
inline Global gl_get_exchane_from_vela_mdtype{"get_exchane_from_vela_mdtype"};
inline glue::Name k_dot{"."};
// head + suffix, where an exact str head still lacks its ".".
glue::Ref finish_market_code(glue::Ref head, bool bare, PyObject* suffix);
}  // namespace detail

// security_id + "." + get_exchane_from_vela_mdtype(read_market()), evaluated
// as Python does: the first `+` comes before the function is looked up (a
// security_id that is not a str fails there, with Python's message), and the
// market type is read after it.
template <class ReadMarket>
glue::Ref market_code(glue::Ref security_id, ReadMarket&& read_market) {
    // "." added to an exact str can neither fail nor run code: it is joined
    // in one allocation at the end.
    bool bare = PyUnicode_CheckExact(security_id.get());
    glue::Ref head = bare ? std::move(security_id)
                          : glue::Ref::steal(PyNumber_Add(security_id.get(), detail::k_dot));
    if (!head) return glue::Ref();
    glue::Ref exchange = detail::gl_get_exchane_from_vela_mdtype.get();
    if (!exchange) return glue::Ref();
    glue::Ref market = read_market();
    if (!market) return glue::Ref();
    glue::Ref suffix = glue::call(exchange.get(), market.get());
    return suffix ? detail::finish_market_code(std::move(head), bare, suffix.get()) : glue::Ref();
}

namespace {

// The same from one message, msg.<id> and msg.<market> read in a row: between
// the two reads only the `+ "."` (which runs code unless the id is an exact
// str) and the exchange function's lookup in the namespace. Internal to each
// file, with the fields as template arguments, so that it is compiled into
// each callback as a function of the file's own would be (shared, it cost
// about 80 instructions a market-data callback).
template <class F, F Id, F Market>
glue::Ref read_market_code(ShapeOf<F>& shape, PyObject* msg) {
    typename ShapeOf<F>::Run run(shape, msg);
    glue::Ref security_id = run.field(Id);
    if (!security_id) return glue::Ref();
    if (!PyUnicode_CheckExact(security_id.get())) run.release();
    return market_code(std::move(security_id), [&] {
        glue::Ref m = run.field(Market);
        run.release();  // the exchange function is called next
        return m;
    });
}

}  // namespace

}  // namespace ferrule
