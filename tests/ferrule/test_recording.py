"""Recording at the bridge: what a record holds, the two readers of the file
(ferrule_recording, record by record; decode_records, for replay), and what
happens when the file cannot be written."""
import datetime as dt
import json
import math
import os
import signal
import stat
import subprocess
import sys
import threading
import time
from enum import Enum
import warnings
from types import SimpleNamespace

import numpy as np
import pytest

from bridge_support import make_config, summary
from message_support import make_bar, make_report, make_snapshot, make_tick_order, make_tick_trade

from corvina.lumen.utils import ferrule_recording as fr
from pyvela import messages as M
from pyvela.enums import AlgoControlType, MarketType, OrderStatusType


@pytest.fixture
def path(tmp_path, ferrule):
    yield str(tmp_path / "session.rec")
    ferrule.stop_recording()


def recorded(ferrule, path, calls):
    """Runs calls (thunks, none of which raises) while recording; the Python reader's records."""
    ferrule.start_recording(path, {"test": True})
    for call in calls:
        call()
    ferrule.stop_recording()
    with fr.open(path) as rec:
        return list(rec)


def enum(member):
    return fr.EnumValue(f"{type(member).__module__}.{type(member).__qualname__}", member.value)


def plain(v):
    """What the reader gives back for a value the recorder wrote."""
    if isinstance(v, (OrderStatusType, MarketType, AlgoControlType)):
        return enum(v)
    return v


def fields_of(msg, schema_fields):
    return {f: plain(getattr(msg, f)) for f in schema_fields}


def schema(path, name):
    with fr.open(path) as rec:
        return next(c for c in rec.header["callbacks"] if c["name"] == name)["args"]


def fast_decoded(path):
    """decode_records' view of the file, normalised to the Python reader's: messages as dicts of the fields
    that were read (a raised field is left out), named values as the reader's tuples."""
    from corvina.lumen.utils import ferrule

    def resolve(kind, name, value):
        return {"enum": fr.EnumValue, "other": fr.Other, "raised": fr.Raised}[kind](name, value)

    with fr.open(path) as rec:
        shapes = [tuple((None, tuple(a["fields"])) if "fields" in a else None for a in c["args"])
                 for c in rec.header["callbacks"]]
        out = []
        for raw, _ in rec.blocks():
            for callback, flags, mono, wall, clock, args in ferrule.decode_records(raw, shapes, resolve, {}):
                out.append((rec.name(callback), bool(flags & fr.NESTED), mono, wall, clock, args))
        return out


def without_raised(v):
    if isinstance(v, dict):
        return {k: without_raised(x) for k, x in v.items() if not isinstance(x, fr.Raised)}
    if isinstance(v, list):
        return [without_raised(x) for x in v]
    if isinstance(v, tuple) and not hasattr(v, "_fields"):
        return tuple(without_raised(x) for x in v)
    return v


def same(a, b):
    """== that holds nan equal to nan and tells -0.0 from 0.0."""
    if isinstance(a, float) and isinstance(b, float):
        return (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) == math.copysign(1, b))
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


def assert_readers_agree(path):
    slow = [(r.name, r.nested, r.monotonic_ns, r.wall_ns, r.clock, without_raised(r.args))
            for r in fr.open(path)]
    assert same(slow, fast_decoded(path))


# --- what a record holds -------------------------------------------------------------------------------------

POSITION = M.PositionEntry(security_id="000001", market_id=MarketType.SZSE, init_qty=100, leaves_qty=100,
                           available_qty=50, cost_price=9.5, last_price=10.0, market_value=1000.0, profit_loss=50.0)
CALLS = [
    ("on_snapshot", (make_snapshot(),)),
    ("on_tick_order", (make_tick_order(),)),
    ("on_tick_trade", (make_tick_trade(),)),
    ("on_bar", (make_bar(),)),
    ("on_login", (M.LoginRes(fund_account_id="F1", error_code=7, client_seq_id=3, error_msg="no"),)),
    ("on_query_asset", (M.AssetRes(fund_account_id="F1", leaves_value=5.5), 11, 0, "")),
    ("on_query_position", ([POSITION, POSITION], 12, 0, "")),
    ("on_query_position", ((), 13, 30001, "unknown")),  # not a list: the value as it came
    ("on_order", (make_report("Filled", last_match_qty=30),)),
    ("on_trade", (M.TradeReport(client_order_id=5),)),
    ("on_order_action_error", (M.OrderActionError(client_order_id=5, error_msg="late"),)),
    ("on_algo_login", (M.AlgoLoginRes(trader_id="T1"),)),
    ("on_control_algo_parent_order_res", (M.ControlParentOrderRes(control_type=AlgoControlType.Pause),)),
    ("on_algo_parent_order_update", (M.AlgoParentOrderMsg(sys_quote_id=9, side=1, status=2),)),
    ("on_algo_child_order_trade", (M.AlgoChildTradeMsg(sys_quote_id=4, trade_qty=100, trade_price=10.5),)),
]


