"""Helpers shared by the simulated-gateway tests: a strategy that records
every callback, and a gateway driving it."""
import collections
import datetime as dt
import threading

from pyvela import strategy as vela_strategy
from pyvela.enums import MDType, MarketType, SubscribeDataType
from pyvela.sim import SimGateway

CALLBACKS = (
    "on_initialize", "on_switch_day", "on_snapshot", "on_tick_order", "on_tick_trade", "on_bar", "on_login",
    "on_query_asset", "on_query_position", "on_order", "on_trade", "on_order_action_error", "on_algo_login",
    "on_create_algo_parent_order_res", "on_cancel_algo_parent_order_res", "on_control_algo_parent_order_res",
    "on_algo_parent_order_update", "on_algo_child_order_update", "on_algo_child_order_trade")


Call = collections.namedtuple("Call", "name args time thread locked running")


class Recorder(vela_strategy.VelaStrategy):
    """Records Call(name, args, time, thread, locked, running) for every callback."""

    def __init__(self, gateway):
        super().__init__()
        self.calls = []
        self._gateway = gateway
        self._inside = 0

    def _record(self, name, args):
        self._inside += 1
        try:
            self.calls.append(Call(name, args, self._gateway.clock.now(), threading.current_thread().name,
                                   self._gateway.lock.locked(), self._inside))
        finally:
            self._inside -= 1

    def of(self, name):
        return [c.args[0] if len(c.args) == 1 else c.args for c in self.calls if c.name == name]


for _name in CALLBACKS:
    setattr(Recorder, _name, lambda self, *args, _n=_name: self._record(_n, args))


def hm(day, h, m, s=0):
    return dt.datetime.combine(day, dt.time(h, m, s))


def make_sim(sample, subscribe=True, **options):
    """(gateway, recorder) with every data type subscribed; run it with run_day()."""
    options.setdefault("holdings", {"000001": (1000, 10.0)})
    gw = SimGateway(sample, **options)
    with gw.installed():
        rec = Recorder(gw)
    if subscribe:
        for data_type in SubscribeDataType:
            rec.context.subscribe(MDType.AMD, MarketType.SZSE, data_type, [], "1m")
    return gw, rec


def run_day(gw, rec, plan=()):
    """Runs the day with each (when, request) of plan sent at its time; returns rec."""
    for when, request in plan:
        gw.schedule_at(when, request)
    gw.run()
    assert not gw.errors, gw.errors
    return rec


def canonical(value):
    """A plain, comparable form of an event payload value: engine objects by their class and fields
    (slots, then instance attributes), floats by repr, enumeration members by class and name."""
    import enum

    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        return ("float", repr(value))
    if isinstance(value, enum.Enum):
        return (type(value).__name__, value.name)
    if isinstance(value, (dt.datetime, dt.date, dt.time)):
        return (type(value).__name__, value.isoformat())
    if isinstance(value, dict):
        return ("dict", tuple((canonical(k), canonical(v)) for k, v in value.items()))
    if isinstance(value, (list, tuple, collections.deque)):
        return (type(value).__name__, tuple(canonical(v) for v in value))
    cls = type(value)
    fields = [(s, getattr(value, s)) for c in cls.__mro__ for s in getattr(c, "__slots__", ()) if hasattr(value, s)]
    fields += sorted(getattr(value, "__dict__", {}).items())
    return (cls.__name__, tuple((k, canonical(v)) for k, v in fields))


class EventLog:
    """Every event the engine handles while `monkeypatch` is in force, in canonical form (`events`),
    and their digest(): the types, the order and the payloads of the stream."""

    def __init__(self, monkeypatch):
        from corvina.lumen.live.engine import LiveEngine

        self.events = []
        handle = LiveEngine._handle

        def keep(engine, event):
            self.events.append((event.event_type.name, canonical(event.payload)))
            return handle(engine, event)

        monkeypatch.setattr(LiveEngine, "_handle", keep)

    def digest(self):
        import hashlib

        return hashlib.sha256(repr(self.events).encode()).hexdigest()
