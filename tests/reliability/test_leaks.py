"""Each hot callback and query function, on its success and its error paths,
run many times with fresh messages: traced memory and the reference counts of
the objects passed through come back to where they started.

CORVINA_LEAK_ITERATIONS sets the count (default 3,000, which shows a leak of
one small object per call; the full check uses 100,000)."""
import gc
import os
import sys
import tracemalloc

import pytest

import bridge_support as B
import reliability_support as R
from message_support import fill, make_bar, make_snapshot, make_tick_order, make_tick_trade
from reliability_support import ferrule
from pyvela import messages as M
from pyvela.enums import AlgoControlType, MarketType, OrderStatusType

N = int(os.environ.get("CORVINA_LEAK_ITERATIONS", "3000"))
WARMUP = 300
DRAIN_EVERY = 1000
# Bytes that may stay behind whatever N is (interpreter caches, free lists).
TOLERANCE = 48 * 1024


def fresh_float(x):
    return float(repr(x))  # a new object each call, never a cached one


def fresh_text(x):
    return "".join(["t", str(x)])


class Sentinel:
    """Passed through the bridge; its reference count must come back."""

    def __format__(self, format_spec):
        return "sentinel"

    def __str__(self):
        return "sentinel"


# scenario -> (callback or query, builder(i, sentinel) -> args, engine orders to file)
STAMP = 20240102093000500


def snapshot(i, s):
    return (make_snapshot(orig_time=STAMP, open_price=s, last_price=fresh_float(i), ask_price=[fresh_float(i)]),)


def tick_order(i, s):
    return (make_tick_order(order_time=STAMP, order_price=s, order_volume=fresh_float(i)),)


def tick_trade(i, s):
    return (make_tick_trade(trade_time=STAMP, bid_appl_seq_num=i, offer_appl_seq_num=i + 1, trade_price=s,
                            trade_volume=fresh_float(i)),)


def bar(i, s):
    return (make_bar(end_time=20240102093000000 + i % 2 * 60000, open=s, close=fresh_float(i)),)


def report(status, s, i, trade_qty=50, **extra):
    return (fill(status, client_order_id=1, price=s, order_price=s, traded=trade_qty, value=fresh_float(520 + i),
                 counter_order_id=i + 1, frozen_trade_value=fresh_float(i), **extra),)


SCENARIOS = {
    "on_snapshot": ("on_snapshot", snapshot),
    "on_tick_order": ("on_tick_order", tick_order),
    "on_tick_trade": ("on_tick_trade", tick_trade),
    "on_bar": ("on_bar", bar),
    "on_login": ("on_login", lambda i, s: (M.LoginRes(fund_account_id=fresh_text(i), error_code=0,
                                                       client_seq_id=s, error_msg=fresh_text(i)),)),
    "on_query_asset": ("on_query_asset", lambda i, s: (M.AssetRes(fund_account_id=fresh_text(i), leaves_value=s),
                                                       i, 0, fresh_text(i))),
    "on_query_position": ("on_query_position", lambda i, s: (
        [M.PositionEntry(security_id="000001", market_id=MarketType.SZSE, init_qty=s, cost_price=fresh_float(i))],
        i, 0, "ok")),
    "on_query_position skipped entry": ("on_query_position", lambda i, s: (
        [R.Message("PositionEntry", {"security_id": fresh_text(i), "market_id": s})], i, 0, "ok")),
    "on_order sended": ("on_order", lambda i, s: report("Sended", s, i)),
    "on_order partially filled": ("on_order", lambda i, s: report("PartiallyFilled", s, i)),
    "on_order new match": ("on_order", lambda i, s: report("PartiallyFilled", s, i, trade_qty=50 + i)),
    "on_order cancelled": ("on_order", lambda i, s: report("Cancelled", s, i)),
    "on_order reject": ("on_order", lambda i, s: report("Reject", s, i, error_msg=fresh_text(i))),
    "on_order unknown order": ("on_order", lambda i, s: (M.OrderReport(client_order_id=99, order_price=s),)),
    "on_order_action_error": ("on_order_action_error", lambda i, s: (M.OrderActionError(client_order_id=1,
                                                                                         error_msg=s),)),
    "on_algo_login": ("on_algo_login", lambda i, s: (M.AlgoLoginRes(client_seq_id=i, trader_id=s),)),
    "on_control_algo_parent_order_res": ("on_control_algo_parent_order_res", lambda i, s: (
        M.ControlParentOrderRes(control_type=AlgoControlType.Pause, sys_quote_id=s, error_msg=fresh_text(i)),)),
    "on_algo_parent_order_update": ("on_algo_parent_order_update", lambda i, s: (
        M.AlgoParentOrderMsg(sys_quote_id=i % 50, security_id=s, order_qty=fresh_float(i)),)),
    "on_algo_child_order_update": ("on_algo_child_order_update", lambda i, s: (
        M.AlgoChildOrderMsg(sys_quote_id=i % 50, security_id=s, order_price=fresh_float(i)),)),
    "on_algo_child_order_trade": ("on_algo_child_order_trade", lambda i, s: (
        M.AlgoChildTradeMsg(sys_quote_id=i % 50, security_id=s, trade_price=fresh_float(i)),)),
}

