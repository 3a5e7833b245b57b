// How long each callback holds the gateway's thread, and how old market data
// is when it arrives: log-linear histograms (64 linear sub-buckets per power
// of two of nanoseconds, under 0.8 % error at a bucket's middle), one set per
// thread so that parallel gateway threads never share a cache line, merged
// when read. Off until set_latency(True): off, a call pays one flag test.
#pragma once
#include <Python.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "ferrule/callbacks.hpp"

namespace ferrule::latency {

// The market data whose age is measured, one row each:
//   X(kind, the callback that receives it)
// The stamp is the first time stamp the callback reads of its message.
#define FERRULE_AGED(X) \
    X(snapshot, on_snapshot) X(tick_order, on_tick_order) X(tick_trade, on_tick_trade) X(bar, on_bar)

enum class Aged : unsigned char {
#define FERRULE_AGED_ENUM(kind, callback) kind,
    FERRULE_AGED(FERRULE_AGED_ENUM)
#undef FERRULE_AGED_ENUM
    none
};
constexpr std::size_t kAged = static_cast<std::size_t>(Aged::none);

constexpr Aged aged_of(Callback c) {
#define FERRULE_AGED_OF(kind, callback) \
    if (c == Callback::callback) return Aged::kind;
    FERRULE_AGED(FERRULE_AGED_OF)
#undef FERRULE_AGED_OF
    return Aged::none;
}

namespace detail {
extern std::atomic<bool> enabled;
std::int64_t start() noexcept;
void finish(Callback c, Aged kind, std::int64_t t0) noexcept;
void note_stamp(long long stamp, bool readable) noexcept;
}  // namespace detail

// The wall clock at the call's entry when the histograms are on, else 0.
inline std::int64_t start() noexcept {
    return detail::enabled.load(std::memory_order_relaxed) ? detail::start() : 0;
}

// Records the call's time and, for market data, its message's age. Leaves
// any exception of the callback as it was.
template <Callback c>
inline void finish(std::int64_t t0) noexcept {
    if (t0) detail::finish(c, aged_of(c), t0);
}

// The message's exchange stamp, as the callback read it (no further read of
// the message): the first one noted in a call counts. Unreadable: not an int
// of 64 bits.
inline void note_stamp(long long stamp) noexcept {
    if (detail::enabled.load(std::memory_order_relaxed)) detail::note_stamp(stamp, true);
}
inline void note_unreadable() noexcept {
    if (detail::enabled.load(std::memory_order_relaxed)) detail::note_stamp(0, false);
}

// stats()["latency"], and reset_stats()'s part.
PyObject* stats();
void reset() noexcept;

// Adds set_latency(), latency_enabled() and latency_histograms() to the module.
int define_functions(PyObject* module);

}  // namespace ferrule::latency
