#include "ferrule/methods.hpp"

namespace ferrule {

PyObject* on_snapshot(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "on_snapshot");
    return nullptr;
}

PyObject* on_tick_order(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "on_tick_order");
    return nullptr;
}

PyObject* on_tick_trade(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "on_tick_trade");
    return nullptr;
}

PyObject* on_bar(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "on_bar");
    return nullptr;
}

}  // namespace ferrule