@pytest.mark.parametrize("name, args", CALLS, ids=[f"{n}-{i}" for i, (n, _) in enumerate(CALLS)])
def test_a_record_holds_what_the_bridge_reads(ferrule, strategy, path, name, args):
    (record,) = recorded(ferrule, path, [lambda: getattr(strategy, name)(*args)])
    assert (record.name, record.nested, record.clock) == (name, False, None)
    assert abs(record.wall_ns - time.time_ns()) < 60e9 and record.monotonic_ns > 0
    expected = []
    for arg, shape in zip(args, schema(path, name)):
        if "fields" not in shape:
            expected.append(plain(arg))
        elif shape["list"] and type(arg) is list:
            expected.append([fields_of(a, shape["fields"]) for a in arg])
        elif shape["list"]:
            expected.append(arg)
        else:
            expected.append(fields_of(arg, shape["fields"]))
    assert list(record.args) == expected
    assert_readers_agree(path)


def test_the_market_data_fields_are_those_the_bridge_reads(path, ferrule, strategy):
    recorded(ferrule, path, [])
    assert schema(path, "on_snapshot")[0]["fields"][:3] == ["orig_time", "security_id", "market_type"]
    assert len(schema(path, "on_snapshot")[0]["fields"]) == 21
    assert schema(path, "on_trade")[0]["fields"] == []  # on_trade reads nothing of its report


def counted(log, msg):
    """A copy of a gateway message (or of a configuration's base) that appends the name of each field read
    from it to log. Its class still names the fields in __slots__, as the engine's models read them."""
    cls = type(msg)
    slots = getattr(cls, "__slots__", None)

    def __getattribute__(self, name):
        if not name.startswith("_"):
            log.append(name)
        return object.__getattribute__(self, name)

    if slots is None:  # a namespace
        return type(cls.__name__, (cls,), {"__getattribute__": __getattribute__})(**vars(msg))
    sub = type(cls.__name__, (cls,), {"__slots__": (), "__getattribute__": __getattribute__})
    sub.__slots__ = slots
    copy = sub.__new__(sub)
    for f in slots:
        object.__setattr__(copy, f, getattr(msg, f))
    return copy


def first_reads(log):
    return list(dict.fromkeys(log))


FILED = "filed"  # the report's order is in orders_dict
# (callback, args made by count(message); FILED or None; the strategy's configuration), every path through
# each callback that reads its messages differently.
READ_PATHS = [
    ("on_snapshot", lambda c: (c(make_snapshot()),), None),
    ("on_tick_order", lambda c: (c(make_tick_order()),), None),
    ("on_tick_trade", lambda c: (c(make_tick_trade()),), None),
    ("on_bar", lambda c: (c(make_bar()),), None),
    ("on_login", lambda c: (c(M.LoginRes(fund_account_id="F1", error_code=0)),), None),
    ("on_login", lambda c: (c(M.LoginRes(fund_account_id="F1", error_code=7)),), None),
    ("on_query_asset", lambda c: (c(M.AssetRes(fund_account_id="F1")), 11, 0, ""), None),
    ("on_query_asset", lambda c: (c(M.AssetRes(fund_account_id="F1")), 11, 30001, "no"), None),
    ("on_query_position", lambda c: ([c(POSITION), c(POSITION)], 12, 0, ""), None),
    ("on_order", lambda c: (c(make_report("Sended", counter_order_id=5)),), FILED),
    ("on_order", lambda c: (c(make_report("Filled", last_match_qty=30, trade_qty=30, order_qty=100)),), FILED),
    ("on_order", lambda c: (c(make_report("Reject", error_code=3, error_msg="no")),), FILED),
    ("on_order", lambda c: (c(make_report("Sended")),), None),
    ("on_trade", lambda c: (c(M.TradeReport(client_order_id=11)),), FILED),
    ("on_order_action_error", lambda c: (c(M.OrderActionError(client_order_id=11)),), FILED),
    ("on_algo_login", lambda c: (c(M.AlgoLoginRes(trader_id="T1")),), None),
    ("on_create_algo_parent_order_res", lambda c: (c(M.CreateParentOrderRes(sys_quote_id=9)),), None),
    ("on_cancel_algo_parent_order_res", lambda c: (c(M.CancelParentOrderRes(sys_quote_id=9)),), None),
    ("on_control_algo_parent_order_res",
     lambda c: (c(M.ControlParentOrderRes(control_type=AlgoControlType.Pause)),), None),
    ("on_control_algo_parent_order_res",
     lambda c: (c(M.ControlParentOrderRes(algo_control_type=AlgoControlType.Resume)),), None),
    ("on_algo_parent_order_update", lambda c: (c(M.AlgoParentOrderMsg(sys_quote_id=9)),), None),
    ("on_algo_child_order_update", lambda c: (c(M.AlgoChildOrderMsg(sys_quote_id=4)),), None),
    ("on_algo_child_order_trade", lambda c: (c(M.AlgoChildTradeMsg(sys_quote_id=4)),), None),
    ("initialize", lambda c: (None,), None),  # reads self.config.base, start-up and the clock it arms
    ("create_time_listener", lambda c: (), None),
]


