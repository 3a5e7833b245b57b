#include "ferrule/methods.hpp"

namespace ferrule {

PyObject* on_algo_login(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "on_algo_login");
    return nullptr;
}

PyObject* on_create_algo_parent_order_res(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "on_create_algo_parent_order_res");
    return nullptr;
}

PyObject* on_cancel_algo_parent_order_res(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "on_cancel_algo_parent_order_res");
    return nullptr;
}

PyObject* on_control_algo_parent_order_res(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "on_control_algo_parent_order_res");
    return nullptr;
}

PyObject* on_algo_parent_order_update(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "on_algo_parent_order_update");
    return nullptr;
}

PyObject* on_algo_child_order_update(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "on_algo_child_order_update");
    return nullptr;
}

PyObject* on_algo_child_order_trade(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "on_algo_child_order_trade");
    return nullptr;
}

}  // namespace ferrule
