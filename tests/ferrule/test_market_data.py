import builtins
import datetime as dt
import enum
import gc
import os
import subprocess
import sys
import textwrap
import tracemalloc
import types
from collections import deque
from types import SimpleNamespace

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from message_support import STAMP, fill, make_bar, make_snapshot, make_tick_order, make_tick_trade
from pyvela import messages

from corvina.lumen.const import SIDE
from corvina.lumen.environment import Environment

CODE = "000001.XSHE"
T1, T2 = 20261208093100000, 20261208093200000

TICK_KEYS = ["market_code", "datetime", "open_price", "close_price", "high_price", "low_price", "total_turnover",
             "volume", "prev_close", "ask_vols", "asks", "bid_vols", "bids", "high_limited", "last_price",
             "low_limited", "open_interest", "prev_settlement", "iopv", "trading_phase_code"]
TICK_SOURCES = ["open_price", "close_price", "high_price", "low_price", "total_value_trade", "total_volume_trade",
                "pre_close_price", "ask_volume", "ask_price", "bid_volume", "bid_price", "high_limited",
                "last_price", "low_limited", "open_interest", "prev_settlement", "iopv", "trading_phase_code"]


@pytest.fixture
def calls(ferrule, monkeypatch):
    """calls(name) replaces a module name by a recorder; returns the list of argument tuples."""
    def record(name, result=lambda *a: a[0]):
        seen = []
        monkeypatch.setattr(ferrule, name, lambda *a: (seen.append(a), result(*a))[1])
        return seen
    return record


def distinct_snapshot():
    """A snapshot whose every value attribute holds its own object."""
    return make_snapshot(**{name: object() for name in TICK_SOURCES})


def test_snapshot_record_and_tick_event(strategy, ferrule, universe, drain):
    snap = distinct_snapshot()
    strategy.on_snapshot(snap)
    [tick] = ferrule.history_tick[CODE]
    assert list(tick) == TICK_KEYS
    assert tick["market_code"] == CODE and tick["datetime"] == dt.datetime(2026, 12, 8, 9, 30, 0, 500000)
    assert all(tick[k] is getattr(snap, s) for k, s in zip(TICK_KEYS[2:], TICK_SOURCES))
    [event] = drain()
    assert event.event_type is ferrule.EVENT.TICK and list(event.payload) == ["calendar_dt", "trading_dt", "tick"]
    assert event.calendar_dt == event.trading_dt == tick["datetime"]
    assert event.tick._tick_dict is tick and event.tick.instrument.market_code == CODE
    assert gc.is_tracked(tick) == gc.is_tracked({**tick})  # as a dict display of these values
    strategy.on_snapshot(make_snapshot())
    assert gc.is_tracked(ferrule.history_tick[CODE][-1])  # it holds lists: the collector must see it
    # An all-str dict, as a display makes: the collector visits its values only, not its keys as well.
    assert len(gc.get_referents(ferrule.history_tick[CODE][-1])) == len(TICK_KEYS)


def test_tick_history_keeps_the_newest_60(strategy, ferrule, universe, drain):
    for i in range(61):
        strategy.on_snapshot(make_snapshot(last_price=i))
    q = ferrule.history_tick[CODE]
    assert q.maxlen == 60 and [t["last_price"] for t in q] == list(range(1, 61))
    assert ferrule.get_current_tick(CODE) is q[-1] and len(drain()) == 61


def test_tick_order(strategy, ferrule, universe, drain):
    strategy.on_tick_order(make_tick_order(side=ord("2"), order_type=ord("U")))
    [event] = drain()
    o = event.l2_order
    assert list(event.payload) == ["calendar_dt", "trading_dt", "l2_order"] and event.event_type is ferrule.EVENT.L2_ORDER
    assert (o.seq, o.market_code, o.datetime, o.side, o.price, o.volume, o.order_type, o.orig_order_no,
            o.l2order_type) == (7, CODE, event.calendar_dt, SIDE.SELL, 10.5, 300, "BEST_OWN", 99, "ORDER")
    assert not ferrule.history_tick and not ferrule.history_bar


def test_tick_order_maps_the_order_type_twice(strategy, universe, calls, drain):
    first = calls("get_order_type_from_vela_l2_order")
    second = calls("get_l2order_type_from_vela")
    strategy.on_tick_order(make_tick_order(order_type=ord("A")))
    assert first == second == [("A", 1)]


class _Seq(enum.IntEnum):
    FIVE = 5


class _Contrary(int):
    def __gt__(self, other):
        return not int.__gt__(self, other)