def test_the_fields_recorded_are_the_fields_the_bridge_reads_in_order(ferrule, path, clock):
    """For every callback: the recorder reads each field of its messages' shapes once, in order, before the
    callback runs; on each path the bridge's first reads follow that order; each field recorded is read on
    some path."""
    from corvina.lumen.model.order import Order

    clock(dt.datetime(2026, 12, 8, 8, 30))
    recorded(ferrule, path, [])
    callbacks = {c["name"]: c["args"] for c in fr.open(path).header["callbacks"]}
    read = {}  # message type -> fields the bridge read on any path
    for name, make_args, filed in READ_PATHS:
        runs = []
        for recording in (False, True):
            logs = []

            def count(msg, logs=logs):
                logs.append((type(msg).__name__, []))
                return counted(logs[-1][1], msg)

            args = make_args(count)
            base = count(make_config(md_type="AMD", algo_account="x_atx",
                                     trading_calendar=[np.datetime64("2026-12-08")]).base)
            strategy = ferrule.VelaStrategy(SimpleNamespace(base=base))
            strategy.on_switch_day()
            if filed:
                ferrule.orders_dict[11] = Order("000001.XSHE", 100, 10.0, client_order_id=11)
            if recording:
                ferrule.start_recording(path, overwrite=True)
            getattr(strategy, name)(*args)  # each path ends without an error, recorded or not
            ferrule.stop_recording()
            runs.append(logs)
        shapes = {a["message"]: a["fields"] for a in callbacks[name] if "fields" in a}
        for (kind, plain), (_, with_recording) in zip(*runs):
            kind = "config.base" if kind == "SimpleNamespace" else kind
            if kind not in shapes:
                assert plain == [] and with_recording == [], (name, kind)
                continue
            fields = shapes[kind]
            if kind != "config.base" or name != "initialize":  # whose nested calls are recorded too
                assert with_recording[:len(fields)] == fields, (name, kind)
                assert with_recording[len(fields):] == plain, (name, kind)
            reads = first_reads(plain)
            assert reads == [f for f in fields if f in reads], (name, kind, reads)
            read.setdefault(kind, set()).update(reads)
    messages = {a["message"]: a["fields"] for args in callbacks.values() for a in args if "fields" in a}
    assert {k: set(v) for k, v in messages.items()} == read
    assert {n for n, args in callbacks.items() if any("fields" in a for a in args)} <= {n for n, *_ in READ_PATHS} | {
        "set_timer"}


class IntSub(int):
    pass


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


def nested_list(depth):
    v = []
    for _ in range(depth):
        v = [v]
    return v


TZ = dt.timezone(dt.timedelta(hours=8))


# More types and members than the encoder remembers: the rest are written in full each time.
MANY_TYPES = [type(f"T{i}", (IntSub,), {})(i) for i in range(70)]
BigEnum = Enum("BigEnum", [f"M{i}" for i in range(20)])


class NoOffset(dt.tzinfo):
    def utcoffset(self, when):
        raise ValueError("no offset")


