#include "ferrule/publish.hpp"

#include "ferrule/state.hpp"
#include "glue/fastcall.hpp"

namespace ferrule {

namespace {

using glue::Name;
using glue::Ref;

Global gl_Event{"Event"};
Global gl_EVENT{"EVENT"};
Global gl_event_queue{"event_queue"};
Global gl_deque{"deque"};
Name k_append{"append"};
Name k_popleft{"popleft"};
Name k_appendleft{"appendleft"};
Name k_maxlen{"maxlen"};
Name k_name{"name"};
glue::MethodCall m_append{k_append};

// EVENT.<member> in EventKind order, each remembered while EVENT stays as it is.
glue::AttrOf kMembers[kEventKinds] = {
#define FERRULE_MEMBER(member) glue::AttrOf{#member},
    FERRULE_EVENTS(FERRULE_MEMBER)
#undef FERRULE_MEMBER
};

PublishCounts counts;
PyObject* other_counts = nullptr;  // dict: name -> int, created on first use

// The bridge's appends to event_queue, one at a time: the engine's queue is
// Python code, not safe for two appends at once (with the GIL it can switch
// threads inside one). Held from the depth check to the append's end, so the
// bound, the counts and the queue agree; never around building an event.
glue::Mutex publish_lock;

// How full the queue can be. Publishing only adds and the engine only takes
// away, so the depth seen at the last real check plus the appends since is an
// upper bound; while it is below the capacity no append can overwrite, and
// len() is asked only when the bound reaches it.
struct Depth {
    PyObject* queue = nullptr;  // strong: the queue the bound is about
    Py_ssize_t capacity = -1;   // -1: no capacity, nothing is ever overwritten
    Py_ssize_t bound = 0;
    // A collections.deque without the GIL: the engine's pops do not wait for
    // publish_lock, so one may come between the depth check and the append,
    // which then overwrites nothing. The bridge lets the oldest go itself
    // before appending to a full one, and the count of overwrites stays exact.
    bool evicts_itself = false;
} depth;

// A queue seen for the first time (at load, or swapped in by the engine):
// its capacity is its `maxlen` when that is an int.
int track(PyObject* queue) {
    Ref maxlen;
    int has = glue::lookup_attr(queue, k_maxlen, &maxlen);
    if (has < 0) return -1;
    Py_ssize_t capacity = -1;
    if (has && PyLong_Check(maxlen.get())) {
        capacity = PyLong_AsSsize_t(maxlen.get());
        if (capacity == -1 && PyErr_Occurred()) return -1;
    }
    bool evicts_itself = false;
    if constexpr (glue::kFreeThreaded) {
        // The module's `deque`, as bound at load; a module without one has no deque to tell apart.
        Ref deque = gl_deque.get();
        if (!deque) PyErr_Clear();
        evicts_itself = deque && capacity >= 0 && reinterpret_cast<PyObject*>(Py_TYPE(queue)) == deque.get();
    }
    // All of it before the old queue is let go, which may run code.
    PyObject* old = depth.queue;
    depth.queue = Py_NewRef(queue);
    depth.capacity = capacity;
    depth.evicts_itself = evicts_itself;
    depth.bound = capacity;  // unknown depth: the first append asks
    Py_XDECREF(old);
    return 0;
}

// A day event of a type handed in: counted under its member name. The event
// is already on the queue, so a name that cannot be read is no error of the
// callback's; it is counted under str(type).
void count_by_name(PyObject* event_type) {
    Ref name;
    if (glue::lookup_attr(event_type, k_name, &name) <= 0 || !PyUnicode_Check(name.get())) {
        PyErr_Clear();
        name = Ref::steal(PyObject_Str(event_type));
    }
    // Plain text, whose hash and == run no code: the count below is read and
    // written with no other thread in between.
    if (name && !PyUnicode_CheckExact(name.get())) name = Ref::steal(PyUnicode_FromObject(name.get()));
    if (!name) {
        PyErr_Clear();
        return;
    }
    for (std::size_t i = 0; i < kEventKinds; ++i) {
        if (PyUnicode_Compare(name.get(), kMembers[i].name()) == 0) {
            ++counts.published[i];
            return;
        }
    }
    if (!other_counts && !(other_counts = PyDict_New())) {
        PyErr_Clear();
        return;
    }
    Ref old;
    if (glue::dict_get(other_counts, name.get(), &old) < 0) {
        PyErr_Clear();
        return;
    }
    long long n = old ? PyLong_AsLongLong(old.get()) : 0;
    Ref next = Ref::steal(PyLong_FromLongLong(n + 1));
    if (!next || PyDict_SetItem(other_counts, name.get(), next.get()) < 0) PyErr_Clear();
}

// append_event, compiled into each publish as well.
[[gnu::always_inline]] inline int append(EventKind kind, PyObject* event_type, PyObject* event) {
    Ref queue = gl_event_queue.get();
    if (!queue) return -1;
    Ref evicted;  // let go after the lock: dropping an event may run its code
    glue::MutexLock serial(publish_lock);
    if (queue.get() != depth.queue && track(queue.get()) < 0) return -1;
    bool overwrites = false;
    if (depth.capacity >= 0 && depth.bound >= depth.capacity) {
        Py_ssize_t n = PyObject_Size(queue.get());
        if (n < 0) return -1;
        depth.bound = n;
        overwrites = n >= depth.capacity;
        if (overwrites && depth.evicts_itself) {
            evicted = Ref::steal(PyObject_CallMethodNoArgs(queue.get(), k_popleft));
            if (!evicted) {
                if (!PyErr_ExceptionMatches(PyExc_IndexError)) return -1;
                PyErr_Clear();  // the engine emptied it meanwhile
                overwrites = false;
                depth.bound = 0;
            }
        }
    }
    // Counted before the append, which is the queue's own code and may let
    // another thread publish meanwhile: the bound then already holds this
    // event. A failed append is taken back out of the counts; the bound keeps
    // it, which only makes the next append ask the length sooner. Between
    // len() and the append nothing of ours runs; a queue whose own len() or
    // append runs Python code lets other threads in there, and its overwrites
    // are exact only when publishers and the engine's pops share a lock.
    glue::Counter* published = kind == EventKind::kDayEvent ? nullptr : &counts.published[static_cast<std::size_t>(kind)];
    if (published) ++*published;
    if (overwrites)
        ++counts.overwritten;
    else if (depth.capacity >= 0)
        ++depth.bound;
    if (m_append.call_void(queue.get(), event) < 0) {
        if (published) published->take_back();  // unless reset_stats() came in between
        // What the bridge let go goes back where it was; if even that fails, it stays counted.
        bool lost = false;
        if (evicted) {
            glue::PendingError pending;
            Ref back = Ref::steal(PyObject_CallMethodOneArg(queue.get(), k_appendleft, evicted.get()));
            lost = !back;
            if (lost) PyErr_Clear();
            pending.restore();
        }
        if (overwrites && !lost) counts.overwritten.take_back();
        return -1;
    }
    if (!published) count_by_name(event_type);
    return 0;
}

// Compiled into each caller: every published event looks its member up.
[[gnu::always_inline]] inline Ref member(EventKind kind) {
    Ref owner = gl_EVENT.get();
    return owner ? kMembers[static_cast<std::size_t>(kind)].get(owner.get()) : Ref();
}

// Event(type, **dict(zip(kw, values))) appended; compiled into each publish.
[[gnu::always_inline]] inline int build_and_append(EventKind kind, PyObject* cls, PyObject* type,
                                                   PyObject* const* values, std::size_t n,
                                                   const glue::KwNames& kw) {
    if (n != kw.size()) {
        PyErr_SetString(PyExc_SystemError, "EventCall: payload does not match its names");
        return -1;
    }
    PyObject* argv[2 + glue::KwNames::kMax];  // only the first 2 + n are passed
    argv[0] = nullptr;
    argv[1] = type;
    for (std::size_t i = 0; i < n; ++i) argv[2 + i] = values[i];
    Ref event = glue::instantiate(cls, argv + 1, 1, &kw);
    return event ? append(kind, type, event.get()) : -1;
}

}  // namespace

PyObject* event_name(EventKind kind) { return kMembers[static_cast<std::size_t>(kind)].name(); }

Ref event_type(EventKind kind) { return member(kind); }

EventCall::EventCall(EventKind kind) : kind_(kind), cls_(gl_Event.get()) {
    if (cls_) type_ = member(kind);
}

EventCall::EventCall(PyObject* event_type) : kind_(EventKind::kDayEvent), cls_(gl_Event.get()) {
    if (cls_) type_ = Ref::borrow(event_type);
}

int EventCall::publish(PyObject* const* values, std::size_t n, const glue::KwNames& kw) const {
    return build_and_append(kind_, cls_.get(), type_.get(), values, n, kw);
}

int publish_now(EventKind kind, std::initializer_list<PyObject*> values, const glue::KwNames& kw) {
    // What constructing an EventCall looks up, in its order.
    Ref cls = gl_Event.get();
    Ref type = cls ? member(kind) : Ref();
    return type ? build_and_append(kind, cls.get(), type.get(), values.begin(), values.size(), kw) : -1;
}

int append_event(EventKind kind, PyObject* event_type, PyObject* event) { return append(kind, event_type, event); }

const PublishCounts& publish_counts() { return counts; }

PyObject* other_published() { return other_counts; }

void reset_publish_counts() {
    glue::MutexLock serial(publish_lock);
    for (glue::Counter& c : counts.published) c.reset();
    counts.overwritten.reset();
    if (other_counts) PyDict_Clear(other_counts);
}

}  // namespace ferrule