# Numbers the comparison decides without a call, and their edges: beyond a machine word, beyond what a
# double holds exactly, NaN, bool, an IntEnum, and an int subclass with a comparison of its own.
@pytest.mark.parametrize("bid, offer, side", [(101, 100, SIDE.BUY), (100, 100, SIDE.SELL), (99, 100, SIDE.SELL),
                                              (-1, -2, SIDE.BUY), (2**62, 2**62 - 1, SIDE.BUY), (100, 2**40, SIDE.SELL),
                                              (2**70, 2**70 - 1, SIDE.BUY), (2**53 + 1, float(2**53), SIDE.BUY),
                                              (2.5, 2, SIDE.BUY), (2, 2.0, SIDE.SELL), (float("nan"), 1, SIDE.SELL),
                                              (True, 0, SIDE.BUY), (_Seq.FIVE, 4, SIDE.BUY), (_Contrary(1), 2, SIDE.BUY)])
def test_tick_trade(strategy, ferrule, universe, drain, bid, offer, side):
    strategy.on_tick_trade(make_tick_trade(bid_appl_seq_num=bid, offer_appl_seq_num=offer, trade_type=ord("4")))
    [event] = drain()
    t = event.l2_transaction
    assert list(event.payload) == ["calendar_dt", "trading_dt", "l2_transaction"]
    assert (t.seq, t.market_code, t.datetime, t.side, t.price, t.volume, t.value, t.trade_type, t.bid_seq,
            t.offer_seq) == (8, CODE, event.calendar_dt, side, 10.5, 200, 2100.0, "CANCEL", bid, offer)
    assert not ferrule.history_tick and not ferrule.history_bar


