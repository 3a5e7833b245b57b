// What a monitor polls: ferrule.stats() and ferrule.reset_stats(). The
// hand-over counts live where events are published (publish.cpp) and where
// callbacks enter (entry.cpp); the few below belong to one callback each.
#pragma once
#include <Python.h>

namespace ferrule {

struct BridgeCounts {
    unsigned long long repeated_fills = 0;     // matches withheld as already published
    unsigned long long unknown_orders = 0;     // reports and refusals for orders not in orders_dict
    unsigned long long skipped_positions = 0;  // position entries that failed to convert
};
extern BridgeCounts bridge_counts;

// Adds stats() and reset_stats() to the module.
int define_stats_functions(PyObject* module);

}  // namespace ferrule
