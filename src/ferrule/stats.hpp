// What a monitor polls: ferrule.stats() and ferrule.reset_stats(). The
// hand-over counts live where events are published (publish.cpp) and where
// callbacks enter (entry.cpp); the few below belong to one callback each.
#pragma once
#include <Python.h>

#include "glue/threads.hpp"

namespace ferrule {

struct BridgeCounts {
    glue::Counter repeated_fills;     // matches withheld as already published
    glue::Counter unknown_orders;     // reports and refusals for orders not in orders_dict
    glue::Counter skipped_positions;  // position entries that failed to convert
    void reset() noexcept {
        repeated_fills.reset();
        unknown_orders.reset();
        skipped_positions.reset();
    }
};
extern BridgeCounts bridge_counts;

// d[key] = n, an int, for the dicts stats() returns: 0, or -1 with the error set.
int put_count(PyObject* d, PyObject* key, unsigned long long n);

// Adds stats() and reset_stats() to the module.
int define_stats_functions(PyObject* module);

}  // namespace ferrule