VALUES = [  # (value, what the reader gives back)
    (None, None), (True, True), (-0.0, -0.0), (math.nan, math.nan), (-math.inf, -math.inf),
    (10**40, 10**40), (-2**63 - 1, -2**63 - 1), (-2**63, -2**63), ("\ud800x", "\ud800x"), ("", ""), ("价", "价"),
    (b"\xff\x00", b"\xff\x00"), ([1.5, -0.0], [1.5, -0.0]), ([1, -2], [1, -2]), ([1, 2**70, 1.5], [1, 2**70, 1.5]),
    ([], []), ((1, "a"), (1, "a")), ({"a": [1]}, {"a": [1]}),
    (OrderStatusType.Filled, fr.EnumValue("pyvela.enums.OrderStatusType", 3)),
    (dt.datetime(2024, 3, 15, 9, 30, 1, 5), dt.datetime(2024, 3, 15, 9, 30, 1, 5)),
    (dt.datetime(2024, 3, 15, 9, 30, tzinfo=TZ), dt.datetime(2024, 3, 15, 9, 30, tzinfo=TZ)),
    (dt.date(2024, 3, 15), dt.date(2024, 3, 15)),
    (np.float64(1.25), fr.Other("numpy.float64", 1.25)),
    (np.datetime64("2024-03-15"), fr.Other("numpy.datetime64", "2024-03-15")),
    (IntSub(5), fr.Other(f"{__name__}.IntSub", 5)), (3 + 4j, fr.Other("complex", "(3+4j)")),
    (Unprintable(), fr.Other(f"{__name__}.Unprintable", fr.Raised("ValueError", "no text"))),
    ([1, 2**64], [1, 2**64]), ([0, -2**63 - 1], [0, -2**63 - 1]),  # whole numbers, one beyond 64 bits
    (dt.datetime(2024, 3, 15, tzinfo=NoOffset()), fr.Raised("ValueError", "no offset")),
    (MANY_TYPES, [fr.Other(f"{__name__}.T{i}", i) for i in range(70)]),
    (list(BigEnum) * 2, [fr.EnumValue(f"{__name__}.BigEnum", i % 20 + 1) for i in range(40)]),
]


@pytest.mark.parametrize("value, expected", VALUES, ids=[repr(v)[:30] for v, _ in VALUES])
def test_every_kind_of_value_round_trips(ferrule, strategy, path, value, expected):
    (record,) = recorded(ferrule, path, [lambda: strategy.on_snapshot(make_snapshot(last_price=value))])
    assert same(record.args[0]["last_price"], expected)
    assert_readers_agree(path)


def test_self_containing_and_deep_values_are_cut_where_too_deep(ferrule, strategy, path):
    loop = []
    loop.append(loop)
    records = recorded(ferrule, path, [lambda: strategy.on_snapshot(make_snapshot(last_price=loop)),
                                       lambda: strategy.on_snapshot(make_snapshot(last_price=nested_list(100)))])
    for r in records:
        v, depth = r.args[0]["last_price"], 1
        while isinstance(v, list):
            v, depth = v[0], depth + 1
        assert v == fr.Raised("RecursionError", "nested too deep to record") and depth == 32
    assert_readers_agree(path)


class Flaky:
    """A message whose `last_price` getter raises."""

    def __init__(self, exc):
        self.inner, self.exc, self.reads = make_snapshot(), exc, 0

    def __getattr__(self, name):
        if name == "last_price":
            self.reads += 1
            raise self.exc
        return getattr(self.inner, name)


@pytest.mark.parametrize("exc", [ValueError("bad price"), KeyboardInterrupt()])
def test_a_field_that_raises_is_recorded_and_the_callback_does_what_it_would(ferrule, strategy, path, drain, exc):
    def outcome(msg):
        try:
            strategy.on_snapshot(msg)
        except BaseException as e:  # noqa: B036 - the callback's own error, whatever it is
            return type(e), drain()
        return None, drain()

    plain_run = outcome(Flaky(exc))
    ferrule.start_recording(path)
    msg = Flaky(exc)
    recorded_run = outcome(msg)
    ferrule.stop_recording()
    assert recorded_run == plain_run == (type(exc), [])
    assert msg.reads == 2  # once for the record, once by the callback: a getter runs twice while recording
    (record,) = list(fr.open(path))
    assert record.args[0]["last_price"] == fr.Raised(type(exc).__name__, str(exc))
    assert record.args[0]["security_id"] == "000001"
    assert ferrule.stats()["failures"]["on_snapshot"] >= 1
    assert_readers_agree(path)


def test_recording_changes_nothing_that_is_published(ferrule, path, drain):
    def published():
        s = ferrule.VelaStrategy(make_config())
        for name, make in (("on_snapshot", make_snapshot), ("on_tick_order", make_tick_order),
                           ("on_tick_trade", make_tick_trade), ("on_bar", make_bar)):
            getattr(s, name)(make())
        events = drain()
        return summary(events), [e.tick._tick_dict for e in events if e.event_type.name == "TICK"]

    without = published()
    ferrule.history_tick.clear()
    ferrule.history_bar.clear()
    ferrule.start_recording(path)
    with_recording = published()
    ferrule.stop_recording()
    assert with_recording == without
    assert [r.name for r in fr.open(path)] == ["on_snapshot", "on_tick_order", "on_tick_trade", "on_bar"]


