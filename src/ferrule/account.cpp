#include "ferrule/methods.hpp"

namespace ferrule {

PyObject* on_login(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "on_login");
    return nullptr;
}

PyObject* on_query_asset(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "on_query_asset");
    return nullptr;
}

PyObject* on_query_position(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "on_query_position");
    return nullptr;
}

}  // namespace ferrule
