#include "ferrule/methods.hpp"

namespace ferrule {

PyObject* on_order(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "on_order");
    return nullptr;
}

PyObject* on_trade(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "on_trade");
    return nullptr;
}

PyObject* on_order_action_error(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "on_order_action_error");
    return nullptr;
}

}  // namespace ferrule