def test_nested_calls_are_flagged_and_clock_callbacks_carry_the_bridges_time(ferrule, path, clock, config):
    now = dt.datetime(2026, 12, 8, 8, 59, 30)
    clock(now)
    cfg = config(md_type="AMD", trading_calendar=[np.datetime64("2026-12-08")])
    strategy = ferrule.VelaStrategy(cfg)
    records = recorded(ferrule, path, [lambda: strategy.initialize(cfg), strategy.send_before_trading_event])
    assert [(r.name, r.nested, r.clock) for r in records] == [
        ("initialize", False, now), ("set_timer", True, now), ("create_time_listener", True, now),
        ("send_before_trading_event", False, now), ("send_day_event", True, None)]
    base = records[0].args[0]
    assert base["md_type"] == "AMD" and base["accounts"] == {"stock": "acc_atx"}
    assert base["order_way"].type == "AttributeError"  # not configured: read as the bridge reads it
    assert base["trading_calendar"] == [fr.Other("numpy.datetime64", "2026-12-08")]
    assert records[-1].args == (fr.EnumValue("corvina.lumen.core.events.EVENT", "before_trading"), now)
    assert_readers_agree(path)

    # Started from inside a call: that call is not in the recording, so what it runs is outermost there.
    fake = clock(now)
    started = fake.datetime.now
    fake.datetime.now = lambda tz=None: ferrule.start_recording(path, overwrite=True) or started()
    strategy.send_before_trading_event()
    ferrule.stop_recording()
    with fr.open(path) as rec:
        assert [(r.name, r.nested) for r in rec] == [("send_day_event", False)]


def test_the_switch(ferrule, strategy, path):
    assert not ferrule.is_recording() and ferrule.stop_recording() is None
    assert ferrule.record_mark("sync") is False
    ferrule.start_recording(path, meta={"day": "2024-03-15"})
    assert ferrule.is_recording() and ferrule.stats()["recording"]["active"]
    with pytest.raises(RuntimeError, match="already recording"):
        ferrule.start_recording(path)
    strategy.on_snapshot(make_snapshot())
    assert ferrule.record_mark("sync", dt.datetime(2024, 3, 15, 9, 30)) is True
    stats = ferrule.stop_recording()
    assert not ferrule.is_recording() and stats == ferrule.stats()["recording"]
    assert (stats["active"], stats["path"], stats["records"], stats["dropped"], stats["error"]) == (
        False, path, 2, 0, None)
    assert stats["bytes"] == os.path.getsize(path) and stats["blocks"] >= 1
    ferrule.reset_stats()
    assert ferrule.stats()["recording"]["records"] == 2  # the recording's figures are not counters
    with fr.open(path) as rec:
        assert rec.meta == {"day": "2024-03-15"} and rec.version == fr.VERSION
        assert [(r.name, r.args) for r in rec][1] == ("mark", ("sync", dt.datetime(2024, 3, 15, 9, 30)))
    with pytest.raises(TypeError):
        ferrule.start_recording(path, meta=object())  # meta goes into the header as JSON
    assert not ferrule.is_recording()


# --- the file ------------------------------------------------------------------------------------------------

def eventually(condition, seconds=60):
    """Polls condition until it holds (True) or a deadline far beyond any loaded machine's delay (False)."""
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def written(ferrule, records):
    return eventually(lambda: ferrule.stats()["recording"]["records"] >= records)


def two_blocks(ferrule, strategy, path):
    """A file of two blocks: what was there before a flush, and the rest. Returns the records per block."""
    ferrule.start_recording(path)
    for _ in range(3):
        strategy.on_snapshot(make_snapshot())
    assert written(ferrule, 3)
    first = ferrule.stats()["recording"]["records"]
    for _ in range(2):
        strategy.on_tick_order(make_tick_order())
    ferrule.stop_recording()
    return first


def test_what_is_recorded_reaches_the_file_while_recording(ferrule, strategy, path):
    """A block far from full is written all the same, without stopping or another record to push it."""
    ferrule.start_recording(path)
    strategy.on_snapshot(make_snapshot())
    assert written(ferrule, 1), "the writer never wrote the open block"
    assert ferrule.is_recording() and [r.name for r in fr.open(path)] == ["on_snapshot"]


@pytest.mark.parametrize("cut", ["in the block header", "in the block", "a damaged byte"])
def test_a_cut_or_damaged_tail_is_read_up_to_the_last_whole_record(ferrule, strategy, path, cut):
    first = two_blocks(ferrule, strategy, path)
    assert first == 3
    with fr.open(path) as rec:  # the tick orders may have been written in one block or two
        last = [count for _, count in rec.blocks()][-1]
    data = open(path, "rb").read()
    second = data.rindex(b"CVBK")
    data = {"in the block header": data[:second + 10], "in the block": data[:-5],
            "a damaged byte": data[:-3] + bytes([data[-3] ^ 0xFF]) + data[-2:]}[cut]
    open(path, "wb").write(data)
    with pytest.warns(fr.RecordingWarning, match="read up to the last whole record"):
        assert [r.name for r in fr.open(path)] == ["on_snapshot"] * 3 + ["on_tick_order"] * (2 - last)