# The same callbacks failing (an attribute missing, a getter raising, a value of the wrong kind), and the
# error each raises.
ERRORS = {
    "on_snapshot missing attribute": ("on_snapshot", lambda i, s: (R.Message("Snapshot", {
        "orig_time": 20240102093000500, "security_id": "000001", "market_type": MarketType.SZSE, "open_price": s}),),
        AttributeError),
    "on_bar raising getter": ("on_bar", lambda i, s: (R.Message("Bar", {
        "security_id": "000001", "market_type": MarketType.SZSE, "end_time": R.Raises(R.HostileError(s))}),),
        R.HostileError),
    "on_tick_trade wrong kind": ("on_tick_trade", lambda i, s: (R.Message("TickTrade", {
        "trade_time": s, "security_id": "000001", "market_type": MarketType.SZSE}),), TypeError),
    "on_login raising str": ("on_login", lambda i, s: (R.Message("LoginRes", {
        "fund_account_id": R.Evil("str"), "error_code": s}),), R.HostileError),
    "on_order raising format": ("on_order", lambda i, s: (R.Message("OrderReport", {
        "client_order_id": 1, "security_id": s, "order_price": R.Evil("format")}),), R.HostileError),
    "on_order bad arithmetic": ("on_order", lambda i, s: (M.OrderReport(
        client_order_id=1, order_status=OrderStatusType.Filled, last_match_qty=1, total_trade_value=s,
        trade_qty="x"),), TypeError),
    "on_order reject bad text": ("on_order", lambda i, s: (M.OrderReport(
        client_order_id=1, order_status=OrderStatusType.Reject, error_code=s, error_msg=i),), TypeError),
    "on_algo_parent_order_update unhashable key": ("on_algo_parent_order_update", lambda i, s: (
        R.Message("AlgoParentOrderMsg", {"sys_quote_id": [s]}),), TypeError),
    "on_control_algo_parent_order_res raising eq": ("on_control_algo_parent_order_res", lambda i, s: (
        R.Message("ControlParentOrderRes", {"control_type": R.Evil("eq"), "sys_quote_id": s}),), R.HostileError),
    "on_cancel_algo_parent_order_res missing": ("on_cancel_algo_parent_order_res", lambda i, s: (
        R.Message("CancelParentOrderRes", {"sys_quote_id": s}),), AttributeError),
}



@pytest.fixture(autouse=True)
def quiet_logs():
    """Log records kept by pytest's capture would look like a leak."""
    import logging

    logging.disable(logging.CRITICAL)
    yield
    logging.disable(logging.NOTSET)


def traced_growth(loop, settle):
    """Bytes still traced after the second of two traced batches of N calls. A free-threaded build
    frees some memory only once every thread has moved on: the first batch brings those deferred frees
    to their steady level, so what the second leaves behind grows with N only if something leaks."""
    tracemalloc.start()
    try:
        loop(WARMUP, WARMUP + N)
        settle()
        before = tracemalloc.get_traced_memory()[0]
        loop(WARMUP + N, WARMUP + 2 * N)
        settle()
        return tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()


