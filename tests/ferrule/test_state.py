import pathlib
import re
import shutil
import subprocess
from collections import deque

import pytest
from bridge_support import GLOBALS
from signature_support import python_equivalent, type_error

from corvina.lumen.utils import ferrule as F



def test_globals_are_created_once_and_keep_their_identity(ferrule, strategy, config, drain):
    before = {name: getattr(ferrule, name) for name in GLOBALS}
    strategy.on_switch_day()
    strategy.send_after_trading_event()
    assert all(getattr(ferrule, name) is obj for name, obj in before.items())
    assert [type(ferrule.vela_params)] + [type(getattr(ferrule, n)) for n in GLOBALS[2:]] == [dict] * 7
    assert isinstance(ferrule.event_queue, ferrule.RB)
    assert ferrule.event_queue.maxlen == 1_000_000
    assert ferrule.event_queue.dtype == object


def test_names_bound_at_load(ferrule):
    import numpy
    import pyvela.enums
    import pyvela.strategy
    from datetime import date, datetime, time, timedelta

    assert ferrule.strategy is pyvela.strategy
    assert ferrule.np is numpy and ferrule.deque is deque
    assert (ferrule.datetime, ferrule.date, ferrule.time, ferrule.timedelta) == (datetime, date, time, timedelta)
    for name in getattr(pyvela.enums, "__all__", [n for n in dir(pyvela.enums) if not n.startswith("_")]):
        assert getattr(ferrule, name) is getattr(pyvela.enums, name)
    for name in ["Environment", "EVENT", "Event", "TickObject", "Trade", "L2Order", "L2Transaction",
                 "convert_int_to_datetime", "convert_int_to_whole_date", "get_exchane_from_vela_mdtype",
                 "get_vela_tdtype", "system_log", "AlgoParentOrder", "ORDER_STATUS", "SIDE", "Asset", "Position"]:
        assert hasattr(ferrule, name), name


# The interpreter's private symbols a module may import: what the public macros and inline
# functions expand to, and the private functions listed in the design notes (with the reason for each).
MACRO_SYMBOLS = {
    "_Py_Dealloc": "Py_DECREF", "_Py_NoneStruct": "Py_None", "_Py_TrueStruct": "Py_True",
    "_Py_FalseStruct": "Py_False", "_Py_NotImplementedStruct": "Py_NotImplemented",
    "_PyObject_GC_New": "PyObject_GC_New",
    # Py_DECREF's free-threaded form: the shared and the owner's reference counts
    "_Py_DecRefShared": "Py_DECREF", "_Py_MergeZeroLocalRefcount": "Py_DECREF",
}


def readme_private_functions():
    text = (pathlib.Path(__file__).parents[2] / "docs" / "design.md").read_text()
    section = text.split("### Private C API", 1)[1].split("\n#", 1)[0]
    return set(re.findall(r"`(_Py\w+)`", section))


@pytest.mark.skipif(not shutil.which("nm"), reason="needs nm")
@pytest.mark.parametrize("module", ["corvina.lumen.utils.ferrule", "corvina.lumen.sdk.pylon", "corvina.lumen.sdk.satchel"])
def test_only_the_init_function_is_exported(module):
    import importlib.util
    path = importlib.util.find_spec(module).origin

    def nm(flag):
        out = subprocess.run(["nm", "-D", flag, path], capture_output=True, text=True, check=True).stdout
        return [line.split()[-1] for line in out.splitlines() if line.strip()]

    assert nm("--defined-only") == ["PyInit_" + module.rsplit(".", 1)[1]]
    private = {s.split("@")[0] for s in nm("--undefined-only") if s.startswith("_Py")}
    assert private - MACRO_SYMBOLS.keys() - readme_private_functions() == set()


def store_bars(ferrule, code, n):
    ferrule.history_bar[code] = deque({"n": i} for i in range(1, n + 1))
    return list(ferrule.history_bar[code])


@pytest.mark.parametrize("count, expected", [
    (3, [3, 4, 5]), (0, [1, 2, 3, 4, 5]), (-2, [3, 4, 5]), (-7, []), (5, [1, 2, 3, 4, 5]),
    (100, [1, 2, 3, 4, 5]), (10**30, [1, 2, 3, 4, 5]), (-10**30, []), (True, [5]),
])
def test_history_window(ferrule, count, expected):
    bars = store_bars(ferrule, "000001.XSHE", 5)
    window = ferrule.history_bars("000001.XSHE", count)
    assert [b["n"] for b in window] == expected
    assert all(any(w is b for b in bars) for w in window), "records are handed out, not copied"
    assert window == bars[-count:]  # as Python slices the deque's list


def test_queries_by_keyword_and_newest_record(ferrule):
    bars = store_bars(ferrule, "A", 3)
    assert ferrule.get_current_bar(market_code="A") is bars[-1]
    assert ferrule.history_bars(count=2, market_code="A") == bars[1:]
    first, second = ferrule.history_bars("A", 0), ferrule.history_bars("A", 0)
    assert type(first) is list and first is not second