@pytest.mark.parametrize("damage, message", [
    (lambda d: b"", "truncated header"),
    (lambda d: d[:11], "truncated header"),
    (lambda d: d[:40], "truncated header"),
    (lambda d: d[:8] + b"\x07\x00" + d[10:], "unknown recording version 7"),
    (lambda d: b"PK\x03\x04" + d[4:], "not a ferrule recording"),
    (lambda d: d[:30] + bytes([d[30] ^ 1]) + d[31:], "damaged header"),
])
def test_a_file_the_reader_cannot_read_is_refused_clearly(ferrule, strategy, path, damage, message):
    recorded(ferrule, path, [lambda: strategy.on_snapshot(make_snapshot())])
    data = open(path, "rb").read()
    open(path, "wb").write(damage(data))
    with pytest.raises(fr.RecordingError, match=message):
        fr.open(path)


FUZZ = """
import json, random, struct, sys
from corvina.lumen.live.replay import message_shapes, resolve
from corvina.lumen.utils import ferrule
header = json.load(open(sys.argv[2]))
blocks = [open(p, "rb").read() for p in sys.argv[3:]]
shapes = message_shapes(header)


def records(raw):
    at, out = 0, []
    while at < len(raw):
        (size,) = struct.unpack_from("<I", raw, at)
        out.append(raw[at + 4:at + 4 + size])
        at += 4 + size
    return out


def mutated(rng, raw):
    body = bytearray(rng.choice(records(raw)))
    for _ in range(rng.randint(1, 3)):
        at = rng.randrange(len(body))
        how = rng.randrange(5)
        if how == 0:
            body[at] = rng.randrange(256)
        elif how == 1:
            body[at] = rng.randrange(20)  # another tag
        elif how == 2:
            body[at:at + 4] = struct.pack("<I", rng.choice([0, 1, 255, 2**16, 2**31, 2**32 - 1]))
        elif how == 3:
            del body[at:at + rng.randint(1, 8)]
        else:
            body[at:at] = body[at:at + rng.randint(1, 8)]
    framed = struct.pack("<I", len(body)) + bytes(body)  # the record's size mended, as a crafted file would
    return framed if rng.random() < 0.8 else framed + raw  # and sometimes whole records after it


deep = bytes([255, 0]) + bytes(16) + bytes([1]) + b"\\x08\\x01\\x00\\x00\\x00" * 200_000 + bytes([0])
cases = [struct.pack("<I", len(deep)) + deep]
rng = random.Random(21)
seen = {}
tried = 0
for _ in range(int(sys.argv[1])):
    data = cases.pop() if cases else mutated(rng, rng.choice(blocks))
    tried += 1
    try:
        ferrule.decode_records(data, shapes, resolve, {})
    except Exception as e:
        seen[type(e).__name__] = seen.get(type(e).__name__, 0) + 1
print(json.dumps({"tried": tried, "raised": seen}))
"""


