#include "ferrule/entry.hpp"

namespace ferrule {

namespace {

EntryObserver observer = nullptr;
// Callbacks can arrive on several gateway threads: how deep calls are nested is per thread.
thread_local int nesting = 0;

}  // namespace

CallCounts call_counts;

void set_entry_observer(EntryObserver o) noexcept { observer = o; }

PyObject* enter(Callback c, glue::Impl impl, PyObject* const* args) {
    std::size_t i = static_cast<std::size_t>(c);
    ++call_counts.calls[i];
    // The depth is kept only while a recorder watches: a call entered before
    // it started is not in the recording, so what that call runs is outermost.
    bool watched = observer != nullptr;
    if (watched) {
        observer(c, args, nesting > 0);
        ++nesting;
    }
    PyObject* result = impl(args);
    if (watched) --nesting;
    if (!result) ++call_counts.failures[i];
    return result;
}

}  // namespace ferrule