def run_leak_check(name, build, expect_error, fn=None):
    s = B.new_strategy(B.QuietContext())
    fn = fn or getattr(s, name)
    sentinel = Sentinel()
    B.reset_state()
    order = B.file_order(1)
    watched = {"sentinel": sentinel, "strategy": s, "engine order": order, "Event": ferrule.Event,
               "event_queue": ferrule.event_queue}

    def loop(start, stop):
        for i in range(start, stop):
            try:
                fn(*build(i, sentinel))
            except expect_error or ():  # that error only: any other reaches the test
                pass
            else:
                assert not expect_error, "the error path returned normally"
            if i % DRAIN_EVERY == 0:
                B.drain()

    def settle():
        B.drain()
        # A new day empties the books and the records kept for the day (each fill published for an order).
        s.on_switch_day()
        ferrule.orders_dict[1] = order
        gc.collect()

    loop(0, WARMUP)
    settle()
    refs = {k: sys.getrefcount(v) for k, v in watched.items()}
    grown = traced_growth(loop, settle)
    deltas = {k: sys.getrefcount(v) - refs[k] for k, v in watched.items()}
    B.reset_state()
    assert all(abs(d) <= 1 for d in deltas.values()), f"reference counts moved after {N} calls: {deltas}"
    assert grown < TOLERANCE, f"{grown} bytes still traced after {N} calls of {name}"
    print(f"LEAK {name} ({'error' if expect_error else 'success'} path): {N} calls, {grown} bytes, refcount deltas {deltas}")


@pytest.mark.parametrize("scenario", sorted(SCENARIOS))
def test_callback_does_not_leak(scenario):
    name, build = SCENARIOS[scenario]
    run_leak_check(name, build, expect_error=None)


@pytest.mark.parametrize("scenario", sorted(ERRORS))
def test_error_path_does_not_leak(scenario):
    name, build, error = ERRORS[scenario]
    run_leak_check(name, build, expect_error=error)


@pytest.mark.parametrize("scenario", sorted(SCENARIOS) + sorted(ERRORS))
def test_recorded_callback_does_not_leak(scenario, tmp_path):
    """The same with the recorder reading every call: it keeps no object, and no reference, of a message."""
    name, build, *error = {**SCENARIOS, **ERRORS}[scenario]
    ferrule.start_recording(tmp_path / "leaks.rec")
    try:
        run_leak_check(name, build, expect_error=error[0] if error else None)
    finally:
        stats = ferrule.stop_recording()
    assert stats["records"] >= WARMUP + N and not stats["dropped"] and stats["error"] is None


def query_scenarios():
    out = {}
    for q in R.QUERIES:
        args = lambda i, s, q=q: ("000001.XSHE",) + ((i % 90 - 30,) if q.startswith("history_") else ())
        out[q] = (q, args, None)
        miss = lambda i, s, q=q: ("none.XSHE",) + ((i,) if q.startswith("history_") else ())
        out[q + " unknown instrument"] = (q, miss, None)
        if q.startswith("history_"):
            out[q + " bad count"] = (q, lambda i, s: ("000001.XSHE", s), TypeError)
    out["get_current_tick unhashable"] = ("get_current_tick", lambda i, s: ([s],), TypeError)
    return out


QUERY_SCENARIOS = query_scenarios()


@pytest.mark.parametrize("scenario", sorted(QUERY_SCENARIOS))
def test_query_does_not_leak(scenario):
    from collections import deque

    name, build, expect_error = QUERY_SCENARIOS[scenario]
    fn = getattr(ferrule, name)
    B.reset_state()
    for history, maxlen in ((ferrule.history_tick, 60), (ferrule.history_bar, None)):
        history["000001.XSHE"] = deque(({"market_code": "000001.XSHE", "i": i} for i in range(60)), maxlen)
    records = list(ferrule.history_tick["000001.XSHE"]) + list(ferrule.history_bar["000001.XSHE"])
    sentinel = Sentinel()
    watched = [sentinel, fn] + records

    def loop(start, stop):
        for i in range(start, stop):
            try:
                fn(*build(i, sentinel))
            except expect_error or ():  # that error only: any other reaches the test
                pass
            else:
                assert not expect_error, "the error path returned normally"

    loop(0, WARMUP)
    gc.collect()
    refs = [sys.getrefcount(v) for v in watched]
    grown = traced_growth(loop, gc.collect)
    deltas = [sys.getrefcount(v) - r for v, r in zip(watched, refs)]
    B.reset_state()
    assert all(abs(d) <= 1 for d in deltas), f"reference counts moved after {N} calls: {deltas}"
    assert grown < TOLERANCE, f"{grown} bytes still traced after {N} calls of {name}"


def test_the_check_sees_one_object_leaked_per_call():
    kept = []
    with pytest.raises(AssertionError, match="still traced"):
        run_leak_check("leaky", lambda i, s: (fresh_float(i),), None, fn=kept.append)


def test_the_check_sees_one_reference_leaked_per_call():
    kept = []
    with pytest.raises(AssertionError, match="reference counts moved"):
        run_leak_check("leaky", lambda i, s: (s,), None, fn=kept.append)
