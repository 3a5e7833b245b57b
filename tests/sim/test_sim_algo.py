"""The simulated algorithm service: answers to create, cancel, pause and
resume, and a parent order worked through one child order at a time."""
import collections

import pytest

from sim_support import hm, make_sim, run_day
from pyvela.enums import AlgoControlType as C, MarketType
from pyvela.sim import ParentStatus as P, Side
from pyvela.sim import algo as A
from pyvela.sim import feed

SZ = MarketType.SZSE
FINAL_CHILD = {"Filled", "Cancelled", "PartiallyFilledPartiallyCancelled", "Reject"}
# request id -> (security_id, side, quantity, start, end, expected error)
CREATES = {
    1: ("000001", Side.Buy, 3000, (10, 0), (10, 20), None),
    2: ("000001", Side.Sell, 800, (10, 0), (10, 30), None),
    3: ("999999", Side.Buy, 100, (10, 0), (10, 20), A.UNKNOWN_INSTRUMENT),
    4: ("000001", Side.Buy, 150, (10, 0), (10, 20), A.BAD_QUANTITY),
    5: ("000001", Side.Buy, 100, (9, 0), (9, 30), A.BAD_WINDOW),
    6: ("000001", Side.Buy, 1_000_000, (10, 0), (10, 20), A.NO_CASH),
    7: ("000858", Side.Sell, 100, (10, 0), (10, 20), A.NO_POSITION),
    8: ("000001", 3, 100, (10, 0), (10, 20), A.BAD_SIDE),
}


@pytest.fixture(scope="module")
def day(sample):
    gw, rec = make_sim(sample, windows=[(feed.hms(9, 59), feed.hms(10, 35))])
    t = lambda h, m: hm(sample.date, h, m)  # noqa: E731
    parent = lambda req: next(p.sys_quote_id for p in gw.algo.parents.values() if p.client_seq_id == req)  # noqa
    ctx = rec.context
    plan = [(t(10, 0), lambda r=r, c=c: ctx.create_algo_parent_order(r, c[0], SZ, c[1], c[2], t(*c[3]), t(*c[4])))
            for r, c in CREATES.items()]
    plan += [(t(10, 5), lambda: ctx.control_algo_parent_order(parent(1), C.Pause)),
             (t(10, 5), lambda: ctx.control_algo_parent_order(parent(1), C.Pause)),
             (t(10, 6), lambda: ctx.cancel_algo_parent_order(parent(2))),
             (t(10, 7), lambda: ctx.cancel_algo_parent_order(parent(2))),
             (t(10, 8), lambda: ctx.control_algo_parent_order(parent(1), C.Cancel)),
             (t(10, 8), lambda: ctx.control_algo_parent_order(123, C.Resume)),
             (t(10, 10), lambda: ctx.control_algo_parent_order(parent(1), C.Resume)),
             (t(10, 11), lambda: ctx.control_algo_parent_order(parent(1), C.Resume))]
    return gw, run_day(gw, rec, plan)


@pytest.mark.parametrize("req", sorted(CREATES))
def test_each_create_is_answered_once(day, req):
    _, rec = day
    [answer] = [a for a in rec.of("on_create_algo_parent_order_res") if a.client_seq_id == req]
    error = CREATES[req][-1]
    assert (answer.error_code, answer.error_msg) == (error or (0, ""))
    assert (answer.sys_quote_id > 0) == (error is None)


def test_controls_and_cancels_are_answered_in_order_with_their_codes(day):
    _, rec = day
    controls = [(a.control_type, a.error_code) for a in rec.of("on_control_algo_parent_order_res")]
    assert controls == [(C.Pause, 0), (C.Pause, A.NOT_RUNNING[0]), (C.Cancel, A.BAD_CONTROL[0]),
                        (C.Resume, A.UNKNOWN_PARENT[0]), (C.Resume, 0), (C.Resume, A.NOT_PAUSED[0])]
    assert all(a.control_type == a.algo_control_type for a in rec.of("on_control_algo_parent_order_res"))
    assert [a.error_code for a in rec.of("on_cancel_algo_parent_order_res")] == [0, A.PARENT_DONE[0]]


def test_parents_end_in_a_final_state_with_the_sum_of_their_child_trades(day):
    gw, rec = day
    trades = collections.Counter()
    for t in rec.of("on_algo_child_order_trade"):
        trades[t.parent_sys_quote_id] += t.trade_qty
    updates = collections.defaultdict(list)
    for u in rec.of("on_algo_parent_order_update"):
        updates[u.sys_quote_id].append(u)
    assert len(updates) == 2
    for pid, us in updates.items():
        filled = [u.trade_qty for u in us]
        assert filled == sorted(filled) and filled[-1] == trades[pid] <= us[-1].order_qty
        assert us[-1].status in A.PARENT_FINAL and all(u.status not in A.PARENT_FINAL for u in us[:-1])
    by_req = {p.client_seq_id: p for p in gw.algo.parents.values()}
    assert by_req[1].status in (P.Finished, P.Expired) and by_req[2].status is P.Cancelled
    assert sum(f.qty for f in gw.matcher.fills if f.kind == "child") == sum(trades.values()) > 0


def test_one_child_at_a_time_none_while_paused_and_trades_match_the_children(day, at):
    gw, rec = day
    open_children, first_seen, last = collections.defaultdict(set), {}, {}
    for call in rec.calls:
        if call.name != "on_algo_child_order_update":
            continue
        child = call.args[0]
        first_seen.setdefault(child.sys_quote_id, (call.time, child.parent_sys_quote_id))
        last[child.sys_quote_id] = child
        live = open_children[child.parent_sys_quote_id]
        (live.discard if child.status.name in FINAL_CHILD else live.add)(child.sys_quote_id)
        assert len(live) <= 1
    paused_parent = next(p.sys_quote_id for p in gw.algo.parents.values() if p.client_seq_id == 1)
    assert not [c for c, (when, p) in first_seen.items() if p == paused_parent and at(10, 5) <= when < at(10, 10)]
    per_child = collections.Counter()
    for t in rec.of("on_algo_child_order_trade"):
        per_child[t.child_sys_quote_id] += t.trade_qty
    assert all(last[c].trade_qty == q for c, q in per_child.items())
    assert all(c.status.name in FINAL_CHILD for c in last.values())
