// The engine's read side of the histories: the newest record, or a window of
// the newest records, of one instrument. Records are handed out as stored.
#include "ferrule/query.hpp"

#include "ferrule/state.hpp"
#include "glue/module.hpp"
#include "glue/threads.hpp"

namespace ferrule {

namespace {

// history[market_code] if the key is present; empty Ref and no error when it
// is not. A key removed between the test and the lookup (a day switch on
// another thread) raises KeyError, as the subscript would in Python. For an
// exact str key (no __eq__ or __hash__ of its own to observe) one lookup
// answers both, so a day switch meets it before or after, never between.
glue::Ref instrument_history(PyObject* history, PyObject* market_code, bool* present) {
    if (PyUnicode_CheckExact(market_code)) {
        glue::Ref q;
        int got = glue::dict_get(history, market_code, &q);
        *present = got != 0;
        return q;
    }
    int has = PyDict_Contains(history, market_code);
    *present = has > 0;
    if (has <= 0) return glue::Ref();
    glue::Ref q;
    int got = glue::dict_get(history, market_code, &q);
    if (got > 0) return q;
    if (got == 0) PyErr_SetObject(PyExc_KeyError, market_code);
    *present = true;
    return glue::Ref();
}

PyObject* current(PyObject* history, PyObject* market_code) {
    bool present;
    glue::Ref q = instrument_history(history, market_code, &present);
    if (!present) return PyErr_Occurred() ? nullptr : Py_NewRef(Py_None);
    if (!q) return nullptr;
    return PySequence_GetItem(q.get(), -1);
}

// The entries of the slice [-count:], oldest first, as a new list.
PyObject* window(PyObject* history, PyObject* market_code, PyObject* count) {
    bool present;
    glue::Ref q = instrument_history(history, market_code, &present);
    if (!present) return PyErr_Occurred() ? nullptr : Py_NewRef(Py_None);
    if (!q) return nullptr;
    glue::Ref start = glue::Ref::steal(PyNumber_Negative(count));
    if (!start) return nullptr;
    glue::Ref slice = glue::Ref::steal(PySlice_New(start.get(), nullptr, nullptr));
    if (!slice) return nullptr;
    glue::Ref all;
    {
        glue::StretchHold hold(bridge.history_queues);
        all = glue::Ref::steal(PySequence_List(q.get()));
    }
    if (!all) return nullptr;
    return PyObject_GetItem(all.get(), slice.get());
}

PyObject* get_current_bar(PyObject* const* a) { return current(bridge.history_bar, a[0]); }
PyObject* get_current_tick(PyObject* const* a) { return current(bridge.history_tick, a[0]); }
PyObject* history_ticks(PyObject* const* a) { return window(bridge.history_tick, a[0], a[1]); }
PyObject* history_bars(PyObject* const* a) { return window(bridge.history_bar, a[0], a[1]); }

const glue::Signature kQueries[] = {
    {"get_current_bar", {"market_code"}, 1, 1, get_current_bar, nullptr},
    {"get_current_tick", {"market_code"}, 1, 1, get_current_tick, nullptr},
    {"history_ticks", {"market_code", "count"}, 2, 2, history_ticks, nullptr},
    {"history_bars", {"market_code", "count"}, 2, 2, history_bars, nullptr},
};

}  // namespace

int define_query_functions(PyObject* module) {
    for (const glue::Signature& sig : kQueries)
        if (glue::add_function(module, sig) < 0) return -1;
    return 0;
}

}  // namespace ferrule