CALLBACKS = [("on_snapshot", make_snapshot, "orig_time"), ("on_tick_order", make_tick_order, "order_time"),
             ("on_tick_trade", make_tick_trade, "trade_time"), ("on_bar", make_bar, "end_time")]


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(stamp=st.integers(10**16, 10**17 - 1) | st.integers(-2**64, 2**64)
       | st.sampled_from([STAMP, 10**16 + 1, 2**53 + 1, 2**56 - 1, 0, -1, 2**63 - 1, -2**63, 2**63])
       # exact halves between two floats, rounded to the even one, and their neighbours
       | st.builds(lambda m, k, d, sign: sign * (1000 * (2 * m + 1) * 2**k // 8 + d),
                   st.integers(2**52, 2**53 - 1), st.integers(0, 3), st.integers(-1, 1), st.sampled_from([1, -1])))
def test_stamps_are_divided_as_python_divides(ferrule, monkeypatch, stamp):
    monkeypatch.setattr(Environment, "_instance", Environment([CODE, "000002.XSHE"]))  # bars never complete
    s = ferrule.VelaStrategy(None)
    for name, make, field in CALLBACKS:
        seen = []
        monkeypatch.setattr(ferrule, "convert_int_to_datetime", lambda x: seen.append(x) or x)
        getattr(s, name)(make(**{field: stamp}))
        assert [(type(x), x) for x in seen] == [(float, stamp / 1000)]
    assert s.current_trade_dt == stamp / 1000


def bars(strategy, *ends):
    for end in ends:
        strategy.on_bar(make_bar(end))


@pytest.mark.parametrize("size, ends, n_events, bar_cnt, current", [
    (3, [T1, T1, T1], 1, 0, T1 / 1000),
    (3, [T1, T1, T2], 0, 1, T2 / 1000),
    (3, [T1, T1, T2, T2, T2], 1, 0, T2 / 1000),
    (3, [T1, T1, T1, T1], 1, 1, T1 / 1000),  # after completion the count starts again
    (1, [T1, T2, T2], 3, 0, T2 / 1000),
    (0, [T1, T1, T1], 0, 3, T1 / 1000),  # an empty universe never completes
])
def test_bar_completion(strategy, ferrule, universe, drain, size, ends, n_events, bar_cnt, current):
    universe([f"{i:06d}.XSHE" for i in range(size)])
    bars(strategy, *ends)
    events = drain()
    assert [e.event_type for e in events] == [ferrule.EVENT.BAR] * n_events
    whole = ferrule.convert_int_to_whole_date(int(ends[-1] / 1000))
    assert all(list(e.payload) == ["calendar_dt", "trading_dt"] and e.calendar_dt == e.trading_dt for e in events)
    assert not events or events[-1].calendar_dt == whole
    assert (strategy.bar_cnt, strategy.current_trade_dt) == (bar_cnt, current)


def test_bar_record_and_unbounded_history(strategy, ferrule, universe, drain):
    bars(strategy, *[T1] * 300)
    q = ferrule.history_bar[CODE]
    assert q.maxlen is None and len(q) == 300
    assert list(q[-1]) == ["market_code", "orig_time", "open_price", "close_price", "high_price", "low_price",
                           "total_turnover", "volume", "prev_close"]
    assert list(q[-1].values()) == [CODE, dt.datetime(2026, 12, 8, 9, 31), 10.0, 10.2, 10.3, 9.9, 1.0e6, 100_000,
                                    9.8]
    assert len(gc.get_referents(q[-1])) == 9
    assert not ferrule.history_tick


def python_error(fn):
    try:
        fn()
    except Exception as e:  # noqa: BLE001 - the very error Python raises
        return type(e), str(e)
    raise AssertionError("no error")


def without(make, field, **fields):
    msg = make(**fields)
    delattr(msg, field)
    return msg


class Failing:
    def __get__(self, obj, owner):
        raise LookupError("feed down")

    def __set__(self, obj, value):
        pass


SnapshotWithBadGetter = type("SnapshotWithBadGetter", (messages.Snapshot,), {"iopv": Failing()})


@pytest.mark.parametrize("callback, message, expected", [
    ("on_snapshot", lambda: without(make_snapshot, "iopv"),
     python_error(lambda: without(make_snapshot, "iopv").iopv)),
    ("on_snapshot", lambda: SnapshotWithBadGetter(orig_time=STAMP, security_id="1", market_type=1),
     (LookupError, "feed down")),
    ("on_snapshot", lambda: make_snapshot(security_id=600000), python_error(lambda: 600000 + ".")),
    ("on_bar", lambda: make_bar(security_id=None), python_error(lambda: None + ".")),
    ("on_tick_order", lambda: without(make_tick_order, "orig_order_no"),
     python_error(lambda: without(make_tick_order, "orig_order_no").orig_order_no)),
    ("on_tick_trade", lambda: make_tick_trade(trade_time="x"), python_error(lambda: "x" / 1000)),
])
def test_bad_messages_raise_pythons_error(strategy, ferrule, universe, drain, callback, message, expected):
    with pytest.raises(expected[0]) as e:
        getattr(strategy, callback)(message())
    assert str(e.value) == expected[1] and not drain()


class Index:
    def __index__(self):
        return 0x42


@pytest.mark.parametrize("code", [-1, 0x110000, 2**31, -2**31 - 1, 2**70, 1.5, "1", None, True, Index()])
@pytest.mark.parametrize("callback, make, field", [
    ("on_tick_order", make_tick_order, "side"), ("on_tick_order", make_tick_order, "order_type"),
    ("on_tick_trade", make_tick_trade, "trade_type")])
def test_character_codes_follow_chr(strategy, ferrule, universe, calls, drain, code, callback, make, field):
    for name in ("get_side_from_vela_l2_order", "get_order_type_from_vela_l2_order", "get_l2order_type_from_vela",
                 "get_trade_type_from_vela"):
        calls(name)
    try:
        expected = builtins.chr(code)
    except Exception as e:  # noqa: BLE001
        with pytest.raises(type(e)) as got:
            getattr(strategy, callback)(make(**{field: code}))
        assert str(got.value) == str(e)
        return
    getattr(strategy, callback)(make(**{field: code}))
    payload = drain()[0].payload
    obj = payload.get("l2_order") or payload["l2_transaction"]
    assert expected in {getattr(obj, a, None) for a in ("side", "order_type", "l2order_type", "trade_type")}


class Text(str):
    pass


class Shown:
    def __init__(self, shown):
        self.shown = shown

    def __str__(self):
        if isinstance(self.shown, Exception):
            raise self.shown
        return self.shown


# The engine's converter may be the str type itself: called as str(x) is.
@pytest.mark.parametrize("market_type", [1, 2**70, 1.5, None, Shown(Text("XSHE")), Shown(LookupError("no market")),
                                         Shown(3)])
def test_str_as_a_converter_is_str(strategy, ferrule, universe, drain, monkeypatch, market_type):
    monkeypatch.setattr(ferrule, "get_exchane_from_vela_mdtype", str)
    try:
        expected = "000001." + str(market_type)
    except Exception as e:  # noqa: BLE001
        with pytest.raises(type(e)) as got:
            strategy.on_tick_trade(make_tick_trade(market_type=market_type))
        assert str(got.value) == str(e) and not drain()
        return
    strategy.on_tick_trade(make_tick_trade(market_type=market_type))
    assert drain()[0].l2_transaction.market_code == expected


def fail(*a, **k):
    raise RuntimeError("engine down")


class BadUniverse:
    def __len__(self):
        raise RuntimeError("engine down")


@pytest.mark.parametrize("callback, make, break_it, kept", [
    ("on_snapshot", make_snapshot, lambda f, env: setattr(f, "TickObject", fail), "history_tick"),
    ("on_bar", make_bar, lambda f, env: setattr(env, "get_universe", BadUniverse), "history_bar"),
    ("on_bar", make_bar, lambda f, env: setattr(f, "Event", fail), "history_bar"),
    ("on_bar", make_bar, lambda f, env: vars(f.event_queue).__setitem__("append", fail), "history_bar"),
])
def test_a_failure_keeps_what_was_done(strategy, ferrule, universe, monkeypatch, callback, make, break_it, kept):
    monkeypatch.setattr(ferrule, "Event", ferrule.Event)  # restored afterwards, as are the others
    monkeypatch.setattr(ferrule, "TickObject", ferrule.TickObject)
    break_it(ferrule, universe())
    try:
        with pytest.raises(RuntimeError, match="engine down"):
            getattr(strategy, callback)(make(end_time=T1) if callback == "on_bar" else make())
    finally:
        vars(ferrule.event_queue).pop("append", None)
    assert len(getattr(ferrule, kept)[CODE]) == 1
    if callback == "on_bar":  # counted before the event; a failed event leaves the count complete
        assert (strategy.bar_cnt, strategy.current_trade_dt) == (1, T1 / 1000)


def test_replaced_engine_names_take_effect_at_once(strategy, ferrule, universe, monkeypatch, drain):
    strategy.on_snapshot(make_snapshot())
    monkeypatch.setattr(ferrule, "get_exchane_from_vela_mdtype", lambda mt: "XTST")
    strategy.on_snapshot(make_snapshot())
    # Stored under a key that is not exactly str: the dict keeps its own key, the value is the new one.
    vars(ferrule)[type("Key", (str,), {})("get_exchane_from_vela_mdtype")] = lambda mt: "XKEY"  # undone below
    strategy.on_snapshot(make_snapshot())
    monkeypatch.undo()
    universe()
    strategy.on_snapshot(make_snapshot())
    assert list(ferrule.history_tick) == [CODE, "000001.XTST", "000001.XKEY"] and len(ferrule.history_tick[CODE]) == 2


def _members():
    pass


# A function keeps its attributes in a dict at a fixed place; an instance of a plain class keeps them inside
# itself (and 3.13.0 stores those without telling the dict's watchers).
@pytest.mark.parametrize("members", [type("Members", (), {})(), _members])
def test_event_members_of_an_object_follow_its_dict(strategy, ferrule, universe, monkeypatch, drain, members):
    monkeypatch.setattr(ferrule, "EVENT", members)
    seen = []
    members.L2_TRANSACTION = "first"
    # First (before a run of changes makes the cache step aside for a while): the dict read last freed, and
    # the next one made at its address.
    for change in (lambda: None,
                   lambda: (setattr(members, "__dict__", {}), setattr(members, "__dict__", {"L2_TRANSACTION": "new"})),
                   lambda: setattr(members, "L2_TRANSACTION", "set"),
                   lambda: setattr(members, "__dict__", {"L2_TRANSACTION": "swapped"}),
                   lambda: setattr(members, "L2_TRANSACTION", "set again"), lambda: vars(members).clear(),
                   lambda: vars(members).update({"L2_TRANSACTION": "cloned"})):
        change()
        try:
            strategy.on_tick_trade(make_tick_trade())
            seen.append(drain()[0].event_type)
        except AttributeError as e:
            seen.append(type(e))
    assert seen == ["first", "new", "set", "swapped", "set again", AttributeError, "cloned"]


def test_instruments_held_by_the_data_proxy_follow_it(strategy, ferrule, universe, drain):
    env, seen = universe(), []
    env.data_proxy = proxy = type("Proxy", (types.SimpleNamespace,), {})(instruments=lambda code: ("first", code))
    other = type("Other", (types.SimpleNamespace,), {"instruments": lambda self, code: ("other", code)})
    method = lambda tag: lambda self, code: (tag, code)  # noqa: E731
    for change in (lambda: None, lambda: setattr(proxy, "instruments", lambda code: ("set", code)),
                   lambda: setattr(type(proxy), "instruments", method("method")),
                   lambda: delattr(proxy, "instruments"), lambda: None,
                   lambda: setattr(type(proxy), "instruments", method("replaced")),
                   lambda: setattr(proxy, "instruments", lambda code: ("shadow", code)),
                   lambda: delattr(proxy, "instruments"), lambda: setattr(proxy, "__class__", other),
                   lambda: delattr(type(proxy), "instruments")):
        change()
        try:
            strategy.on_snapshot(make_snapshot())
            seen.append(drain()[0].tick.instrument)
        except AttributeError as e:
            seen.append(type(e))
    assert seen == [("first", CODE), ("set", CODE), ("set", CODE), ("method", CODE), ("method", CODE),
                    ("replaced", CODE), ("shadow", CODE), ("replaced", CODE), ("other", CODE), AttributeError]


@pytest.mark.parametrize("slots", [True, False])
def test_history_queue_of_another_type_is_appended_to_its_way(strategy, ferrule, universe, monkeypatch, slots):
    strategy.on_snapshot(make_snapshot(security_id="000002"))  # deque.append now cached
    seen = []
    body = {"append": lambda self, x: seen.append(x)} | ({"__slots__": ()} if slots else {})
    monkeypatch.setattr(ferrule, "deque", type("Queue", (deque,), body))
    strategy.on_snapshot(make_snapshot())
    strategy.on_bar(make_bar())
    assert [(r["market_code"], len(r)) for r in seen] == [(CODE, 20), (CODE, 9)]
    assert not ferrule.history_tick[CODE] and not ferrule.history_bar[CODE]


class Meta(type):
    def __call__(cls, *a, **k):
        return ("made", a, k)


class BadInit:
    def __init__(self, *a, **k):
        return 1


@pytest.mark.parametrize("event_cls, check", [
    (Meta("Event", (), {}), lambda e: e[0] == "made" and list(e[2]) == ["calendar_dt", "trading_dt", "tick"]),
    (type("Event", (), {"__new__": lambda cls, *a, **k: ("new", a)}), lambda e: e[0] == "new"),
    (BadInit, None),
])
def test_event_classes_are_called_as_python_calls_them(strategy, ferrule, universe, monkeypatch, drain,
                                                      event_cls, check):
    monkeypatch.setattr(ferrule, "Event", event_cls)
    if check is None:
        with pytest.raises(TypeError, match=r"^__init__\(\) should return None, not 'int'$"):
            strategy.on_snapshot(make_snapshot())
        return
    strategy.on_snapshot(make_snapshot())
    assert check(drain()[0])


def test_event_init_is_the_class_s_current_one(strategy, ferrule, universe, monkeypatch, drain):
    def maker(tag):
        return lambda self, *a, **k: setattr(self, "made", tag)

    classes = [type("Event", (), {"__init__": maker(i)}) for i in range(10)]
    for cls in classes * 2:  # more classes than the calls remember
        monkeypatch.setattr(ferrule, "Event", cls)
        strategy.on_snapshot(make_snapshot())
    cls.__init__ = maker("replaced")
    strategy.on_snapshot(make_snapshot())
    assert [e.made for e in drain()] == [*range(10), *range(10), "replaced"]


FIELDS = ("orig_time", "security_id", "market_type") + tuple(TICK_SOURCES)


def snapshot_of(cls, template=None, **values):
    """A message of class `cls` holding the template's fields (a default snapshot's), `values` replacing some."""
    msg, default = cls.__new__(cls), template or make_snapshot()
    for name in type(default).__slots__:
        try:
            setattr(msg, name, values.get(name, getattr(default, name)))
        except AttributeError:  # no slot, or a property in its place
            pass
    return msg


def test_attribute_cache_follows_class_changes(strategy, ferrule, universe, drain):
    cls = type("Snap", (messages.Snapshot,), {"__slots__": ()})
    last = lambda: ferrule.history_tick[CODE][-1]["last_price"]  # noqa: E731
    strategy.on_snapshot(snapshot_of(cls, last_price=1))
    cls.last_price = property(lambda self: "patched")
    strategy.on_snapshot(snapshot_of(messages.Snapshot, last_price=2))
    assert last() == 2
    strategy.on_snapshot(snapshot_of(cls, last_price=3))
    assert last() == "patched"
    del cls.last_price
    strategy.on_snapshot(snapshot_of(cls, last_price=4))
    assert last() == 4
    # Changed more often than a class gets version tags (from 3.13 on): each change is still seen.
    for i in range(1100):
        cls.last_price = property(lambda self, i=i: i)
        strategy.on_snapshot(snapshot_of(cls))
        assert last() == i


def test_bar_time_is_read_again_for_the_counter(strategy, ferrule, universe, drain):
    stamps = iter([T1, T2])
    cls = type("Bar", (messages.Bar,), {"__slots__": (), "end_time": property(lambda self: next(stamps))})
    strategy.on_bar(snapshot_of(cls, make_bar()))
    assert ferrule.history_bar[CODE][0]["orig_time"] == dt.datetime(2026, 12, 8, 9, 31)
    assert strategy.current_trade_dt == T2 / 1000


class Reordered:
    __slots__ = tuple(reversed(FIELDS))


class Hooked:
    __slots__ = tuple(f for f in FIELDS if f != "iopv")

    def __getattr__(self, name):
        return f"hook:{name}"


class Counted(messages.Snapshot):
    __slots__ = ()
    reads = []

    def __getattribute__(self, name):
        Counted.reads.append(name)
        return object.__getattribute__(self, name)


class WithDict:
    pass


@pytest.mark.parametrize("cls", [messages.Snapshot, Reordered, Hooked, Counted, WithDict])
def test_every_message_layout_reads_right(strategy, ferrule, universe, drain, cls):
    msgs = [snapshot_of(c, last_price=i) for i, c in enumerate([cls, messages.Snapshot, cls, Reordered, cls])]
    for m in msgs:
        strategy.on_snapshot(m)
    got = [t["last_price"] for t in ferrule.history_tick[CODE]]
    assert got == list(range(5))
    assert ferrule.history_tick[CODE][0]["iopv"] == ("hook:iopv" if cls is Hooked else 0)
    if cls is Counted:
        assert Counted.reads[:3] == ["orig_time", "security_id", "market_type"] and len(Counted.reads) == 63


class Plain:
    iopv = "class default"  # read when an instance dict lacks the name


def dict_snapshot(order=1, extra=0, drop=(), **values):
    """A Plain message whose dict holds the snapshot's fields in the given order, without `drop`, after
    `extra` other keys."""
    m = Plain()
    m.__dict__.update({f"x{i}": i for i in range(extra)})
    m.__dict__.update({f: values.get(f, getattr(make_snapshot(), f)) for f in FIELDS[::order] if f not in drop})
    return m


@pytest.mark.parametrize("extra", [0, 40])  # dicts small enough to scan, and larger ones
def test_instance_dict_messages_read_as_python_reads(strategy, ferrule, universe, drain, extra):
    cls = type("Plain", (Plain,), {})
    last = lambda: ferrule.history_tick[CODE][-1]  # noqa: E731
    # The same names in another order now and then, and at every message: the position is learned again, then
    # given up.
    for i, order in enumerate([1, 1, -1, 1] + [1, -1] * 10):
        m = dict_snapshot(order, extra, last_price=i)
        m.__class__ = cls
        strategy.on_snapshot(m)
        assert (last()["last_price"], last()["iopv"]) == (i, 0)
    m = dict_snapshot(1, extra, drop=("iopv",), last_price=4)
    m.__class__ = cls
    strategy.on_snapshot(m)
    assert (last()["last_price"], last()["iopv"]) == (4, "class default")
    m.__dict__ = {**vars(dict_snapshot(-1, extra, last_price=5)), "iopv": 6}  # a dict of its own, swapped in
    strategy.on_snapshot(m)
    assert (last()["last_price"], last()["iopv"]) == (5, 6)
    cls.last_price = property(lambda self: "property")  # a data descriptor wins over the dict
    strategy.on_snapshot(m)
    assert last()["last_price"] == "property"
    m = dict_snapshot(1, extra, drop=("open_price",))
    m.__class__ = cls
    with pytest.raises(AttributeError) as got:
        strategy.on_snapshot(m)
    with pytest.raises(AttributeError) as expected:
        m.open_price
    assert str(got.value) == str(expected.value)


def as_plain(msg, **body):
    """The message's fields in the instance dict of a class of its own (with `body`)."""
    m = type(type(msg).__name__, (), body)()
    m.__dict__.update({f: getattr(msg, f) for f in type(msg).__slots__})
    return m


def new_dict(m, **values):
    m.__dict__ = {**m.__dict__, **values}


def dict_swapped_by_a_property(fx):
    def high(self):
        new_dict(self, **{f: "new" for f in TICK_SOURCES})
        return "property"
    m = as_plain(make_snapshot(), high_price=property(high))
    return "on_snapshot", m, lambda: [fx.ferrule.history_tick[CODE][-1][k] for k in TICK_KEYS[2:7]] == [
        0, 0, "property", "new", "new"]


def class_swapped_by_a_converter(fx):
    m = as_plain(make_tick_trade())
    swapped = type("TickTrade", (type(m),), {"bid_appl_seq_num": property(lambda self: "property")})
    fx.monkeypatch.setattr(fx.ferrule, "get_trade_type_from_vela", lambda c: setattr(m, "__class__", swapped) or c)
    return "on_tick_trade", m, lambda: [(e.l2_transaction.side, e.l2_transaction.bid_seq) for e in fx.drain()] == [
        (SIDE.BUY, "property")]


def dicts_swapped_by_converters(fx):
    m = as_plain(make_tick_order())
    fx.monkeypatch.setattr(fx.ferrule, "get_side_from_vela_l2_order", lambda c, mt: new_dict(m, biz_index=1) or "S")
    fx.monkeypatch.setattr(fx.ferrule, "get_order_type_from_vela_l2_order", lambda c, mt: new_dict(m, orig_order_no=2))
    return "on_tick_order", m, lambda: [(e.l2_order.seq, e.l2_order.orig_order_no) for e in fx.drain()] == [(1, 2)]


class Price(float):
    def __format__(self, format_spec):
        new_dict(self.report, order_qty="new")
        return "price"


def dict_swapped_while_logging(fx):
    m = as_plain(fill("Filled", client_order_id=99))
    m.order_price = Price(1)
    m.order_price.report = m
    return "on_order", m, lambda: "price:price, status:3, order_qty:new," in fx.logs()[-1][2]


def missing_after_a_property(fx):
    reads = []
    m = as_plain(make_snapshot(), close_price=property(lambda self: reads.append(1)))
    del m.low_price
    with pytest.raises(AttributeError) as expected:
        m.low_price
    return "on_snapshot", m, (expected, lambda: reads == [1])


# Python code run between two reads of an instance-dict message (a property, a converter, a value's __format__)
# changes the message: every later read sees what Python would.
@pytest.mark.parametrize("change", [dict_swapped_by_a_property, class_swapped_by_a_converter,
                                    dicts_swapped_by_converters, dict_swapped_while_logging,
                                    missing_after_a_property])
def test_reads_after_code_see_the_message_as_python_sees_it(strategy, ferrule, universe, monkeypatch, drain, logs,
                                                            change):
    callback, m, check = change(SimpleNamespace(ferrule=ferrule, monkeypatch=monkeypatch, drain=drain, logs=logs))
    if isinstance(check, tuple):  # an AttributeError, with the reads before it made
        expected, check = check
        with pytest.raises(AttributeError) as got:
            getattr(strategy, callback)(m)
        assert str(got.value) == str(expected.value) and check()
        return
    getattr(strategy, callback)(m)
    assert check()


class Factory:
    """A callable object without __get__: looked up on a class, it is what it is."""
    def __call__(self, *a):
        return ("object", a)


def replace(cls):
    cls.__from_create__ = staticmethod(lambda *a: ("replaced", a))
    return lambda a: ("replaced", a)


def reinit(cls):
    cls.__dict__["__from_create__"].__init__(lambda *a: ("re-initialised", a[-9:]))
    return lambda a: ("re-initialised", a)


def count(cls):
    return lambda a: ("counted", 2, a)


def counted(cls, *a):
    cls.n = getattr(cls, "n", 0) + 1  # the class changes at every call
    return ("counted", cls.n, a)


def meta_defines(cls):
    type(cls).__from_create__ = property(lambda c: lambda *a: ("metaclass", a))
    return lambda a: ("metaclass", a)


def gain_get(cls):
    type(cls.__dict__["__from_create__"]).__get__ = lambda self, obj, owner=None: lambda *a: ("bound", a)
    return lambda a: ("bound", a)


# (factory maker, what it makes of the arguments, a change to the class or the factory after the first call)
@pytest.mark.parametrize("make, expected, change", [
    (lambda: classmethod(lambda cls, *a: ("classmethod", cls.__name__, a)),
     lambda a: ("classmethod", "L2Order", a), None),
    (lambda: classmethod(lambda cls, *a: ("classmethod", a)), None, replace),
    (lambda: classmethod(lambda cls, *a: ("classmethod", a)), None, reinit),
    (lambda: classmethod(counted), lambda a: ("counted", 1, a), count),
    (lambda: staticmethod(lambda *a: ("staticmethod", a)), lambda a: ("staticmethod", a), None),
    (lambda: staticmethod(lambda *a: ("staticmethod", a)), None, reinit),
    (lambda: lambda *a: ("function", a), lambda a: ("function", a), replace),
    (lambda: type("Factory", (Factory,), {})(), lambda a: ("object", a), gain_get),
    (lambda: "{}|{}|{}|{}|{}|{}|{}|{}|{}".format, lambda a: "|".join(map(str, a)), replace),
    (lambda: classmethod(lambda cls, *a: ("classmethod", a)), None, meta_defines),
])
def test_factory_of_any_shape_is_called_as_python_calls_it(strategy, ferrule, universe, monkeypatch, drain,
                                                             make, expected, change):
    # The cache of L2Order.__from_create__ follows whatever the class holds and whatever happens to it.
    meta = type("Meta", (type,), {}) if change is meta_defines else type
    cls = meta("L2Order", (), {"__from_create__": make()})
    monkeypatch.setattr(ferrule, "L2Order", cls)
    strategy.on_tick_order(make_tick_order())
    [first] = drain()
    args = (7, CODE, first.calendar_dt, SIDE.BUY, 10.5, 300, "LIMIT", 99, "ORDER")
    if expected:
        assert first.l2_order == expected(args)
    if change:
        expected = change(cls)
        strategy.on_tick_order(make_tick_order())
        assert drain()[0].l2_order == expected(args)


@pytest.mark.parametrize("used_up", ["dict", "type", "dict, type"])
def test_caches_take_the_plain_path_when_no_watcher_is_left(tmp_path, used_up):
    testcapi = pytest.importorskip("_testcapi")
    assert hasattr(testcapi, "add_dict_watcher")
    script = tmp_path / "run.py"
    script.write_text(textwrap.dedent("""
        import _testcapi
        for kind in %r.split(", "):
            add = getattr(_testcapi, f"add_{kind}_watcher")
            try:
                while True:
                    add(0)
            except RuntimeError:
                pass
        import bridge_support as b, message_support as s
        from corvina.lumen.environment import Environment
        from corvina.lumen.utils import ferrule
        from pyvela.messages import Snapshot
        Environment.set_instance(Environment(["000001.XSHE"]))
        strategy = ferrule.VelaStrategy(b.make_config())
        cls = type("Snap", (Snapshot,), {"__slots__": ()})
        first, second = (cls(**{f: getattr(s.make_snapshot(), f) for f in Snapshot.__slots__}) for _ in "12")
        strategy.on_snapshot(first)
        cls.last_price = property(lambda self: "patched")
        strategy.on_snapshot(second)
        ferrule.get_exchane_from_vela_mdtype = lambda mt: "XTST"
        strategy.on_snapshot(s.make_snapshot())
        print([t["last_price"] for t in ferrule.history_tick["000001.XSHE"]])
        print(sorted(ferrule.history_tick))
    """ % used_up))
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    run = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, env=env, timeout=120)
    assert (run.returncode, run.stdout) == (0, "[10.5, 'patched']\n['000001.XSHE', '000001.XTST']\n"), run.stderr


