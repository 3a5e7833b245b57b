"""Hostile inputs, message tables and the module invariants shared by the
property, leak and thread tests."""
import math

from bridge_support import GLOBALS

from corvina.lumen.utils import ferrule
from pyvela import messages as M
from pyvela.enums import AlgoControlType, MarketType, OrderStatusType


class HostileError(Exception):
    """Raised by hostile getters and dunder methods."""


class HostileBaseError(BaseException):
    """Outside the Exception family: nothing in the bridge may swallow it."""


class Raises:
    """Marks a message attribute whose getter raises `exc`."""

    def __init__(self, exc):
        self.exc = exc

    def __repr__(self):
        return f"Raises({self.exc!r})"


class Message:
    """A gateway message with any subset of attributes, some of whose getters raise."""

    def __init__(self, kind, fields):
        object.__setattr__(self, "_kind", kind)
        object.__setattr__(self, "_fields", dict(fields))

    def __getattr__(self, name):
        fields = object.__getattribute__(self, "_fields")
        if name not in fields:
            raise AttributeError(name)
        value = fields[name]
        if isinstance(value, Raises):
            raise value.exc
        return value

    def __repr__(self):
        return f"{self._kind}({self._fields!r})"


class Evil:
    """An object whose listed dunder methods raise HostileError (or BaseError)."""

    def __init__(self, *broken, base=False):
        self.broken = frozenset(broken)
        self.base = base

    def _fail(self, what):
        if what in self.broken:
            raise (HostileBaseError if self.base else HostileError)(what)

    def __str__(self):
        self._fail("str")
        return "evil"

    def __repr__(self):
        return f"Evil({sorted(self.broken)})"

    def __format__(self, format_spec):
        self._fail("format")
        return "evil"

    def __eq__(self, other):
        self._fail("eq")
        return self is other

    def __ne__(self, other):
        self._fail("eq")
        return self is not other

    def __hash__(self):
        self._fail("hash")
        return id(self) >> 4

    def __index__(self):
        self._fail("index")
        return 1

    def __bool__(self):
        self._fail("bool")
        return True

    def __gt__(self, other):
        self._fail("cmp")
        return True

    def __lt__(self, other):
        self._fail("cmp")
        return False

    def __neg__(self):
        self._fail("neg")
        return -1

    def __add__(self, other):
        self._fail("add")
        return NotImplemented

    def __radd__(self, other):
        self._fail("add")
        return NotImplemented

    def __truediv__(self, other):
        self._fail("div")
        return NotImplemented

    def __rtruediv__(self, other):
        self._fail("div")
        return NotImplemented

    def __sub__(self, other):
        self._fail("sub")
        return NotImplemented

    def __rsub__(self, other):
        self._fail("sub")
        return NotImplemented

    def __len__(self):
        self._fail("len")
        return 1

    def __iter__(self):
        self._fail("iter")
        return iter(())

    def __deepcopy__(self, memo):
        self._fail("copy")
        return self


class EvilStr(str):
    """Text whose hash and comparison raise: breaks dict keys built from it."""

    def __hash__(self):
        raise HostileError("hash")

    def __eq__(self, other):
        raise HostileError("eq")

    def __add__(self, other):
        raise HostileError("add")


class TruthyWeird:
    """`==` returns an object whose truth value raises."""

    def __eq__(self, other):
        return Evil("bool")

    __hash__ = object.__hash__


DUNDERS = ("str", "format", "eq", "hash", "index", "bool", "cmp", "neg", "add", "div", "sub", "len", "iter", "copy")

# Awkward values: a zero-argument factory each, so every call gets a fresh object.
AWKWARD = [
    lambda: None, lambda: "", lambda: "x", lambda: "12", lambda: "0", lambda: "\x00", lambda: "\ud800",
    lambda: 10**40, lambda: -10**40, lambda: 2**63, lambda: -2**63 - 1, lambda: -1, lambda: 0, lambda: True,
    lambda: math.nan, lambda: math.inf, lambda: -math.inf, lambda: -0.0, lambda: 1e308, lambda: b"\xff",
    lambda: [], lambda: [None], lambda: (), lambda: {}, lambda: object(), lambda: 3 + 4j,
    lambda: Evil(*DUNDERS), lambda: Evil(*DUNDERS, base=True), lambda: EvilStr("000001"), lambda: TruthyWeird(),
] + [(lambda d=d: Evil(d)) for d in DUNDERS]

RAISERS = [
    lambda: HostileError("getter"), lambda: RuntimeError("getter"), lambda: KeyError("getter"),
    lambda: AttributeError("getter"), lambda: StopIteration(), lambda: MemoryError(), lambda: HostileBaseError("getter"),
]

