#include "ferrule/methods.hpp"

namespace ferrule {

PyObject* create_time_listener(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "create_time_listener");
    return nullptr;
}

PyObject* send_day_event(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "send_day_event");
    return nullptr;
}

PyObject* send_before_trading_event(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "send_before_trading_event");
    return nullptr;
}

PyObject* send_after_trading_event(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "send_after_trading_event");
    return nullptr;
}

PyObject* send_open_auction_event(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "send_open_auction_event");
    return nullptr;
}

PyObject* set_timer(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "set_timer");
    return nullptr;
}

}  // namespace ferrule