def test_process_exits_cleanly_after_the_caches_fill(tmp_path):
    # Caches live in statics; nothing of theirs may touch the interpreter after it is gone.
    script = tmp_path / "run.py"
    script.write_text(textwrap.dedent("""
        import gc, bridge_support as b, message_support as s
        from corvina.lumen.environment import Environment
        from corvina.lumen.utils import ferrule
        Environment.set_instance(Environment(["000001.XSHE"]))
        class L2Order:
            __from_create__ = classmethod(lambda cls, *a: a)
        original, ferrule.L2Order = ferrule.L2Order, L2Order
        ferrule.VelaStrategy(b.make_config()).on_tick_order(s.make_tick_order())
        ferrule.L2Order = original
        del L2Order
        gc.collect()  # the cache now holds the last reference to that factory
        print("ok")
    """))
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    run = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, env=env, timeout=120)
    assert (run.returncode, run.stdout) == (0, "ok\n"), run.stderr


FIELD = {"on_snapshot": "iopv", "on_tick_order": "order_price", "on_tick_trade": "trade_price", "on_bar": "volume"}


@pytest.mark.parametrize("callback, make", [(name, make) for name, make, _ in CALLBACKS])
def test_no_leaks(strategy, ferrule, universe, monkeypatch, callback, make):
    # A temporary the C++ forgets to release (a key, a quotient, a record) grows with the calls;
    # a value it holds once too often keeps its refcount up.
    sink = deque()  # the ring buffer keeps what it has handed out; a deque lets go
    monkeypatch.setitem(vars(ferrule.event_queue), "append", sink.append)
    marker = object()
    cb, msg = getattr(strategy, callback), make(**{FIELD[callback]: marker})
    refs = sys.getrefcount(marker)

    def growth(n):
        tracemalloc.start()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(n):
            cb(msg)
        for h in (ferrule.history_tick, ferrule.history_bar):
            h.clear()
        sink.clear()
        gc.collect()
        after = tracemalloc.get_traced_memory()[0]
        tracemalloc.stop()
        return after - before

    growth(2000)  # fills the interpreter's free lists, which stay allocated
    assert growth(4000) - growth(2000) < 8000  # a leaked object per call would add 2000 of them
    assert sys.getrefcount(marker) == refs
