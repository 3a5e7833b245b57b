#include "ferrule/latency.hpp"

#include <datetime.h>
#include <time.h>

#include <cstdlib>
#include <mutex>
#include <memory>

#include "ferrule/stats.hpp"
#include "glue/function.hpp"
#include "glue/module.hpp"
#include "glue/names.hpp"
#include "glue/ref.hpp"
#include "glue/runtime.hpp"
#include "glue/threads.hpp"

namespace ferrule::latency {

namespace {

using glue::Ref;

// Bucket i < 128 holds exactly i ns; above, 64 buckets per power of two, the
// last open-ended (past 2**38 ns, about 275 s, the exact max still shows).
constexpr int kSubBits = 6;
constexpr std::uint64_t kSub = 1ULL << kSubBits;
constexpr int kTopShift = 31;
constexpr std::size_t kBuckets = (kTopShift + 2) * kSub;

std::size_t bucket_of(std::uint64_t v) noexcept {
    if (v < 2 * kSub) return static_cast<std::size_t>(v);
    int shift = 63 - __builtin_clzll(v) - kSubBits;
    if (shift > kTopShift) return kBuckets - 1;
    return static_cast<std::size_t>(shift * kSub + (v >> shift));
}

// [lower, upper) of bucket i, in ns.
void bounds_of(std::size_t i, std::uint64_t* lower, std::uint64_t* upper) noexcept {
    if (i < 2 * kSub) {
        *lower = i;
        *upper = i + 1;
        return;
    }
    std::size_t shift = i / kSub - 1;
    std::uint64_t sub = i - shift * kSub;
    *lower = sub << shift;
    *upper = (sub + 1) << shift;
}

using Tally = std::atomic<std::uint64_t>;

// Only the owning thread adds; a reset or a read comes from any thread.
void bump(Tally& t, std::uint64_t n = 1) noexcept {
    if constexpr (glue::kFreeThreaded)
        t.fetch_add(n, std::memory_order_relaxed);
    else
        t.store(t.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

struct Histogram {
    Tally buckets[kBuckets];
    Tally sum;  // ns
    Tally max;  // ns
    Tally negative;
    Tally unstamped;

    void record(std::int64_t ns) noexcept {
        if (ns < 0) {
            bump(negative);
            return;
        }
        auto v = static_cast<std::uint64_t>(ns);
        bump(buckets[bucket_of(v)]);
        bump(sum, v);
        std::uint64_t m = max.load(std::memory_order_relaxed);
        while (v > m && !max.compare_exchange_weak(m, v, std::memory_order_relaxed)) {
        }
    }
    void clear() noexcept {
        for (Tally& b : buckets) b.store(0, std::memory_order_relaxed);
        for (Tally* t : {&sum, &max, &negative, &unstamped}) t->store(0, std::memory_order_relaxed);
    }
};

// One thread's histograms. Made zeroed by calloc, so the pages a thread
// never records into are never touched; kept for the process's life and
// handed to a new thread once their thread has ended.
struct Block {
    Histogram callbacks[kCallbacks];
    Histogram ages[kAged];
    std::atomic<bool> in_use;
    Block* next;
};

std::mutex registry;  // guards `blocks` and the handing over; never held across Python code
Block* blocks = nullptr;

Block* claim_block() noexcept {
    std::lock_guard<std::mutex> held(registry);
    for (Block* b = blocks; b; b = b->next) {
        bool free = false;
        if (b->in_use.compare_exchange_strong(free, true, std::memory_order_acquire)) return b;
    }
    auto* b = static_cast<Block*>(std::calloc(1, sizeof(Block)));
    if (!b) return nullptr;
    b->in_use.store(true, std::memory_order_relaxed);
    b->next = blocks;
    blocks = b;
    return b;
}

enum StampState : unsigned char { kNoStamp, kStamp, kUnreadable };

// What a call on this thread has seen; trivial, so reading it costs no guard.
// A few bytes of the static TLS block: reached without a call, and there is
// room for them in a module loaded after start-up.
struct ThreadState {
    Block* block;
    std::int64_t stamp;
    unsigned char stamp_state;
};
thread_local ThreadState here __attribute__((tls_model("initial-exec")));

// Gives the block back when its thread ends.
struct BlockRelease {
    ~BlockRelease() {
        if (here.block) here.block->in_use.store(false, std::memory_order_release);
    }
};

Block* my_block() noexcept {
    if (here.block) return here.block;
    static thread_local BlockRelease release;
    (void)release;
    here.block = claim_block();
    return here.block;
}

std::int64_t wall_now() noexcept {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// ---------------------------------------------------------------------------------------------------------------
// Exchange stamps: YYYYMMDDhhmmssmmm in the exchange's local time.

glue::Mutex zone_lock;     // guards `zone`
PyObject* zone = nullptr;  // a tzinfo
// The UTC offset of one local date: date << 32 | (offset seconds + 2**31);
// 0 while none is known. One word, so a reader never sees half of one.
std::atomic<std::uint64_t> offset_cache{0};
constexpr std::uint32_t kNoOffset = 0xFFFFFFFFu;

glue::Name k_utcoffset{"utcoffset"};
glue::Name k_ZoneInfo{"ZoneInfo"};

// Days from 1970-01-01 to y-m-d (proleptic Gregorian).
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) noexcept {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

unsigned days_in_month(std::int64_t y, unsigned m) noexcept {
    static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : kDays[m - 1];
}

Ref current_zone() {
    glue::MutexLock held(zone_lock);
    return Ref::borrow(zone);
}

// zone.utcoffset(<noon of that date>) in seconds: the exchange's zone has
// one offset through a trading day. False when it gives none.
bool ask_offset(int y, int m, int d, int* out) {
    Ref z = current_zone();
    if (!z) return false;
    Ref noon = Ref::steal(PyDateTime_FromDateAndTime(y, m, d, 12, 0, 0, 0));
    if (!noon) return false;
    Ref off = Ref::steal(PyObject_CallMethodOneArg(z.get(), k_utcoffset, noon.get()));
    if (!off || !PyDelta_Check(off.get())) return false;
    long s = PyDateTime_DELTA_GET_DAYS(off.get()) * 86400L + PyDateTime_DELTA_GET_SECONDS(off.get());
    if (s <= -86400 || s >= 86400) return false;
    *out = static_cast<int>(s);
    return true;
}

// The UTC offset of local date y-m-d, asked of the zone once per date. The
// exception state around it is left as it was: the callback's own stays.
bool offset_of(std::int64_t date, int y, int m, int d, int* out) {
    std::uint64_t c = offset_cache.load(std::memory_order_relaxed);
    if (c && static_cast<std::int64_t>(c >> 32) == date) {
        auto packed = static_cast<std::uint32_t>(c);
        if (packed == kNoOffset) return false;
        *out = static_cast<int>(static_cast<std::int64_t>(packed) - (1LL << 31));
        return true;
    }
    glue::PendingError pending;
    int s = 0;
    bool ok = ask_offset(y, m, d, &s);
    if (PyErr_Occurred()) PyErr_Clear();
    if (pending) pending.restore();
    std::uint32_t packed = ok ? static_cast<std::uint32_t>(static_cast<std::int64_t>(s) + (1LL << 31)) : kNoOffset;
    offset_cache.store(static_cast<std::uint64_t>(date) << 32 | packed, std::memory_order_relaxed);
    *out = s;
    return ok;
}

// The stamp as ns since 1970 UTC; false when it is no time of the calendar.
bool exchange_ns(std::int64_t stamp, std::int64_t* out) {
    if (stamp < 0) return false;
    std::int64_t ms = stamp % 1000, t = stamp / 1000;
    std::int64_t sec = t % 100, min = t / 100 % 100, hour = t / 10000 % 100, date = t / 1000000;
    std::int64_t day = date % 100, month = date / 100 % 100, year = date / 10000;
    if (year < 1970 || year > 9999 || month < 1 || month > 12 || day < 1 || hour > 23 || min > 59 || sec > 60)
        return false;
    if (day > days_in_month(year, static_cast<unsigned>(month))) return false;
    int offset;
    if (!offset_of(date, static_cast<int>(year), static_cast<int>(month), static_cast<int>(day), &offset)) return false;
    std::int64_t local = days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
                         hour * 3600 + min * 60 + sec;
    *out = (local - offset) * 1000000000 + ms * 1000000;
    return true;
}

}  // namespace

namespace detail {

std::atomic<bool> enabled{false};

std::int64_t start() noexcept {
    here.stamp_state = kNoStamp;
    return wall_now();
}

void note_stamp(long long stamp, bool readable) noexcept {
    ThreadState& h = here;
    if (h.stamp_state != kNoStamp) return;
    h.stamp = stamp;
    h.stamp_state = readable ? kStamp : kUnreadable;
}

void finish(Callback c, Aged kind, std::int64_t t0) noexcept {
    std::int64_t t1 = wall_now();
    ThreadState& here_ = here;
    Block* b = here_.block ? here_.block : my_block();
    if (!b) return;  // out of memory: this call goes unmeasured
    b->callbacks[static_cast<std::size_t>(c)].record(t1 - t0);
    if (kind == Aged::none || here_.stamp_state == kNoStamp) return;
    Histogram& h = b->ages[static_cast<std::size_t>(kind)];
    unsigned char state = here_.stamp_state;
    here_.stamp_state = kNoStamp;
    std::int64_t sent;
    if (state == kStamp && exchange_ns(here_.stamp, &sent))
        h.record(t0 - sent);
    else
        bump(h.unstamped);
}

}  // namespace detail

namespace {

// ---------------------------------------------------------------------------------------------------------------
// Reading: every block's histograms summed, copied out under the registry's
// lock before any object is made.

constexpr std::size_t kHistograms = kCallbacks + kAged;

struct Merged {
    std::uint64_t buckets[kBuckets];
    std::uint64_t count, sum, max, negative, unstamped;
};

// Freed by its holder.
struct FreeMerged {
    void operator()(Merged* m) const noexcept { std::free(m); }
};
using MergedAll = std::unique_ptr<Merged[], FreeMerged>;

MergedAll merged() noexcept {
    MergedAll out(static_cast<Merged*>(std::calloc(kHistograms, sizeof(Merged))));
    if (!out) return out;
    std::lock_guard<std::mutex> held(registry);
    for (Block* b = blocks; b; b = b->next)
        for (std::size_t k = 0; k < kHistograms; ++k) {
            const Histogram& h = k < kCallbacks ? b->callbacks[k] : b->ages[k - kCallbacks];
            Merged& m = out[k];
            for (std::size_t i = 0; i < kBuckets; ++i) {
                std::uint64_t n = h.buckets[i].load(std::memory_order_relaxed);
                m.buckets[i] += n;
                m.count += n;
            }
            m.sum += h.sum.load(std::memory_order_relaxed);
            std::uint64_t mx = h.max.load(std::memory_order_relaxed);
            if (mx > m.max) m.max = mx;
            m.negative += h.negative.load(std::memory_order_relaxed);
            m.unstamped += h.unstamped.load(std::memory_order_relaxed);
        }
    return out;
}

// The value at quantile q, as the middle of its bucket, never above the max.
double quantile_ns(const Merged& m, double q) {
    auto rank = static_cast<std::uint64_t>(q * static_cast<double>(m.count) + 0.999999999);
    if (rank < 1) rank = 1;
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < kBuckets; ++i) {
        seen += m.buckets[i];
        if (seen >= rank) {
            if (i == kBuckets - 1) break;  // open-ended: only the max is known
            std::uint64_t lo, hi;
            bounds_of(i, &lo, &hi);
            double mid = hi - lo == 1 ? static_cast<double>(lo) : (static_cast<double>(lo) + static_cast<double>(hi)) / 2;
            return mid < static_cast<double>(m.max) ? mid : static_cast<double>(m.max);
        }
    }
    return static_cast<double>(m.max);
}

Ref seconds_or_none(const Merged& m, double ns) {
    return m.count ? Ref::steal(PyFloat_FromDouble(ns / 1e9)) : Ref::borrow(Py_None);
}

int put(PyObject* d, PyObject* key, Ref v) { return v ? PyDict_SetItem(d, key, v.get()) : -1; }

glue::Name k_enabled{"enabled"};
glue::Name k_time_zone{"time_zone"};
glue::Name k_callbacks{"callbacks"};
glue::Name k_ages{"ages"};
glue::Name k_count{"count"};
glue::Name k_sum{"sum"};
glue::Name k_max{"max"};
glue::Name k_negative{"negative"};
glue::Name k_unstamped{"unstamped"};
glue::Name k_buckets{"buckets"};

struct Quantile {
    glue::Name key;
    double q;
};
Quantile kQuantiles[] = {{glue::Name{"p50"}, 0.5}, {glue::Name{"p90"}, 0.9}, {glue::Name{"p99"}, 0.99},
                         {glue::Name{"p99.9"}, 0.999}};

glue::Name kAgedNames[] = {
#define FERRULE_AGED_NAME(kind, callback) glue::Name{#kind},
    FERRULE_AGED(FERRULE_AGED_NAME)
#undef FERRULE_AGED_NAME
};

// One histogram as stats() shows it, or with its buckets for export.
Ref describe(const Merged& m, bool aged, bool raw) {
    Ref d = Ref::steal(PyDict_New());
    if (!d || put_count(d.get(), k_count, m.count) < 0) return Ref();
    if (raw) {
        if (put(d.get(), k_sum, Ref::steal(PyFloat_FromDouble(static_cast<double>(m.sum) / 1e9))) < 0) return Ref();
    } else {
        for (Quantile& q : kQuantiles) {
            Ref v = seconds_or_none(m, quantile_ns(m, q.q));
            if (put(d.get(), q.key, std::move(v)) < 0) return Ref();
        }
    }
    if (put(d.get(), k_max, seconds_or_none(m, static_cast<double>(m.max))) < 0 ||
        put_count(d.get(), k_negative, m.negative) < 0 || (aged && put_count(d.get(), k_unstamped, m.unstamped) < 0))
        return Ref();
    if (!raw) return d;
    Ref list = Ref::steal(PyList_New(0));
    if (!list || PyDict_SetItem(d.get(), k_buckets, list.get()) < 0) return Ref();
    for (std::size_t i = 0; i < kBuckets; ++i) {
        if (!m.buckets[i]) continue;
        std::uint64_t lo, hi;
        bounds_of(i, &lo, &hi);
        Ref item = Ref::steal(Py_BuildValue("(ddK)", static_cast<double>(lo) / 1e9, static_cast<double>(hi) / 1e9,
                                            static_cast<unsigned long long>(m.buckets[i])));
        if (!item || PyList_Append(list.get(), item.get()) < 0) return Ref();
    }
    return d;
}

Ref describe_all(bool raw) {
    MergedAll all = merged();
    if (!all) {
        PyErr_NoMemory();
        return Ref();
    }
    Ref d = Ref::steal(PyDict_New());
    Ref cbs = Ref::steal(PyDict_New());
    Ref ages = Ref::steal(PyDict_New());
    if (!d || !cbs || !ages || PyDict_SetItem(d.get(), k_callbacks, cbs.get()) < 0 ||
        PyDict_SetItem(d.get(), k_ages, ages.get()) < 0)
        return Ref();
    for (std::size_t i = 0; i < kCallbacks; ++i)
        if (put(cbs.get(), callback_name(static_cast<Callback>(i)), describe(all[i], false, raw)) < 0) return Ref();
    for (std::size_t k = 0; k < kAged; ++k) {
        if (put(ages.get(), kAgedNames[k], describe(all[kCallbacks + k], true, raw)) < 0) return Ref();
    }
    return d;
}

PyObject* latency_histograms(PyObject* const*) { return describe_all(true).release(); }

PyObject* latency_enabled(PyObject* const*) { return PyBool_FromLong(detail::enabled.load()); }

// A zone name goes through zoneinfo; a tzinfo is taken as it is.
Ref zone_from(PyObject* arg) {
    if (PyTZInfo_Check(arg)) return Ref::borrow(arg);
    if (!PyUnicode_Check(arg)) {
        PyErr_Format(PyExc_TypeError, "time_zone must be a zone name, a tzinfo or None, not %.100s",
                     Py_TYPE(arg)->tp_name);
        return Ref();
    }
    Ref zoneinfo = Ref::steal(PyImport_ImportModule("zoneinfo"));
    Ref cls = zoneinfo ? glue::getattr(zoneinfo.get(), k_ZoneInfo) : Ref();
    return cls ? glue::call(cls.get(), arg) : Ref();
}

PyObject* set_latency(PyObject* const* args) {
    int on = PyObject_IsTrue(args[0]);
    if (on < 0) return nullptr;
    if (args[1] != Py_None) {
        Ref z = zone_from(args[1]);
        if (!z) return nullptr;
        PyObject* old;
        {
            glue::MutexLock held(zone_lock);
            old = zone;
            zone = z.release();
        }
        offset_cache.store(0, std::memory_order_relaxed);
        Py_XDECREF(old);
    }
    detail::enabled.store(on != 0, std::memory_order_relaxed);
    Py_RETURN_NONE;
}

const glue::Signature kFunctions[] = {
    {"set_latency", {"enabled", "time_zone"}, 2, 1, set_latency,
     "Turns the latency histograms on or off (off when the module loads). time_zone, a zone name or a tzinfo,\n"
     "is the zone of the exchange's time stamps (Asia/Shanghai at first); None keeps the current one. On,\n"
     "every callback's time from entry to return is recorded, and for market data the age of the message:\n"
     "the wall clock when the callback was entered minus the message's time stamp. Ages below zero (clock\n"
     "skew) are counted apart; stamps that are no time of the calendar count as unstamped."},
    {"latency_enabled", {}, 0, 0, latency_enabled, "True while the latency histograms are on."},
    {"latency_histograms", {}, 0, 0, latency_histograms,
     "The latency histograms for export: {'callbacks': {callback: h}, 'ages': {kind: h}}, each h a dict of\n"
     "count, sum and max in seconds, negative (and for ages unstamped), and buckets: the non-empty buckets\n"
     "in increasing order as (lower, upper, count), each holding the values in [lower, upper) seconds."},
};

}  // namespace

PyObject* stats() {
    Ref d = describe_all(false);
    if (!d) return nullptr;
    Ref z = current_zone();
    Ref name = z ? Ref::steal(PyObject_Str(z.get())) : Ref::borrow(Py_None);
    if (put(d.get(), k_enabled, Ref::borrow(detail::enabled.load() ? Py_True : Py_False)) < 0 ||
        put(d.get(), k_time_zone, std::move(name)) < 0)
        return nullptr;
    return d.release();
}

void reset() noexcept {
    std::lock_guard<std::mutex> held(registry);
    for (Block* b = blocks; b; b = b->next) {
        for (Histogram& h : b->callbacks) h.clear();
        for (Histogram& h : b->ages) h.clear();
    }
}

int define_functions(PyObject* module) {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) return -1;
    if (!zone) {
        // Asia/Shanghai has kept UTC+08:00 since 1991: no zone database is needed for it.
        Ref delta = Ref::steal(PyDelta_FromDSU(0, 8 * 3600, 0));
        Ref name = Ref::steal(PyUnicode_FromString("Asia/Shanghai"));
        if (!delta || !name) return -1;
        zone = PyTimeZone_FromOffsetAndName(delta.get(), name.get());
        if (!zone) return -1;
    }
    Ref defaults = Ref::steal(PyTuple_Pack(1, Py_None));
    if (!defaults || glue::add_function(module, kFunctions[0], defaults.get()) < 0) return -1;
    for (std::size_t i = 1; i < sizeof kFunctions / sizeof kFunctions[0]; ++i)
        if (glue::add_function(module, kFunctions[i]) < 0) return -1;
    return 0;
}

}  // namespace ferrule::latency
