// What the gateway's threads share, made safe with and without the GIL.
//
// On a GIL build a stretch of C with no call into Python code runs alone, and
// the bridge's claims rest on that. A free-threaded build runs the same
// stretches at once on several threads: there each decision is taken under a
// StretchLock, state of the bridge's own behind a Mutex,
// counters are atomic, and nothing is read from a shared container as a
// borrowed reference. On a GIL build all of it compiles to what it was.
#pragma once
#include <Python.h>

#include <atomic>

#include "glue/ref.hpp"

namespace glue {

#ifdef Py_GIL_DISABLED
constexpr bool kFreeThreaded = true;
#else
constexpr bool kFreeThreaded = false;
#endif

// A count read by stats(): increments from any thread add up exactly.
class Counter {
public:
    void operator++() noexcept {
        if constexpr (kFreeThreaded)
            n_.fetch_add(1, std::memory_order_relaxed);
        else
            n_.store(n_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
    // Takes back one increment, unless a reset came in between (the count is 0).
    void take_back() noexcept {
        unsigned long long v = n_.load(std::memory_order_relaxed);
        while (v && !n_.compare_exchange_weak(v, v - 1, std::memory_order_relaxed)) {
        }
    }
    unsigned long long get() const noexcept { return n_.load(std::memory_order_relaxed); }
    void reset() noexcept { n_.store(0, std::memory_order_relaxed); }

private:
    std::atomic<unsigned long long> n_{0};
};

// A lock for state of the bridge's own. Waiting for it lets other threads run
// (the GIL is released while blocked, and a free-threaded build's collector
// can stop the world), so it may be held across a call into Python code that
// takes no other lock of the bridge's.
class Mutex {
public:
#if PY_VERSION_HEX >= 0x030D0000
    void lock() noexcept { PyMutex_Lock(&m_); }
    void unlock() noexcept { PyMutex_Unlock(&m_); }

private:
    PyMutex m_ = {0};
#else
    // 3.12 has no PyMutex: a flag taken in one step, which under the GIL is
    // only ever held by a thread that let the GIL go midway (Python code in
    // the stretch); then this one waits with the GIL released.
    void lock() noexcept {
        bool free = false;
        if (!held_.compare_exchange_strong(free, true, std::memory_order_acquire)) wait();
    }
    void unlock() noexcept { held_.store(false, std::memory_order_release); }

private:
    void wait() noexcept;
    std::atomic<bool> held_{false};
#endif
};

// Holds a Mutex or a StretchLock for a block.
template <class Lock>
class Held {
public:
    explicit Held(Lock& l) noexcept : l_(l) { l_.lock(); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    ~Held() { l_.unlock(); }

private:
    Lock& l_;
};

using MutexLock = Held<Mutex>;

// A decision of the bridge's own taken in one piece against the other gateway
// threads: a lock without the GIL, nothing with it (there the stretch runs no
// Python code, and the GIL gives the same). Not a critical section, which the
// interpreter gives up whenever the thread would block, even on the same
// object's lock in a nested dict call, and with it the decision's atomicity.
// The thread holding it may take it again: Python code it runs (an __eq__)
// may call back into the bridge.
class StretchLock {
public:
#ifdef Py_GIL_DISABLED
    void lock() noexcept {
        const unsigned long me = PyThread_get_thread_ident();
        if (owner_.load(std::memory_order_relaxed) == me) {
            ++depth_;
            return;
        }
        m_.lock();
        owner_.store(me, std::memory_order_relaxed);
        depth_ = 1;
    }
    void unlock() noexcept {
        if (--depth_) return;
        owner_.store(0, std::memory_order_relaxed);
        m_.unlock();
    }

private:
    Mutex m_;
    std::atomic<unsigned long> owner_{0};
    unsigned depth_ = 0;
#else
    void lock() noexcept {}
    void unlock() noexcept {}
#endif
};

using StretchHold = Held<StretchLock>;

// d[key] as a new reference: 1 with *out set, 0 when absent, -1 on error.
inline int dict_get(PyObject* d, PyObject* key, Ref* out) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* v = nullptr;
    int rc = PyDict_GetItemRef(d, key, &v);
    out->reset(v);
    return rc;
#else
    PyObject* v = PyDict_GetItemWithError(d, key);
    out->reset(Py_XNewRef(v));
    return v ? 1 : PyErr_Occurred() ? -1 : 0;
#endif
}

// d.setdefault(key, value) in one step: *out is what d then holds under key
// (value itself when it was stored). 0, or -1 with the error set.
inline int set_default(PyObject* d, PyObject* key, PyObject* value, Ref* out) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* v = nullptr;
    int rc = PyDict_SetDefaultRef(d, key, value, &v);
    out->reset(v);
    return rc < 0 ? -1 : 0;
#else
    PyObject* v = PyDict_SetDefault(d, key, value);
    out->reset(Py_XNewRef(v));
    return v ? 0 : -1;
#endif
}

}  // namespace glue