# Realistic values per attribute, so that the success paths run too.
STAMPS = [20240102093000500, 20240102093000000, 20240102145959999, 20240103092500123]
GOOD = {
    "security_id": ["000001", "600000", "300750"],
    "market_type": [MarketType.SZSE, MarketType.SSE],
    "market_id": [MarketType.SZSE, MarketType.SSE],
    "orig_time": STAMPS, "order_time": STAMPS, "trade_time": STAMPS, "end_time": STAMPS,
    "side": [ord(c) for c in "12BS"], "order_type": [ord(c) for c in "12U"], "trade_type": [ord(c) for c in "F4"],
    "order_status": list(OrderStatusType), "client_order_id": [1, 2, 3],
    "sys_quote_id": [1, 2, 3], "control_type": list(AlgoControlType), "algo_control_type": list(AlgoControlType),
    "error_code": [0, 0, 1, 7], "counter_order_id": [0, 5, "", "C9"],
    "ask_volume": [[100, 200]], "ask_price": [[10.1, 10.2]], "bid_volume": [[300]], "bid_price": [[10.0]],
    "error_msg": ["", "rejected"], "trading_phase_code": ["T0"], "fund_account_id": ["F1"], "trader_id": ["T1"],
}
NUMBERS = [0, 1, 50, 100, 10.5, 520.0, -3]


def good_values(field):
    return GOOD.get(field, NUMBERS)


def message_fields(cls):
    return cls.__slots__


# callback name -> (message class, number of plain extra arguments after the message)
CALLBACKS = {
    "on_snapshot": (M.Snapshot, 0),
    "on_tick_order": (M.TickOrder, 0),
    "on_tick_trade": (M.TickTrade, 0),
    "on_bar": (M.Bar, 0),
    "on_login": (M.LoginRes, 0),
    "on_query_asset": (M.AssetRes, 3),
    "on_query_position": (M.PositionEntry, 3),
    "on_order": (M.OrderReport, 0),
    "on_trade": (M.TradeReport, 0),
    "on_order_action_error": (M.OrderActionError, 0),
    "on_algo_login": (M.AlgoLoginRes, 0),
    "on_create_algo_parent_order_res": (M.CreateParentOrderRes, 0),
    "on_cancel_algo_parent_order_res": (M.CancelParentOrderRes, 0),
    "on_control_algo_parent_order_res": (M.ControlParentOrderRes, 0),
    "on_algo_parent_order_update": (M.AlgoParentOrderMsg, 0),
    "on_algo_child_order_update": (M.AlgoChildOrderMsg, 0),
    "on_algo_child_order_trade": (M.AlgoChildTradeMsg, 0),
}
MARKET_DATA = ("on_snapshot", "on_tick_order", "on_tick_trade", "on_bar")
QUERIES = ("get_current_bar", "get_current_tick", "history_ticks", "history_bars")


def good_message(name, i=0):
    """A well-formed message for callback `name`, varied by i."""
    cls, _ = CALLBACKS[name]
    values = {f: good_values(f)[i % len(good_values(f))] for f in message_fields(cls)}
    return cls(**values)


def good_args(name, i=0):
    msg = good_message(name, i)
    if name == "on_query_asset":
        return (msg, i, 0, "ok")
    if name == "on_query_position":
        return ([msg], i, 0, "ok")
    return (msg,)


def snapshot_globals():
    return {name: getattr(ferrule, name) for name in GLOBALS}


def check_invariants(originals, filed_orders=None):
    """The module's invariants; `originals` from snapshot_globals(), `filed_orders`
    the {client_order_id: order} the engine side filed since the last day switch."""
    for name, obj in originals.items():
        assert getattr(ferrule, name) is obj, f"{name} was rebound"
    from collections import deque

    for name, size, maxlen in (("history_tick", 20, 60), ("history_bar", 9, None)):
        for key, records in getattr(ferrule, name).items():
            assert type(records) is deque, (name, key, type(records))
            assert records.maxlen == maxlen, (name, key, records.maxlen)
            assert 1 <= len(records), f"{name}[{key!r}] is present but empty"
            if maxlen:
                assert len(records) <= maxlen, (name, key, len(records))
            for r in records:
                assert type(r) is dict and len(r) == size, (name, key, r)
                assert r["market_code"] is key or (type(key) is str and r["market_code"] == key), (name, key, r)
    if filed_orders is not None:
        od = ferrule.orders_dict
        assert set(map(id, od.values())) <= set(map(id, filed_orders.values())), "orders_dict holds foreign orders"
    from corvina.lumen.model.algo_child_order import AlgoChildOrder
    from corvina.lumen.model.algo_child_trade import AlgoChildTrade
    from corvina.lumen.model.algo_parent_order import AlgoParentOrder

    for name, cls in (("algo_parent_orders", AlgoParentOrder), ("algo_child_orders", AlgoChildOrder),
                      ("algo_child_trades", AlgoChildTrade)):
        for key, obj in getattr(ferrule, name).items():
            assert type(obj) is cls, (name, key, obj)
