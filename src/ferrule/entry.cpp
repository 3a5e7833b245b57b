#include "ferrule/entry.hpp"

#include "glue/names.hpp"

namespace ferrule {

namespace {

const glue::Name kNames[kCallbacks] = {
#define FERRULE_NAME(name) glue::Name{#name},
    FERRULE_CALLBACKS(FERRULE_NAME)
#undef FERRULE_NAME
};

EntryObserver observer = nullptr;
// Callbacks can arrive on several gateway threads: the nesting depth is per thread.
thread_local int depth = 0;

}  // namespace

CallCounts call_counts;

PyObject* callback_name(Callback c) { return kNames[static_cast<std::size_t>(c)]; }

void set_entry_observer(EntryObserver o) noexcept { observer = o; }

PyObject* enter(Callback c, glue::Impl impl, PyObject* const* args) {
    std::size_t i = static_cast<std::size_t>(c);
    ++call_counts.calls[i];
    if (observer) observer(c, args, depth > 0);
    ++depth;
    PyObject* result = impl(args);
    --depth;
    if (!result) ++call_counts.failures[i];
    return result;
}

}  // namespace ferrule