@pytest.mark.parametrize("query, args", [
    ("get_current_tick", ("X",)), ("get_current_bar", ("X",)),
    ("history_ticks", ("X", 5)), ("history_bars", ("X", 0)),
])
def test_unknown_instrument_gives_none(ferrule, query, args):
    assert getattr(ferrule, query)(*args) is None


def test_window_count_needs_an_integer(ferrule):
    store_bars(ferrule, "A", 2)
    with pytest.raises(TypeError):
        ferrule.history_bars("A", 1.5)
    with pytest.raises(TypeError):
        ferrule.history_bars("A", "2")


@pytest.mark.parametrize("name", ["get_current_tick", "history_ticks"])
@pytest.mark.parametrize("args, kwargs", [
    ((), {}), (("a", 1, 2), {}), (("a",), {"bogus": 1}), (("a",), {"market_code": "b"}), ((), {"count": 1}),
])
def test_bad_arguments_raise_like_a_python_function(ferrule, name, args, kwargs):
    f = getattr(ferrule, name)
    assert type_error(f, *args, **kwargs) == type_error(python_equivalent(f), *args, **kwargs)


@pytest.mark.parametrize("query, extra", [("get_current_tick", ()), ("history_bars", (1,))])
def test_unhashable_market_code(ferrule, query, extra):
    with pytest.raises(TypeError, match="unhashable"):
        getattr(ferrule, query)(["list"], *extra)


def test_event_queue_overwrites_the_oldest_when_full(ferrule, drain):
    q = ferrule.event_queue
    for i in range(1_000_001):
        q.append(i)
    assert len(q) == 1_000_000
    assert q[0] == 1 and q[-1] == 1_000_000
    drain()


def test_every_event_that_overwrites_the_real_ring_buffer_is_counted(ferrule, strategy, drain):
    ferrule.reset_stats()
    q, send, kind = ferrule.event_queue, strategy.send_day_event, ferrule.EVENT.BEFORE_TRADING
    for _ in range(q.maxlen + 25):
        send(kind, 0)
    stats = ferrule.stats()
    assert (stats["overwritten"], stats["published"]["BEFORE_TRADING"]) == (25, q.maxlen + 25)
    drain()


def ring(capacity):
    return F.RB(capacity=capacity, dtype=object)


@pytest.mark.parametrize("make_queue, rounds, overwritten", [
    (lambda: ring(100), [(100, 50), (60, 0)], 10),  # the bound is renewed by a real look after draining
    (lambda: ring(100), [(99, 99)] * 3, 0),
    (lambda: deque(maxlen=3), [(5, 0)], 2),
    (deque, [(500, 0)], 0),  # no capacity: nothing is ever overwritten
])
def test_swapped_in_queues_count_what_they_overwrite(ferrule, strategy, monkeypatch, make_queue, rounds, overwritten):
    ferrule.reset_stats()
    queue = make_queue()
    monkeypatch.setattr(ferrule, "event_queue", queue)
    for published, drained in rounds:
        for _ in range(published):
            strategy.send_day_event(ferrule.EVENT.OPEN_AUCTION, 0)
        for _ in range(drained):
            queue.popleft()
    assert ferrule.stats()["overwritten"] == overwritten


def test_calls_failures_and_unknown_orders_are_counted_until_reset(ferrule, strategy, drain):
    from message_support import make_report, make_snapshot
    from pyvela.messages import OrderActionError

    ferrule.reset_stats()
    boom = RuntimeError("boom")

    def fail(*args):
        raise boom

    strategy.on_order(make_report("Sended", client_order_id=404, counter_order_id=1, order_qty=1, trade_qty=0,
                                  total_trade_value=0, last_match_qty=0, order_price=1, error_msg=""))
    strategy.on_order_action_error(OrderActionError(client_order_id=405))
    strategy.on_snapshot(make_snapshot())
    with pytest.raises(RuntimeError) as info:
        strategy.on_snapshot(make_snapshot(security_id=type("Bad", (), {"__add__": fail})()))
    assert info.value is boom
    strategy.send_day_event(type("Custom", (), {"name": "CUSTOM"})(), 0)
    stats = ferrule.stats()
    assert {k: stats["calls"][k] for k in ("on_order", "on_order_action_error", "on_snapshot")} == {
        "on_order": 1, "on_order_action_error": 1, "on_snapshot": 2}
    assert (stats["failures"]["on_snapshot"], stats["unknown_orders"]) == (1, 2)
    assert (stats["published"]["TICK"], stats["published"]["CUSTOM"]) == (1, 1)
    drain()
    ferrule.reset_stats()
    stats = ferrule.stats()
    assert not any(stats["published"].values()) and not any(stats["calls"].values())
    assert [stats[k] for k in ("overwritten", "repeated_fills", "unknown_orders", "skipped_positions")] == [0] * 4
