// The engine's services the bridge calls on its paths, each through the
// module global the engine bound at load (so a replacement takes effect).
#pragma once
#include <Python.h>

#include "glue/ref.hpp"

namespace ferrule {

// system_log.info(text). 0, or -1 with the error set.
int log_info(PyObject* text);

// copy.deepcopy(obj), through the module's `copy`.
glue::Ref deepcopy(PyObject* obj);

// Environment.get_instance(): the engine's environment, through the module's `Environment`.
glue::Ref environment();

}  // namespace ferrule
