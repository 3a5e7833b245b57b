// The credential store: the data-service login in environment variables.
#include <Python.h>

#include "glue/module.hpp"

namespace satchel {
namespace {

PyModuleDef satchel_def = {PyModuleDef_HEAD_INIT, "satchel", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr};

PyObject* init_module() {
    if (!glue::init_runtime()) return nullptr;
    return PyModule_Create(&satchel_def);
}

}  // namespace
}  // namespace satchel

PyMODINIT_FUNC PyInit_satchel() { return satchel::init_module(); }
