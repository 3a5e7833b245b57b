// The decisions on an order that are taken once, however many gateway
// threads bring its reports: an order is accepted once, and a match becomes
// one TRADE. Each is claimed in a record of the module's own, keyed by the
// engine order's identity, with no Python code between the look and the claim,
// and given back when what follows the claim fails.
#pragma once
#include <Python.h>

#include "glue/ref.hpp"

namespace ferrule {

// An order is accepted once. The first numbered acceptance claims it in a
// record keyed by the order's identity, with no Python code between the look
// and the claim; later ones (a resend after a reconnect, a duplicate on
// another gateway thread) still take over the counter's id and the frozen
// cash, but change no status and publish nothing. If the acceptance fails
// the claim is given back.
class AcceptClaim {
public:
    // 1 claimed, 0 accepted before, -1 on error.
    int take(PyObject* engine_order);
    // The acceptance failed: the claim goes, the error goes on.
    void give_back();

private:
    glue::Ref key_, entry_;
};

// A gateway resends reports after a reconnect, and a cancellation report may
// repeat the order's latest match. Each match of an order raises its
// cumulative quantity, so a match is new unless its cumulative quantity is
// among those already claimed as a TRADE for this engine order (Python's
// `in`: identity, then ==). A match that arrives late, after a later one of
// the same order, is still new. The record is keyed by the order's identity
// (an int), so reading and writing it run no Python code, and a new engine
// order starts afresh.
//
// Reports of one order may arrive on several gateway threads at once, so the
// match is claimed before it is published: its quantity joins the record
// right after the last look at it, with no Python code in between. A report
// judged while another claim is still being published counts that claim: a
// resend racing its original is withheld and one TRADE goes out; two
// different matches racing each other are both published. If publishing
// fails, the claim is given back, as if it had never been taken.
class FillClaim {
public:
    // 1 new and claimed, 0 seen, -1 with the comparison's error.
    int take(PyObject* engine_order, PyObject* filled);
    // Publishing failed: the quantity leaves the record; the error goes on.
    void give_back();

private:
    int take_claim(PyObject* engine_order, PyObject* filled);
    void give_claim_back();
    // The record: a tuple (order, {quantities that are the interpreter's own
    // numbers}, (any other quantities,), the number claimed last or None),
    // read in one piece. The numbers are found without running code: a resend
    // repeats the latest match, which the record itself holds, the others are
    // in the set. Every claim and every claim
    // given back files a new tuple (the set goes on in it), with no Python
    // code between the change and the filing, so a look that ran code tells
    // by the record's identity whether it still holds; the set's identity
    // tells a record of this day from one a new day began.
    //
    // The interpreter's numbers that are whole and fit 64 bits (nearly every
    // quantity) are kept apart, as a sorted array of int64 in a bytearray:
    // 8 bytes a fill, where a set of ints costs about 80. Whole floats are
    // kept there too (30.0 == 30, as the set had them); the others (a
    // fraction, a NaN, an int past 64 bits) stay in the set.
    enum { kOrder, kNumbers, kOthers, kLatest, kWhole, kSize };
    // A comparison that runs code every time and keeps changing this order's
    // record (a report published from inside ==) is decided on its last try.
    static constexpr int kTries = 16;
    static bool plain_number(PyObject* v) { return PyLong_CheckExact(v) || PyFloat_CheckExact(v); }
    // The order's record, created empty when it has none.
    glue::Ref record(PyObject* engine_order);
    // The first match of an order that has no record, a plain number: the
    // record made with the claim in it. 1 claimed; 0 when another record was
    // filed meanwhile (*found), to be judged against; -1 on error.
    int take_first(PyObject* engine_order, PyObject* filled, glue::Ref* found);
    // The record filed now, if it is of rec's day: borrowed, or null (with an
    // error set only if the lookup failed).
    PyObject* same_day(PyObject* rec);
    // rec with these others and latest, and `filled` added to the others when given.
    static glue::Ref record_of(PyObject* rec, PyObject* others, PyObject* latest, PyObject* filled);
    // A plain number in rec's numbers: 1, 0 or -1. Adding and discarding run no Python code.
    static int has_number(PyObject* rec, PyObject* v);
    static int add_number(PyObject* rec, PyObject* v);
    static int discard_number(PyObject* rec, PyObject* v);
    static glue::Ref fresh_record(PyObject* engine_order, PyObject* latest);
    glue::Ref key_, record_, filled_;
};

// A new day: empties the fill and acceptance records under their claims'
// locks, so that a claim in progress on another thread never sees its record
// go midway. 0, or -1 with the error set.
int forget_claims();

}  // namespace ferrule
