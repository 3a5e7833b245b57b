#include "ferrule/claims.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

#include "ferrule/state.hpp"
#include "glue/runtime.hpp"
#include "glue/threads.hpp"

namespace ferrule {

using glue::Ref;

namespace {

// The key of an order's records: its identity, as an int whose hash spreads.
// An address's low bits are always zero, so a dict of many orders keyed by
// id() would probe long chains; the bits are rotated as the interpreter's own
// object hash rotates them, which keeps one key per live object.
Ref identity_key(PyObject* obj) {
    constexpr unsigned kBits = 8 * sizeof(std::uintptr_t);
    auto p = reinterpret_cast<std::uintptr_t>(obj);
    return Ref::steal(PyLong_FromUnsignedLongLong((p >> 4) | (p << (kBits - 4))));
}

// The claim records live only in the module's own dicts, which no Python code
// can reach, so no reference cycle can pass through them: the collector is
// spared walking them (and the dicts that hold them) at every collection.
PyObject* unwalked(PyObject* record) {
    if (record) PyObject_GC_UnTrack(record);
    return record;
}

// Each claim is decided under its lock without the GIL (glue::StretchLock).
glue::StretchLock acceptances;
glue::StretchLock fills;

}  // namespace

int AcceptClaim::take(PyObject* engine_order) {
    key_ = identity_key(engine_order);
    if (!key_) return -1;
    // An entry of this claim's own, so that giving it back removes no other.
    Ref entry = Ref::steal(unwalked(PyTuple_Pack(1, engine_order)));
    if (!entry) return -1;
    // The look and the claim in one piece (SetDefault), however many threads ask.
    Ref now;
    int rc;
    {
        glue::StretchHold hold(acceptances);
        rc = glue::set_default(bridge.accepted_orders, key_.get(), entry.get(), &now);
    }
    if (rc < 0) return -1;
    if (now.get() != entry.get()) return 0;
    entry_ = std::move(entry);
    return 1;
}

void AcceptClaim::give_back() {
    if (!entry_) return;
    glue::PendingError pending;
    int rc = 0;
    Ref now;
    {
        glue::StretchHold hold(acceptances);
        rc = glue::dict_get(bridge.accepted_orders, key_.get(), &now);
        if (rc > 0) rc = now.get() == entry_.get() ? PyDict_DelItem(bridge.accepted_orders, key_.get()) : 0;
    }
    if (rc < 0)
        pending.chain_into_current();
    else
        pending.restore();
    entry_.reset();
}

int forget_claims() {
    // Both or neither. The records are let go after the locks: dropping the
    // last reference to an engine order may run its code, which must not run
    // under them.
    Ref fills_before, acceptances_before;
    glue::StretchHold hold_fills(fills);
    glue::StretchHold hold_acceptances(acceptances);
    fills_before = Ref::steal(PyDict_Copy(bridge.published_fills));
    acceptances_before = Ref::steal(PyDict_Copy(bridge.accepted_orders));
    if (!fills_before || !acceptances_before) return -1;
    PyDict_Clear(bridge.published_fills);
    PyDict_Clear(bridge.accepted_orders);
    return 0;
}

int FillClaim::take(PyObject* engine_order, PyObject* filled) {
    glue::StretchHold hold(fills);
    return take_claim(engine_order, filled);
}

void FillClaim::give_back() {
    glue::StretchHold hold(fills);
    give_claim_back();
}

namespace {

// A plain number's value when it is whole and fits 64 bits.
bool whole_value(PyObject* v, long long* out) {
    if (PyLong_CheckExact(v)) {
        int overflow = 0;
        *out = PyLong_AsLongLongAndOverflow(v, &overflow);
        return !overflow && !(*out == -1 && PyErr_Occurred());
    }
    double d = PyFloat_AS_DOUBLE(v);
    constexpr double kLimit = 9223372036854775808.0;  // 2**63
    if (!(d >= -kLimit && d < kLimit) || d != static_cast<double>(static_cast<long long>(d))) return false;
    *out = static_cast<long long>(d);
    return true;
}

// Where x is, or goes, in the sorted array.
std::pair<long long*, bool> find_whole(PyObject* array, long long x) {
    auto* first = reinterpret_cast<long long*>(PyByteArray_AsString(array));
    auto* last = first + PyByteArray_GET_SIZE(array) / static_cast<Py_ssize_t>(sizeof(long long));
    long long* at = std::lower_bound(first, last, x);
    return {at, at != last && *at == x};
}

// Python's `v in seq` for a tuple: identity, then ==. 1, 0 or -1.
int listed_in(PyObject* seq, PyObject* v) {
    for (Py_ssize_t i = PyTuple_GET_SIZE(seq) - 1; i >= 0; --i) {  // newest first: a resend repeats the latest
        int same = PyObject_RichCompareBool(v, PyTuple_GET_ITEM(seq, i), Py_EQ);
        if (same != 0) return same;
    }
    return 0;
}

// Python's `v in [int(x) for x in array]`, newest first. The array is read
// from a copy: == may run code, and another claim change it meanwhile.
int listed_in_whole(PyObject* array, PyObject* v) {
    Ref copy = Ref::steal(PyBytes_FromStringAndSize(PyByteArray_AsString(array), PyByteArray_GET_SIZE(array)));
    if (!copy) return -1;
    const char* base = PyBytes_AS_STRING(copy.get());
    for (Py_ssize_t i = PyBytes_GET_SIZE(copy.get()) / static_cast<Py_ssize_t>(sizeof(long long)) - 1; i >= 0; --i) {
        long long x;
        std::memcpy(&x, base + i * static_cast<Py_ssize_t>(sizeof x), sizeof x);
        Ref n = Ref::steal(PyLong_FromLongLong(x));
        if (!n) return -1;
        int same = PyObject_RichCompareBool(v, n.get(), Py_EQ);
        if (same != 0) return same;
    }
    return 0;
}

}  // namespace

Ref FillClaim::fresh_record(PyObject* engine_order, PyObject* latest) {
    Ref numbers = Ref::steal(unwalked(PySet_New(nullptr)));
    Ref others = Ref::steal(PyTuple_New(0));
    Ref whole = Ref::steal(PyByteArray_FromStringAndSize(nullptr, 0));
    if (!numbers || !others || !whole) return Ref();
    return Ref::steal(
        unwalked(PyTuple_Pack(kSize, engine_order, numbers.get(), others.get(), latest, whole.get())));
}

int FillClaim::has_number(PyObject* rec, PyObject* v) {
    long long x;
    if (whole_value(v, &x)) return find_whole(PyTuple_GET_ITEM(rec, kWhole), x).second;
    return PySet_Contains(PyTuple_GET_ITEM(rec, kNumbers), v);
}

int FillClaim::add_number(PyObject* rec, PyObject* v) {
    long long x;
    if (!whole_value(v, &x)) return PySet_Add(PyTuple_GET_ITEM(rec, kNumbers), v);
    PyObject* array = PyTuple_GET_ITEM(rec, kWhole);
    auto [at, found] = find_whole(array, x);
    if (found) return 0;
    Py_ssize_t offset = reinterpret_cast<char*>(at) - PyByteArray_AsString(array);
    Py_ssize_t size = PyByteArray_GET_SIZE(array);
    if (PyByteArray_Resize(array, size + static_cast<Py_ssize_t>(sizeof x)) < 0) return -1;
    char* base = PyByteArray_AsString(array);
    std::memmove(base + offset + sizeof x, base + offset, static_cast<std::size_t>(size - offset));
    std::memcpy(base + offset, &x, sizeof x);
    return 0;
}

int FillClaim::discard_number(PyObject* rec, PyObject* v) {
    long long x;
    if (!whole_value(v, &x)) return PySet_Discard(PyTuple_GET_ITEM(rec, kNumbers), v) < 0 ? -1 : 0;
    PyObject* array = PyTuple_GET_ITEM(rec, kWhole);
    auto [at, found] = find_whole(array, x);
    if (!found) return 0;
    char* base = PyByteArray_AsString(array);
    Py_ssize_t offset = reinterpret_cast<char*>(at) - base, size = PyByteArray_GET_SIZE(array);
    std::memmove(base + offset, base + offset + sizeof x, static_cast<std::size_t>(size - offset) - sizeof x);
    return PyByteArray_Resize(array, size - static_cast<Py_ssize_t>(sizeof x));
}

Ref FillClaim::record(PyObject* engine_order) {
    Ref rec;
    int got = glue::dict_get(bridge.published_fills, key_.get(), &rec);
    if (got) return rec;
    Ref fresh = fresh_record(engine_order, Py_None);
    if (!fresh || glue::set_default(bridge.published_fills, key_.get(), fresh.get(), &rec) < 0) return Ref();
    return rec;
}

int FillClaim::take_first(PyObject* engine_order, PyObject* filled, Ref* found) {
    Ref fresh = fresh_record(engine_order, filled);
    if (!fresh || add_number(fresh.get(), filled) < 0) return -1;
    // The claim: filed only if the order still has no record (making this one may have run code).
    Ref rec;
    if (glue::set_default(bridge.published_fills, key_.get(), fresh.get(), &rec) < 0) return -1;
    if (rec.get() != fresh.get()) {
        *found = std::move(rec);
        return 0;
    }
    record_ = std::move(fresh);
    filled_ = Ref::borrow(filled);
    return 1;
}

PyObject* FillClaim::same_day(PyObject* rec) {
    PyObject* now = PyDict_GetItemWithError(bridge.published_fills, key_.get());
    return now && PyTuple_GET_ITEM(now, kNumbers) == PyTuple_GET_ITEM(rec, kNumbers) ? now : nullptr;
}

Ref FillClaim::record_of(PyObject* rec, PyObject* others, PyObject* latest, PyObject* filled) {
    Ref more = Ref::borrow(others);
    if (filled) {
        Py_ssize_t n = PyTuple_GET_SIZE(others);
        more = Ref::steal(unwalked(PyTuple_New(n + 1)));
        if (!more) return Ref();
        for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(more.get(), i, Py_NewRef(PyTuple_GET_ITEM(others, i)));
        PyTuple_SET_ITEM(more.get(), n, Py_NewRef(filled));
    }
    return Ref::steal(unwalked(PyTuple_Pack(kSize, PyTuple_GET_ITEM(rec, kOrder), PyTuple_GET_ITEM(rec, kNumbers),
                                            more.get(), latest, PyTuple_GET_ITEM(rec, kWhole))));
}

int FillClaim::take_claim(PyObject* engine_order, PyObject* filled) {
    key_ = identity_key(engine_order);
    if (!key_) return -1;
    bool plain = plain_number(filled);
    Ref found = Ref::borrow(PyDict_GetItemWithError(bridge.published_fills, key_.get()));
    if (!found && PyErr_Occurred()) return -1;
    if (!found && plain) {
        int first = take_first(engine_order, filled, &found);
        if (first != 0) return first;
    }
    for (int attempt = 1;; ++attempt) {
        // Held: a later look compares it by identity.
        Ref rec = attempt == 1 && found ? std::move(found) : record(engine_order);
        if (!rec) return -1;
        PyObject* numbers = PyTuple_GET_ITEM(rec.get(), kNumbers);
        PyObject* others = PyTuple_GET_ITEM(rec.get(), kOthers);
        // A plain number is looked up in the set without running code. Anything
        // else is compared with each quantity, and == may run code (and let
        // another thread claim meanwhile): only then is the look checked again.
        bool may_run_code = !plain || PyTuple_GET_SIZE(others) > 0;
        int seen;
        if (plain) {
            // Both plain numbers: == runs no code, and agrees with the set.
            PyObject* latest = PyTuple_GET_ITEM(rec.get(), kLatest);
            seen = latest == filled ? 1 : plain_number(latest) ? PyObject_RichCompareBool(filled, latest, Py_EQ) : 0;
            if (seen == 0) seen = has_number(rec.get(), filled);
        } else {
            // Compared as `in` compares, with every claimed number, the whole ones too.
            Ref listed = Ref::steal(PySequence_Tuple(numbers));
            seen = listed ? listed_in(listed.get(), filled) : -1;
            if (seen == 0) seen = listed_in_whole(PyTuple_GET_ITEM(rec.get(), kWhole), filled);
        }
        if (seen == 0 && PyTuple_GET_SIZE(others)) seen = listed_in(others, filled);
        if (seen < 0) return -1;
        PyObject* now = rec.get();
        if (may_run_code) {
            now = PyDict_GetItemWithError(bridge.published_fills, key_.get());
            if (!now && PyErr_Occurred()) return -1;
            if (now != rec.get() && attempt < kTries) continue;
        }
        if (seen) return 0;
        // The record the claim files, made first: making it may run code (a
        // collection), so the record is looked at again after it.
        Ref next = plain ? record_of(rec.get(), others, filled, nullptr)
                         : record_of(rec.get(), others, PyTuple_GET_ITEM(rec.get(), kLatest), filled);
        if (!next) return -1;
        now = PyDict_GetItemWithError(bridge.published_fills, key_.get());
        if (!now && PyErr_Occurred()) return -1;
        if (now != rec.get()) {
            if (attempt < kTries) continue;
            // Decided on the last try: the claim joins the record of this day as it now stands.
            if ((now = same_day(rec.get()))) {
                rec = Ref::borrow(now);
                PyObject* now_others = PyTuple_GET_ITEM(now, kOthers);
                next = plain ? record_of(now, now_others, filled, nullptr)
                             : record_of(now, now_others, PyTuple_GET_ITEM(now, kLatest), filled);
                if (!next) return -1;
                now = same_day(rec.get());
            }
            if (!now && PyErr_Occurred()) return -1;
        }
        // From the last look to the claim no Python code runs: an int key, plain
        // numbers, the record compared by identity.
        if (plain && add_number(rec.get(), filled) < 0) return -1;
        if (now == rec.get() && PyDict_SetItem(bridge.published_fills, key_.get(), next.get()) < 0) {
            if (plain) {
                glue::PendingError pending;
                if (discard_number(rec.get(), filled) < 0)
                    pending.chain_into_current();
                else
                    pending.restore();
            }
            return -1;
        }
        // A record a new day let go of meanwhile keeps the claim to itself.
        record_ = now == rec.get() ? std::move(next) : std::move(rec);
        filled_ = Ref::borrow(filled);
        return 1;
    }
}

void FillClaim::give_claim_back() {
    if (!filled_) return;
    glue::PendingError pending;
    int rc = 0;
    bool plain = plain_number(filled_.get());
    for (int attempt = 1; attempt <= kTries; ++attempt) {
        // Else a new day emptied the record meanwhile.
        PyObject* now = same_day(record_.get());
        if (!now) {
            if (PyErr_Occurred()) rc = -1;
            break;
        }
        Ref held = Ref::borrow(now);
        PyObject* others = PyTuple_GET_ITEM(now, kOthers);
        Ref rest = Ref::borrow(others);
        if (!plain) {
            Py_ssize_t n = PyTuple_GET_SIZE(others), at = 0;
            while (at < n && PyTuple_GET_ITEM(others, at) != filled_.get()) ++at;
            if (at < n) {
                rest = Ref::steal(unwalked(PyTuple_New(n - 1)));
                for (Py_ssize_t i = 0, j = 0; rest && i < n; ++i)
                    if (i != at) PyTuple_SET_ITEM(rest.get(), j++, Py_NewRef(PyTuple_GET_ITEM(others, i)));
            }
        }
        // A plain number given back may be the latest: the record forgets which that was.
        Ref next = rest ? record_of(now, rest.get(), plain ? Py_None : PyTuple_GET_ITEM(now, kLatest), nullptr) : Ref();
        if (!next) {
            rc = -1;
            break;
        }
        // Made before the change, which then goes in with the new record and no
        // code in between; the last try takes the record as it then stands.
        PyObject* again = same_day(record_.get());
        if (!again) {
            if (PyErr_Occurred()) rc = -1;
            break;
        }
        if (again != held.get() && attempt < kTries) continue;
        if (plain && discard_number(again, filled_.get()) < 0) rc = -1;
        if (rc == 0 && PyDict_SetItem(bridge.published_fills, key_.get(), next.get()) < 0) rc = -1;
        break;
    }
    filled_.reset();
    record_.reset();
    if (rc < 0)
        pending.chain_into_current();
    else
        pending.restore();
}

}  // namespace ferrule