def test_the_decoder_raises_cleanly_on_damaged_and_crafted_blocks(ferrule, strategy, path, tmp_path):
    """Mutated records (sizes mended, as checksums would be recomputed) and a value nested far too deep:
    decode_records raises ValueError (or UnicodeDecodeError) and never crashes; in a child, so a crash
    fails this test rather than the run."""
    calls = [lambda n=name, a=args: getattr(strategy, n)(*a) for name, args in CALLS]
    calls += [lambda v=v: strategy.on_snapshot(make_snapshot(last_price=v)) for v, _ in VALUES]
    recorded(ferrule, path, calls)
    with fr.open(path) as rec:
        (tmp_path / "header.json").write_text(json.dumps(rec.header))
        blocks = []
        for i, (raw, _) in enumerate(rec.blocks()):
            blocks.append(str(tmp_path / f"block{i}"))
            open(blocks[-1], "wb").write(raw)
    cases = 50_000
    done = subprocess.run([sys.executable, "-c", FUZZ, str(cases), str(tmp_path / "header.json"), *blocks],
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr[-2000:]
    result = json.loads(done.stdout)
    assert result["tried"] == cases and set(result["raised"]) <= {"ValueError", "UnicodeDecodeError"}, result


def test_a_file_that_cannot_be_created_raises_at_start(ferrule, strategy, tmp_path):
    missing = tmp_path / "no such folder" / "day.rec"
    with pytest.raises(FileNotFoundError):
        ferrule.start_recording(missing)
    stats = ferrule.stats()["recording"]
    assert not stats["active"] and "No such file or directory" in stats["error"]
    ferrule.start_recording(tmp_path / "day.rec")  # the failed one leaves nothing behind
    strategy.on_snapshot(make_snapshot())
    stats = ferrule.stop_recording()
    assert (stats["records"], stats["error"]) == (1, None)


@pytest.mark.parametrize("args, error, message", [
    ((b"", (), None, []), TypeError, "memo must be a dict"),
    ((b"", [[1]], None, {}), TypeError, r"a message is given as \(cls or None, tuple of field names\)"),
    ((b"", [[(1, ("a",))]], None, {}), TypeError, "a message class must be a type"),
    ((b"", [[(None, (1,))]], None, {}), TypeError, "field names must be str"),
    ((b"", 1, None, {}), TypeError, "not iterable"),
    (("text", (), None, {}), TypeError, "bytes-like"),
    ((b"\xff", (), None, {}), ValueError, "malformed record data at byte 0"),
])
def test_the_decoder_checks_its_arguments(ferrule, args, error, message):
    with pytest.raises(error, match=message):
        ferrule.decode_records(*args)


OPENINGS = [  # (what is at the path, overwrite, what start_recording does)
    (None, False, "created"),
    ("file", False, "refused"),
    ("file", True, "replaced"),
    ("link to a file", False, "refused"),
    ("link to a file", True, "replaced"),
    ("link to nothing", False, "refused"),
    ("link to nothing", True, "replaced"),
    ("directory", False, "not a file"),
    ("directory", True, "not a file"),
]


@pytest.mark.parametrize("there, overwrite, outcome", OPENINGS, ids=[f"{t}-{o}" for t, _, o in OPENINGS])
def test_a_recording_is_owner_only_and_replaces_nothing_unasked(ferrule, strategy, path, tmp_path, there, overwrite,
                                                               outcome):
    """The file holds accounts and orders: 0600 whatever the umask. An existing file or link is refused
    unless overwrite; a link is then replaced, and what it points to is never written."""
    target = tmp_path / "target"
    if there == "file":
        open(path, "wb").write(b"the first day")
        os.chmod(path, 0o644)
    elif there == "link to a file":
        target.write_bytes(b"the first day")
        os.symlink(target, path)
    elif there == "link to nothing":
        os.symlink(target, path)
    elif there == "directory":
        os.mkdir(path)
    before = os.lstat(path) if there else None
    umask = os.umask(0)
    try:
        if outcome == "refused":
            with pytest.raises(FileExistsError, match=r"overwrite=True replaces it"):
                ferrule.start_recording(path, overwrite=overwrite)
            assert not ferrule.is_recording() and os.lstat(path) == before
        elif outcome == "not a file":
            with pytest.raises(IsADirectoryError):
                ferrule.start_recording(path, overwrite=overwrite)
            assert not ferrule.is_recording() and os.lstat(path) == before and not os.listdir(path)
        else:
            ferrule.start_recording(path, overwrite=overwrite)
            strategy.on_snapshot(make_snapshot())
            ferrule.stop_recording()
            st = os.lstat(path)
            assert stat.S_ISREG(st.st_mode) and stat.S_IMODE(st.st_mode) == 0o600
            assert [r.name for r in fr.open(path)] == ["on_snapshot"]
    finally:
        os.umask(umask)
    if there == "link to a file":
        assert target.read_bytes() == b"the first day"
    else:
        assert not target.exists()
    assert sorted(os.listdir(tmp_path)) == ["session.rec"] + (["target"] if there == "link to a file" else [])


def test_a_second_start_while_one_is_being_started_is_refused(ferrule, path, tmp_path):
    """Building the header runs Python code (json.dumps reads the meta): a start from there is refused
    rather than leaving a second writer running unseen."""
    refused = []

    class Meta(dict):
        def items(self):
            try:
                ferrule.start_recording(tmp_path / "second.rec")
            except RuntimeError as e:
                refused.append(str(e))
            return super().items()

    ferrule.start_recording(path, Meta(day="2024-03-15"))
    ferrule.stop_recording()
    assert refused == ["a recording is being started"] and not (tmp_path / "second.rec").exists()
    with fr.open(path) as rec:
        assert rec.meta == {"day": "2024-03-15"}


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_a_full_disk_ends_the_recording_with_one_warning_and_the_callbacks_go_on(ferrule, strategy, drain):
    try:
        ferrule.start_recording("/dev/full")
        assert eventually(lambda: ferrule.stats()["recording"]["error"] is not None)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            for _ in range(3):
                strategy.on_snapshot(make_snapshot())
        assert [str(w.message) for w in caught if w.category is RuntimeWarning] == [
            "ferrule: recording to /dev/full stopped: writing /dev/full: No space left on device"]
        assert [e.event_type.name for e in drain()] == ["TICK"] * 3
        stats = ferrule.stats()["recording"]
        assert not stats["active"] and not ferrule.is_recording() and "No space left" in stats["error"]
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            assert ferrule.stop_recording()["error"] == stats["error"]  # reported once, not again
    finally:
        ferrule.stop_recording()


def test_a_record_over_the_size_limit_is_dropped_and_counted(ferrule, strategy, path, drain):
    ferrule.start_recording(path)
    strategy.on_snapshot(make_snapshot(last_price="x" * (64 * 1024 * 1024)))
    strategy.on_snapshot(make_snapshot())
    stats = ferrule.stop_recording()
    assert (stats["records"], stats["dropped"], stats["error"]) == (1, 1, None)
    assert [e.event_type.name for e in drain()] == ["TICK"] * 2
    assert [r.args[0]["last_price"] for r in fr.open(path)] == [make_snapshot().last_price]


def test_a_stop_warning_made_an_error_by_a_filter_raises_and_the_recording_still_stops(ferrule):
    try:
        ferrule.start_recording("/dev/full")
        assert eventually(lambda: ferrule.stats()["recording"]["error"] is not None)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            with pytest.raises(RuntimeWarning, match="^ferrule: recording to /dev/full stopped: writing /dev/full: "
                                                     "No space left on device$"):
                ferrule.stop_recording()
        assert not ferrule.is_recording() and ferrule.stop_recording() is None
    finally:
        ferrule.stop_recording()


def test_a_writer_that_cannot_keep_up_drops_and_counts_and_never_stalls_a_callback(ferrule, strategy, tmp_path):
    """The file is a pipe nobody reads: the writer blocks, blocks queue up to the limit, then records are dropped."""
    fifo = str(tmp_path / "pipe")
    os.mkfifo(fifo)
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    # 160 kB a record that hardly compresses: the pipe is full at once and the queue's 16 MiB after ~100.
    big = make_snapshot(ask_price=np.random.default_rng(1).random(20_000).tolist())
    calls = 300
    try:
        ferrule.start_recording(fifo)
        for _ in range(calls):
            strategy.on_snapshot(big)  # with nobody reading, a callback that waited would wait for good
        stats = ferrule.stats()["recording"]
        assert stats["dropped"] > 0 and stats["active"]
        received = bytearray()
        done = threading.Event()

        def read_all():
            os.set_blocking(reader, True)
            while chunk := os.read(reader, 1 << 20):
                received.extend(chunk)
            done.set()

        t = threading.Thread(target=read_all)
        t.start()
        final = ferrule.stop_recording()
        t.join(30)
        assert done.is_set()
    finally:
        ferrule.stop_recording()
        os.close(reader)
    copy = tmp_path / "copy.rec"
    copy.write_bytes(bytes(received))
    assert len(list(fr.open(copy))) == final["records"] and final["records"] + final["dropped"] == calls


CHILD = """
import os, signal, sys, time
sys.path[:0] = {path_entries!r}
from bridge_support import make_config
from message_support import make_snapshot
from corvina.lumen.utils import ferrule
s = ferrule.VelaStrategy(make_config())
ferrule.start_recording({path!r})
for _ in range(5):
    s.on_snapshot(make_snapshot())
if {how!r} == "killed":  # once the writer has written them
    while ferrule.stats()["recording"]["records"] < 5:
        time.sleep(0.02)
    os.kill(os.getpid(), signal.SIGKILL)
if {how!r} == "forked":
    pid = os.fork()
    if pid == 0:  # the child records nothing and ends without waiting for the parent's writer
        s.on_snapshot(make_snapshot())
        sys.exit(0)
    assert os.waitpid(pid, 0)[1] == 0
for _ in range(5):
    s.on_snapshot(make_snapshot())
"""


@pytest.mark.parametrize("how", ["exit without stopping", "killed", "forked"])
def test_the_file_survives_the_end_of_the_process(tmp_path, how):
    path = str(tmp_path / "exit.rec")
    code = CHILD.format(path_entries=sys.path, path=path, how=how)
    done = subprocess.run([sys.executable, "-W", "ignore::DeprecationWarning", "-c", code], capture_output=True,
                          text=True, timeout=300)
    crash = how == "killed"
    assert done.returncode == (-signal.SIGKILL if crash else 0), done.stderr
    # At exit everything is written; killed, what the writer had written is kept.
    assert len(list(fr.open(path))) == (5 if crash else 10)
