#include "ferrule/entry.hpp"

namespace ferrule {

namespace {

// Callbacks can arrive on several gateway threads: how deep calls are nested is per thread.
thread_local int nesting = 0;

}  // namespace

CallCounts call_counts;

namespace detail {

std::atomic<EntryObserver> observer{nullptr};

void watch(Callback c, PyObject* const* args, std::int64_t wall) {
    // The depth is kept only while a recorder watches: a call entered before
    // it started is not in the recording, so what that call runs is outermost.
    // Stopped by another thread since the door looked: nothing to show.
    if (EntryObserver o = observer.load(std::memory_order_acquire)) o(c, args, nesting > 0, wall);
    ++nesting;
}

void unwatch() noexcept { --nesting; }

}  // namespace detail

void set_entry_observer(EntryObserver o) noexcept { detail::observer.store(o, std::memory_order_release); }

}  // namespace ferrule
