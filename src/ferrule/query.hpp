#pragma once
#include <Python.h>

namespace ferrule {

// get_current_bar, get_current_tick, history_ticks, history_bars.
int define_query_functions(PyObject* module);

}  // namespace ferrule
