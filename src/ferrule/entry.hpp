// The one door every method of VelaStrategy goes through: the gateway's
// callbacks, its timers and the engine's start-up calls. Here each call is
// counted, failures are counted (the exception goes on unchanged), its time
// goes into the latency histograms when they are on, and a recorder, when
// one is on, sees the call before it runs.
#pragma once
#include <Python.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "ferrule/callbacks.hpp"
#include "ferrule/latency.hpp"
#include "glue/function.hpp"
#include "glue/threads.hpp"

namespace ferrule {

struct CallCounts {
    glue::Counter calls[kCallbacks];
    glue::Counter failures[kCallbacks];
    void reset() noexcept {
        for (std::size_t i = 0; i < kCallbacks; ++i) {
            calls[i].reset();
            failures[i].reset();
        }
    }
};
extern CallCounts call_counts;

// Sees every call on its way in, with the method's arguments (args[0] is the
// instance); `nested` when the call comes from inside another method (a timer
// arming the next one), which replaying the outer call repeats by itself.
// `wall` is the call's wall-clock time in ns when the door read it (the
// latency histograms are on), else 0. It must leave no exception set: what it
// cannot do is its own concern.
using EntryObserver = void (*)(Callback c, PyObject* const* args, bool nested, std::int64_t wall);
void set_entry_observer(EntryObserver observer) noexcept;

namespace detail {
// Read at every call on any thread; set only by the recorder's switch.
extern std::atomic<EntryObserver> observer;
// Shows the observer the call and counts the depth.
void watch(Callback c, PyObject* const* args, std::int64_t wall);
void unwatch() noexcept;
}  // namespace detail

// The Impl that the class body lists for method `c`: the door, compiled into
// each method.
template <Callback c, glue::Impl impl>
PyObject* entered(PyObject* const* args) {
    constexpr std::size_t i = static_cast<std::size_t>(c);
    ++call_counts.calls[i];
    std::int64_t t0 = latency::start();
    bool watched = detail::observer.load(std::memory_order_relaxed) != nullptr;
    if (watched) detail::watch(c, args, t0);
    PyObject* result = impl(args);
    if (watched) detail::unwatch();
    if (!result) ++call_counts.failures[i];
    latency::finish<c>(t0);
    return result;
}

}  // namespace ferrule
