// The `corvina` command line.
#include <Python.h>

#include "glue/module.hpp"

namespace pylon {
namespace {

PyModuleDef pylon_def = {PyModuleDef_HEAD_INIT, "pylon", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr};

PyObject* init_module() {
    if (!glue::init_runtime()) return nullptr;
    return PyModule_Create(&pylon_def);
}

}  // namespace
}  // namespace pylon

PyMODINIT_FUNC PyInit_pylon() { return pylon::init_module(); }
