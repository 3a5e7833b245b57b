#include "ferrule/stats.hpp"

#include <cstddef>

#include "ferrule/entry.hpp"
#include "ferrule/latency.hpp"
#include "ferrule/publish.hpp"
#include "ferrule/recording/recorder.hpp"
#include "glue/module.hpp"
#include "glue/names.hpp"
#include "glue/ref.hpp"

namespace ferrule {

BridgeCounts bridge_counts;

int put_count(PyObject* d, PyObject* key, unsigned long long n) {
    glue::Ref v = glue::Ref::steal(PyLong_FromUnsignedLongLong(n));
    return v ? PyDict_SetItem(d, key, v.get()) : -1;
}

namespace {

using glue::Ref;

glue::Name k_published{"published"};
glue::Name k_overwritten{"overwritten"};
glue::Name k_calls{"calls"};
glue::Name k_failures{"failures"};
glue::Name k_repeated_fills{"repeated_fills"};
glue::Name k_unknown_orders{"unknown_orders"};
glue::Name k_skipped_positions{"skipped_positions"};
glue::Name k_recording{"recording"};
glue::Name k_latency{"latency"};


Ref published() {
    Ref d = Ref::steal(PyDict_New());
    if (!d) return Ref();
    const PublishCounts& c = publish_counts();
    for (std::size_t i = 0; i < kEventKinds; ++i)
        if (put_count(d.get(), event_name(static_cast<EventKind>(i)), c.published[i].get()) < 0) return Ref();
    PyObject* other = other_published();
    if (other && PyDict_Update(d.get(), other) < 0) return Ref();
    return d;
}

Ref per_callback(const glue::Counter* n) {
    Ref d = Ref::steal(PyDict_New());
    if (!d) return Ref();
    for (std::size_t i = 0; i < kCallbacks; ++i)
        if (put_count(d.get(), callback_name(static_cast<Callback>(i)), n[i].get()) < 0) return Ref();
    return d;
}

PyObject* stats(PyObject* const*) {
    Ref d = Ref::steal(PyDict_New());
    if (!d) return nullptr;
    Ref pub = published();
    if (!pub || PyDict_SetItem(d.get(), k_published, pub.get()) < 0) return nullptr;
    if (put_count(d.get(), k_overwritten, publish_counts().overwritten.get()) < 0) return nullptr;
    Ref calls = per_callback(call_counts.calls);
    if (!calls || PyDict_SetItem(d.get(), k_calls, calls.get()) < 0) return nullptr;
    Ref failures = per_callback(call_counts.failures);
    if (!failures || PyDict_SetItem(d.get(), k_failures, failures.get()) < 0) return nullptr;
    if (put_count(d.get(), k_repeated_fills, bridge_counts.repeated_fills.get()) < 0 ||
        put_count(d.get(), k_unknown_orders, bridge_counts.unknown_orders.get()) < 0 ||
        put_count(d.get(), k_skipped_positions, bridge_counts.skipped_positions.get()) < 0)
        return nullptr;
    Ref recording = Ref::steal(recording_stats());
    if (!recording || PyDict_SetItem(d.get(), k_recording, recording.get()) < 0) return nullptr;
    Ref latency = Ref::steal(latency::stats());
    if (!latency || PyDict_SetItem(d.get(), k_latency, latency.get()) < 0) return nullptr;
    return d.release();
}

PyObject* reset_stats(PyObject* const*) {
    reset_publish_counts();
    call_counts.reset();
    bridge_counts.reset();
    latency::reset();
    Py_RETURN_NONE;
}

const glue::Signature kStats[] = {
    {"stats", {}, 0, 0, stats,
     "The bridge's counters since load or since they were last reset: events published by type, events that\n"
     "overwrote an unread entry of a full event_queue, calls and failures by callback, fills withheld as\n"
     "repeated, reports for unknown orders and position entries skipped. A new dict of plain ints, and under\n"
     "'recording' the current or last recording: active, path, records and bytes written, raw_bytes before\n"
     "compression, blocks, records dropped, and the error that ended it (None); reset_stats() leaves it.\n"
     "Under 'latency' (see set_latency()): enabled, time_zone, and per callback ('callbacks') and per market\n"
     "data kind ('ages') count, p50, p90, p99, p99.9 and max in seconds (None before the first), negative,\n"
     "and for ages unstamped."},
    {"reset_stats", {}, 0, 0, reset_stats, "Sets every counter of stats() to zero and empties the latency histograms."},
};

}  // namespace

int define_stats_functions(PyObject* module) {
    for (const glue::Signature& sig : kStats)
        if (glue::add_function(module, sig) < 0) return -1;
    return 0;
}

}  // namespace ferrule
