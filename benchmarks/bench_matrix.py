"""The compiled bridge against plain Python over the shapes a user's process
gives it: message shapes x engine shapes x queues, with the cyclic collector on.

    .venv/bin/python benchmarks/bench_matrix.py                    # times and instructions
    .venv/bin/python benchmarks/bench_matrix.py --quick            # fewer rows and repeats, no instructions
    .venv/bin/python benchmarks/bench_matrix.py --no-instructions  # times only
    .venv/bin/python benchmarks/bench_matrix.py --rows slots:base,dict:all-python
    .venv/bin/python benchmarks/bench_matrix.py --rows dict:base --profile dict:base/on_tick_trade

Rows. Each message shape runs against the base engine; each engine variant,
which changes one thing of the base engine, runs against `__slots__`
messages and plain instance-dict messages; the all-Python engine on the ring
buffer runs against every message shape. So every shape of each axis meets
every callback, and the combinations that cost most are there as well.

Sides, in the same process, alternating (the order rotates each round):
  C      the compiled callback;
  Py     the yardstick: the callbacks in plain Python (baseline.py), on the same stubs;
  floor  the engine calls the callback must make and nothing else: the same
         callables, factories and queue append with the same arguments, read
         from the messages beforehand; a Python loop drives them.
C-fl and Py-fl are each side's own cost above the floor.
Every loop reads messages made for it, as a live gateway delivers them, so what
a read leaves on a message (a dict made for it) is paid at every call; the
`slots` messages, which a read leaves as they are, are the stand-in's own.

The floor made from C (instructions only): the same calls, each made through
a functools.partial, a C-level caller. From the callgrind call graph only the
calls the partials make are counted, each from the callee's entry to its
return, so the Python loop, the attribute reads and the partials' own work
(argument copies, result check) fall out: flC is what the calls cost when a C
caller makes them, C-flC the compiled side's own cost above that. A Python
function costs more called from C than inlined by the interpreter, so where
a cell misses its target the closing lines give that floor against the
yardstick: what it leaves for everything else, and what each side uses.

Times are thread CPU time per call, median of the rounds; each round first
collects (so every side starts from the same collector state) and then runs
the calls with the collector on, or off for the `off` column. The spread
(IQR) of the collector-on rounds is printed per side; `pair` is the median of
each round's own C/Py ratio, which the machine's drifts between rounds move
less than they move either side's median (it is one process's: separate
processes spread wider). Instructions come from
a child process under callgrind, collector on, counting only inside the
measured loops (each runs in bench_market_data.measured, after a warm-up loop
and a collection). In the Debian root, `./scripts/run-in.sh --valgrind 3.14
python benchmarks/bench_matrix.py ...` brings valgrind there first.
"""
import os

# numpy's BLAS threads spin after start-up; on a small machine they would time-share with the loop.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse  # noqa: E402
import collections  # noqa: E402
import copy  # noqa: E402
import dataclasses  # noqa: E402
import enum  # noqa: E402
import functools  # noqa: E402
import gc  # noqa: E402
import itertools  # noqa: E402
import operator  # noqa: E402
import platform  # noqa: E402
import re  # noqa: E402
import shutil  # noqa: E402
import statistics  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402
from types import SimpleNamespace  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import baseline  # noqa: E402
import bench_market_data as md  # noqa: E402
from numpy_ringbuffer import RingBuffer  # noqa: E402

from corvina.lumen.utils import ferrule  # noqa: E402

# --- message shapes ----------------------------------------------------------------------------------------


class Message:
    """One plain class for every kind: instance attributes set through __dict__.update, so the
    instance dicts share no keys."""


def _fields(msg):
    return type(msg).__slots__


def as_dict(msg):
    m = Message()
    m.__dict__.update({f: getattr(msg, f) for f in _fields(msg)})
    return m


_dataclasses = {}


def as_dataclass(msg):
    cls = _dataclasses.get(type(msg))
    if cls is None:
        cls = _dataclasses[type(msg)] = dataclasses.make_dataclass(type(msg).__name__, _fields(msg))
    return cls(**{f: getattr(msg, f) for f in _fields(msg)})


_tuples = {}


def as_namedtuple(msg):
    """Fields as C-level read-only data descriptors over a tuple (getset-style)."""
    cls = _tuples.get(type(msg))
    if cls is None:
        cls = _tuples[type(msg)] = collections.namedtuple(type(msg).__name__, _fields(msg))
    return cls(*(getattr(msg, f) for f in _fields(msg)))


_properties = {}


def as_property(msg):
    """Fields as properties, each read by a C-level getter, as a C++ SDK binding exposes them."""
    cls = _properties.get(type(msg))
    if cls is None:
        body = {f: property(operator.itemgetter(i)) for i, f in enumerate(_fields(msg))}
        cls = _properties[type(msg)] = type(type(msg).__name__, (tuple,), {"__slots__": (), **body})
    return cls(tuple(getattr(msg, f) for f in _fields(msg)))


MESSAGE_SHAPES = {
    "slots": lambda m: m,
    "dict": as_dict,
    "shared": as_dataclass,
    "getset": as_namedtuple,
    "property": as_property,
}

# --- engine shapes -----------------------------------------------------------------------------------------


def _identity(x):
    return x


def _pack(*args):
    return args


class _L2Record:
    """A class used as the factory itself."""
    __slots__ = ("args",)

    def __init__(self, *args):
        self.args = args


class _TradeRecord:
    __slots__ = ("fields",)

    def __init__(self, **fields):
        self.fields = fields




def _enum_events(pairs):
    """EVENT as an enumeration; with `pairs`, its members are tuples of the pairs dict(member) starts from."""
    members = {n: v for n, v in vars(baseline._EVENT).items() if not n.startswith("_")}
    if pairs:
        return enum.Enum("EVENT", {n: (("event_type", v),) for n, v in members.items()}, type=tuple)
    return enum.Enum("EVENT", list(members))


def _plain_events():
    return SimpleNamespace(**{n: v for n, v in vars(baseline._EVENT).items() if not n.startswith("_")})


def _factory(kind, fn, cls):
    """A class whose __from_create__ is a static method (fn), a class method (building cls), or a class (cls)."""
    if kind == "static":
        return type("Factory", (), {"__slots__": (), "__from_create__": staticmethod(fn)})
    if kind == "classmethod":
        return type("Factory", (), {"__slots__": (), "__from_create__": classmethod(
            lambda c, *a, **k: cls(*a, **k))})
    return type("Factory", (), {"__slots__": (), "__from_create__": cls})


def engine(universe, conv="mixed", factory="static", event="dict", members="plain", env="builtin"):
    """The engine's names. The base engine is what an engine written in plain Python commonly looks
    like: converters mixing builtins, lambdas and functions; static methods as factories; `Event`
    a built-in type; EVENT members plain instance attributes of an object; Environment.get_instance
    a static method returning an object whose methods are bound builtins."""
    converters = {
        "mixed": {"convert_int_to_datetime": float, "convert_int_to_whole_date": int,
                  "get_exchane_from_vela_mdtype": lambda market_type: "XSHE",
                  "get_side_from_vela_l2_order": baseline._map2,
                  "get_order_type_from_vela_l2_order": {"1": "market", "2": "limit"}.get,
                  "get_l2order_type_from_vela": lambda code, market_type: code,
                  "get_trade_type_from_vela": str},
        "builtin": {"convert_int_to_datetime": abs, "convert_int_to_whole_date": abs,
                    "get_exchane_from_vela_mdtype": "XSHE".format,
                    "get_side_from_vela_l2_order": {"1": "buy", "B": "buy", "2": "sell", "S": "sell"}.get,
                    "get_order_type_from_vela_l2_order": {"1": "market", "2": "limit"}.get,
                    "get_l2order_type_from_vela": {"1": "market", "2": "limit"}.get,
                    "get_trade_type_from_vela": {"F": "fill", "4": "cancel"}.get},
        "python": {"convert_int_to_datetime": _identity, "convert_int_to_whole_date": lambda t: t,
                   "get_exchane_from_vela_mdtype": baseline._suffix,
                   "get_side_from_vela_l2_order": baseline._map2,
                   "get_order_type_from_vela_l2_order": lambda code, market_type: code,
                   "get_l2order_type_from_vela": baseline._map2, "get_trade_type_from_vela": baseline._map1},
    }[conv]
    if env == "builtin":
        instance = SimpleNamespace(data_proxy=SimpleNamespace(instruments={}.get),
                                   get_universe=itertools.repeat(list(universe)).__next__, get_account={}.get)
        environment = type("Environment", (), {"get_instance": staticmethod(itertools.repeat(instance).__next__)})
    else:
        baseline._Environment.instance = baseline._Env(list(universe))
        environment = baseline._Environment
    names = dict(converters)
    names.update({
        "Environment": environment,
        "Event": dict if event == "dict" else baseline._Event,
        "EVENT": _plain_events() if members == "plain" else _enum_events(event == "dict"),
        "TickObject": slice if factory == "static" else baseline._TickObject,
        "L2Order": _factory(factory, _pack, _L2Record),
        "L2Transaction": _factory(factory, _pack, _L2Record),
        "Trade": _factory(factory, dict, _TradeRecord),
        "SIDE": baseline._SIDE, "system_log": SimpleNamespace(info=len) if env == "builtin" else baseline._Log(),
        "ORDER_STATUS": baseline._ORDER_STATUS,
        "AlgoChildOrder": baseline._AlgoChildOrder,
    })
    if event == "dict" and members == "plain":
        # dict(EVENT.X, ...) starts from the member: pairs.
        names["EVENT"] = SimpleNamespace(**{k: (("event_type", v),) for k, v in vars(names["EVENT"]).items()})
    return names


# Each variant changes one thing of the base engine; the last two change everything.
ENGINES = {
    "base": {},
    "conv=builtin": {"conv": "builtin"},
    "conv=python": {"conv": "python"},
    "factory=classmethod": {"factory": "classmethod"},
    "factory=class": {"factory": "class"},
    "Event=class": {"event": "class"},
    "EVENT=enum": {"members": "enum"},
    "env=python": {"env": "python"},
    "queue=ring": {},
    "all-python": {"conv": "python", "factory": "classmethod", "event": "class", "members": "enum", "env": "python"},
}
RING_QUEUE = {"queue=ring", "all-python"}


def default_rows():
    rows = [(m, "base") for m in MESSAGE_SHAPES]
    rows += [(m, e) for m in ("slots", "dict") for e in ENGINES if e != "base"]
    rows += [(m, "all-python") for m in MESSAGE_SHAPES if m not in ("slots", "dict")]
    return rows


QUICK_ROWS = [("slots", "base"), ("dict", "base"), ("getset", "base"), ("slots", "all-python"),
              ("dict", "all-python")]

CALLBACKS = ("on_snapshot", "on_tick_order", "on_tick_trade", "on_bar", "on_order", "on_order resent")

# --- floors: the engine calls alone -----------------------------------------------------------------------


def floor_args(name, msgs):
    """What the floor hands the engine for each message, read beforehand."""
    if name == "on_snapshot":
        return [(m.orig_time / 1000, m.market_type, m.security_id + ".XSHE",
                 {k: 0 for k in range(20)}) for m in msgs]
    if name == "on_tick_order":
        return [(m.order_time / 1000, m.market_type, chr(m.side), chr(m.order_type),
                 (m.biz_index, m.security_id + ".XSHE", None, None, m.order_price, m.order_volume, None,
                  m.orig_order_no, None)) for m in msgs]
    if name == "on_tick_trade":
        return [(m.trade_time / 1000, m.market_type, chr(m.trade_type),
                 (m.biz_index, m.security_id + ".XSHE", None, "buy", m.trade_price, m.trade_volume, m.value_trade,
                  None, m.bid_appl_seq_num, m.offer_appl_seq_num)) for m in msgs]
    if name == "on_bar":
        return [(m.end_time / 1000, m.market_type, (i + 1) % md.N_CODES == 0, int(m.end_time / 1000))
                for i, m in enumerate(msgs)]
    return [(f"on_order:{m.client_order_id}, symbol: {m.security_id}, ...", m.client_order_id) for m in msgs]


def floor_fn(name):
    g = baseline.__dict__  # the engine names install() bound

    def snapshot(rows):
        conv, suffix, env, tick_cls = g["convert_int_to_datetime"], g["get_exchane_from_vela_mdtype"], \
            g["Environment"], g["TickObject"]
        event, members, queue = g["Event"], g["EVENT"], g["event_queue"]
        for q, mt, code, rec in rows:
            dt = conv(q)
            suffix(mt)
            inst = env.get_instance().data_proxy.instruments(code)
            queue.append(event(members.TICK, calendar_dt=dt, trading_dt=dt, tick=tick_cls(inst, rec)))

    def tick_order(rows):
        conv, suffix = g["convert_int_to_datetime"], g["get_exchane_from_vela_mdtype"]
        side_of, type_of, l2type_of = g["get_side_from_vela_l2_order"], g["get_order_type_from_vela_l2_order"], \
            g["get_l2order_type_from_vela"]
        factory, event, members, queue = g["L2Order"], g["Event"], g["EVENT"], g["event_queue"]
        for q, mt, side, kind, args in rows:
            dt = conv(q)
            suffix(mt)
            side_of(side, mt)
            type_of(kind, mt)
            l2type_of(kind, mt)
            rec = factory.__from_create__(*args)
            queue.append(event(members.L2_ORDER, calendar_dt=dt, trading_dt=dt, l2_order=rec))

    def tick_trade(rows):
        conv, suffix, type_of = g["convert_int_to_datetime"], g["get_exchane_from_vela_mdtype"], \
            g["get_trade_type_from_vela"]
        factory, side, event, members, queue = g["L2Transaction"], g["SIDE"], g["Event"], g["EVENT"], \
            g["event_queue"]
        for q, mt, kind, args in rows:
            dt = conv(q)
            suffix(mt)
            side.BUY
            type_of(kind)
            rec = factory.__from_create__(*args)
            queue.append(event(members.L2_TRANSACTION, calendar_dt=dt, trading_dt=dt, l2_transaction=rec))

    def bar(rows):
        conv, whole, suffix, env = g["convert_int_to_datetime"], g["convert_int_to_whole_date"], \
            g["get_exchane_from_vela_mdtype"], g["Environment"]
        event, members, queue = g["Event"], g["EVENT"], g["event_queue"]
        for q, mt, complete, t in rows:
            suffix(mt)
            conv(q)
            env.get_instance().get_universe()
            if complete:
                dt = whole(t)
                queue.append(event(members.BAR, calendar_dt=dt, trading_dt=dt))

    def order(rows):
        log, env, factory, deepcopy = g["system_log"], g["Environment"], g["Trade"], copy.deepcopy
        event, members, queue, book = g["Event"], g["EVENT"], g["event_queue"], g["orders_dict"]
        for text, oid in rows:
            log.info(text)
            o = book[oid]
            account = env.get_instance().get_account(o.market_code)
            trade = factory.__from_create__(order_id=o.order_id, price=10.0, amount=30, side=o.side,
                                            position_effect=o.position_effect, market_code=o.market_code,
                                            frozen_price=o.price)
            queue.append(event(members.TRADE, account=account, trade=trade, order=deepcopy(o)))

    def resent(rows):
        log, env, book = g["system_log"], g["Environment"], g["orders_dict"]
        for text, oid in rows:
            log.info(text)
            env.get_instance().get_account(book[oid].market_code)

    return {"on_snapshot": snapshot, "on_tick_order": tick_order, "on_tick_trade": tick_trade, "on_bar": bar,
            "on_order": order, "on_order resent": resent}[name]


def c_floor_fn(name):
    """The floor's engine calls made from C: each callable called through a functools.partial built
    before the loop, a C-level caller that hands positional and keyword arguments on by vectorcall.
    Only the calls the partials make are counted (made_from_c), so the loop, the attribute reads and
    the partials' own work fall out."""
    g, c = baseline.__dict__, functools.partial
    env = g["Environment"]
    instance = env.get_instance()
    get_instance, event, members, queue = c(env.get_instance), c(g["Event"]), g["EVENT"], c(g["event_queue"].append)
    conv, whole, suffix = c(g["convert_int_to_datetime"]), c(g["convert_int_to_whole_date"]), \
        c(g["get_exchane_from_vela_mdtype"])

    def snapshot(rows):
        tick_cls, instruments = c(g["TickObject"]), c(instance.data_proxy.instruments)
        for q, mt, code, rec in rows:
            dt = conv(q)
            suffix(mt)
            get_instance()
            inst = instruments(code)
            queue(event(members.TICK, calendar_dt=dt, trading_dt=dt, tick=tick_cls(inst, rec)))

    def tick_order(rows):
        side_of, type_of, l2type_of = c(g["get_side_from_vela_l2_order"]), \
            c(g["get_order_type_from_vela_l2_order"]), c(g["get_l2order_type_from_vela"])
        factory = c(g["L2Order"].__from_create__)
        for q, mt, side, kind, args in rows:
            dt = conv(q)
            suffix(mt)
            side_of(side, mt)
            type_of(kind, mt)
            l2type_of(kind, mt)
            rec = factory(*args)
            queue(event(members.L2_ORDER, calendar_dt=dt, trading_dt=dt, l2_order=rec))

    def tick_trade(rows):
        type_of, factory, side = c(g["get_trade_type_from_vela"]), c(g["L2Transaction"].__from_create__), g["SIDE"]
        for q, mt, kind, args in rows:
            dt = conv(q)
            suffix(mt)
            side.BUY
            type_of(kind)
            rec = factory(*args)
            queue(event(members.L2_TRANSACTION, calendar_dt=dt, trading_dt=dt, l2_transaction=rec))

    def bar(rows):
        get_universe = c(instance.get_universe)
        for q, mt, complete, t in rows:
            suffix(mt)
            conv(q)
            get_instance()
            get_universe()
            if complete:
                dt = whole(t)
                queue(event(members.BAR, calendar_dt=dt, trading_dt=dt))

    def order(rows):
        log, get_account, factory, deepcopy = c(g["system_log"].info), c(instance.get_account), \
            c(g["Trade"].__from_create__), c(copy.deepcopy)
        book = g["orders_dict"]
        for text, oid in rows:
            log(text)
            o = book[oid]
            get_instance()
            account = get_account(o.market_code)
            trade = factory(order_id=o.order_id, price=10.0, amount=30, side=o.side, position_effect=o.position_effect,
                            market_code=o.market_code, frozen_price=o.price)
            queue(event(members.TRADE, account=account, trade=trade, order=deepcopy(o)))

    def resent(rows):
        log, get_account, book = c(g["system_log"].info), c(instance.get_account), g["orders_dict"]
        for text, oid in rows:
            log(text)
            get_instance()
            get_account(book[oid].market_code)

    return {"on_snapshot": snapshot, "on_tick_order": tick_order, "on_tick_trade": tick_trade, "on_bar": bar,
            "on_order": order, "on_order resent": resent}[name]


# A partial's two entries (vectorcall, and tp_call when the callable has no vectorcall) and what they do
# around the call they make: thread state, argument copies and concatenation, the result check.
PARTIAL_CALLERS = ("partial_vectorcall", "partial_call")
PARTIAL_OWN = re.compile(r"_Py_CheckFunctionResult|PyMem_(Raw)?(Malloc|Free)|mem(cpy|move)|__tls_get_addr|"
                         r"PySequence_Concat|PyThreadState_Get")


def made_from_c(path):
    """Instructions of the calls the partials made, in a callgrind dump: each call's inclusive cost, from
    the callee's entry to its return, read from the call graph (the cost line after each `calls=`). A
    call through a linkage stub (named by its address) is the call of what the stub reaches."""
    names, edges, stubs = {}, [], {}
    fn = callee = ""
    call_cost_next = False
    with open(path) as f:
        for line in f:
            if call_cost_next:
                edges.append((fn, callee, int(line.split()[-1])))
                stubs.setdefault(fn, callee)
                call_cost_next = False
            elif line.startswith(("fn=", "cfn=")):
                key, _, rest = line.rstrip("\n").partition("=")
                m = re.match(r"\((\d+)\)(?: (.*))?$", rest)
                if m and m.group(2) is not None:
                    names[m.group(1)] = m.group(2)
                name = (names.get(m.group(1), "") if m else rest).split("'")[0]
                if key == "fn":
                    fn = name
                else:
                    callee = name
            elif line.startswith("calls="):
                call_cost_next = True
    total = 0
    for caller, callee, cost in edges:
        if re.fullmatch(r"0x[0-9a-f]+", callee):
            callee = stubs.get(callee, callee)
        if caller in PARTIAL_CALLERS and not PARTIAL_OWN.search(callee):
            total += cost
    return total


# --- one row: a message shape on an engine ----------------------------------------------------------------


class Row:
    def __init__(self, bench, message_shape, engine_name, calls):
        self.bench, self.label = bench, f"{message_shape}:{engine_name}"
        self.names = engine(md.UNIVERSE, **ENGINES[engine_name])
        self.queue = RingBuffer(capacity=1_000_000, dtype=object) if engine_name in RING_QUEUE \
            else collections.deque(maxlen=4096)
        shape = MESSAGE_SHAPES[message_shape]
        slots = {name: msgs for name, msgs, _ in md.cases(calls, bench.compiled)}
        slots["on_order resent"] = slots["on_order"]
        # Messages are made for each loop (see the module's docstring), so neither side's reads change
        # what the other side reads.
        self.shape, self.sources = shape, slots
        self.floor_msgs = {name: [shape(m) for m in slots[name]] for name in CALLBACKS}
        self.reports = slots["on_order"]

    def fresh(self, name):
        return [self.shape(m) for m in self.sources[name]]

    def bind(self):
        for k, v in self.names.items():
            setattr(ferrule, k, v)
        ferrule.event_queue = self.queue
        baseline.install(self.names, self.queue, ferrule.orders_dict)

    def sides(self, name):
        """(side, loop over the calls, what to run before each loop)."""
        compiled, yardstick = self.bench.compiled, self.bench.yardstick
        method = name.split()[0]
        c_cb, p_cb = getattr(compiled, method), getattr(yardstick, method)

        msgs = {}  # side: what its next loop reads, made before the loop

        def reset(side=None, cb=None):
            def run():
                md.reset_state(compiled, yardstick)
                self.queue_reset()
                if method == "on_order":
                    md.file_orders(self.reports, compiled)
                    if name == "on_order resent" and cb is not None:
                        md.loop(cb, self.fresh(name))  # the first sending; what is timed is the second
                if side is not None:
                    msgs[side] = self.fresh(name)
            return run

        rows = floor_args(name, self.floor_msgs[name])
        floor = floor_fn(name)
        return [("C", lambda: md.loop(c_cb, msgs["C"]), reset("C", c_cb)),
                ("Py", lambda: md.loop(p_cb, msgs["Py"]), reset("Py", p_cb)),
                ("floor", lambda: floor(rows), reset())]

    def c_floor(self, name):
        """The side that makes the floor's calls from C (counted under callgrind only)."""
        rows, floor = floor_args(name, self.floor_msgs[name]), c_floor_fn(name)
        _, _, reset = self.sides(name)[2]
        return "flC", lambda: floor(rows), reset

    def queue_reset(self):
        if isinstance(self.queue, collections.deque):
            self.queue.clear()
        else:
            while len(self.queue):
                self.queue.popleft()


def timed(run, collect):
    gc.collect()
    if not collect:
        gc.disable()
    try:
        t0 = time.thread_time_ns()
        run()
        return time.thread_time_ns() - t0
    finally:
        gc.enable()


def measure(row, name, rounds, calls):
    """{(side, collector on): [ns per call per round]}"""
    sides = row.sides(name)
    out = collections.defaultdict(list)
    for _, run, reset in sides:  # warm-up: specialise the bytecode, fill the caches
        reset()
        run()
    for r in range(rounds):
        k = r % len(sides)
        for side, run, reset in sides[k:] + sides[:k]:
            for collect in (True, False):
                reset()
                out[side, collect].append(timed(run, collect) / calls)
    return out


spread = md.spread  # the interquartile range


# --- instructions ------------------------------------------------------------------------------------------


def child(rows, calls):
    """Under callgrind: each row, callback and side once inside md.measured, collector on."""
    bench = Bench()
    for m, e in rows:
        row = Row(bench, m, e, calls)
        row.bind()
        for name in CALLBACKS:
            for side, run, reset in row.sides(name) + [row.c_floor(name)]:
                reset()
                run()
                reset()
                gc.collect()
                md.measured(run)
                print(f"dump {row.label} {name.replace(' ', '+')} {side}", flush=True)
        bench.unbind()


def instructions(rows, calls, profile=None):
    if not shutil.which("valgrind"):
        sys.exit("instructions need valgrind (or pass --no-instructions)")
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(os.environ.get("BENCH_CALLGRIND_DIR") or tmp, "cg.matrix.out")
        row_list = ",".join(f"{m}:{e}" for m, e in rows)
        counts = {}
        loops = md.callgrind_loops(out, [__file__, "--child", "--rows", row_list, "--instruction-calls", str(calls)])
        for (label, name, side), path in loops:
            if profile and (label, name.replace("+", " ")) == profile:
                md.by_function((f"{label} {name.replace('+', ' ')}", side), path, calls)
            if side == "flC":
                total = made_from_c(path)
            else:
                total = md.dump_total(path)
            counts[label, name.replace("+", " "), side] = total / calls
        return counts


# --- what a call costs its caller --------------------------------------------------------------------------


def call_cost_loops(n):
    """The engine's callables of the base engine, each called n times from the interpreter (a loop) and from
    C (map, consumed by a zero-length deque: a vectorcall per item, as the bridge makes them), next to a
    builtin called the same ways, whose difference is the two drivers' own cost."""
    xs = list(range(n))
    consume = collections.deque(maxlen=0).extend
    factory = _factory("static", _pack, _L2Record)  # as the base engine's L2Order
    lam, fn = (lambda code, market_type: code), baseline._map2

    def py_builtin():
        for x in xs:
            abs(x)

    def c_builtin():
        consume(map(abs, xs))

    def py_builtin2():
        for x in xs:
            divmod(x, 1)

    def c_builtin2():
        consume(map(divmod, xs, itertools.repeat(1)))

    def py_lambda():
        for x in xs:
            lam(x, 1)

    def c_lambda():
        consume(map(lam, xs, itertools.repeat(1)))

    def py_function():
        for x in xs:
            fn(x, 1)

    def c_function():
        consume(map(fn, xs, itertools.repeat(1)))

    def py_builtin9():
        for x in xs:
            max(x, x, x, x, x, x, x, x, x)

    def c_builtin9():
        consume(map(max, *[xs] * 9))

    def py_factory9():
        for x in xs:
            factory.__from_create__(x, x, x, x, x, x, x, x, x)

    def c_factory9():
        consume(map(factory.__from_create__, *[xs] * 9))

    return [("builtin(x)", py_builtin, c_builtin), ("builtin(x, 1)", py_builtin2, c_builtin2),
            ("lambda(x, 1)", py_lambda, c_lambda), ("function(x, 1)", py_function, c_function),
            ("builtin(9 args)", py_builtin9, c_builtin9), ("static(*9 args)", py_factory9, c_factory9)]


# One instance-dict read through the cheapest public C API, each step in a C loop of its own (built with the
# machine's compiler, called once per loop through ctypes), against a loop that does nothing but store.
DICT_READ_C = r"""
#include <Python.h>
static PyObject* volatile sink;
void nothing(long n) { for (long i = 0; i < n; ++i) sink = NULL; }
void fetch(PyObject* obj, long n) {
    for (long i = 0; i < n; ++i) { PyObject* d = PyObject_GenericGetDict(obj, NULL); sink = d; Py_DECREF(d); }
}
void at_hint(PyObject* d, Py_ssize_t hint, long n) {
    for (long i = 0; i < n; ++i) { Py_ssize_t pos = hint; PyObject *k, *v; PyDict_Next(d, &pos, &k, &v); sink = v; }
}
void by_name(PyObject* d, PyObject* name, long n) {
    for (long i = 0; i < n; ++i) sink = PyDict_GetItemWithError(d, name);
}
"""


def dict_read_loops(n, tmp):
    """An instance-dict read of a message of the benchmark's kind: by the interpreter (a loop reading the
    attribute, and the same loop without the read) and through the C API (the dict's fetch, the lookup at the
    entry's position, the lookup by the interned name, and an empty C loop)."""
    import ctypes
    import sysconfig

    src, lib = os.path.join(tmp, "dict_read.c"), os.path.join(tmp, "dict_read.so")
    with open(src, "w") as f:
        f.write(DICT_READ_C)
    cc = (sysconfig.get_config_var("CC") or "cc").split()
    subprocess.run([*cc, "-O2", "-fPIC", "-shared", f"-I{sysconfig.get_paths()['include']}", "-o", lib, src],
                   check=True)
    c = ctypes.PyDLL(lib)
    msg = as_dict(md.tick_trades(1)[0])  # a tick trade
    name = sys.intern("trade_price")
    d = vars(msg)
    hint, obj, size = list(d).index(name), ctypes.py_object, ctypes.c_ssize_t
    c.fetch.argtypes, c.at_hint.argtypes = [obj, ctypes.c_long], [obj, size, ctypes.c_long]
    c.by_name.argtypes, c.nothing.argtypes = [obj, obj, ctypes.c_long], [ctypes.c_long]
    xs = range(n)

    def py_read():
        for _ in xs:
            msg.trade_price

    def py_none():
        for _ in xs:
            msg

    return [("py", py_read), ("py-none", py_none), ("fetch", lambda: c.fetch(msg, n)),
            ("at_hint", lambda: c.at_hint(d, hint, n)), ("by_name", lambda: c.by_name(d, name, n)),
            ("nothing", lambda: c.nothing(n))]


def call_costs(n=2000):
    """Under callgrind: instructions per call of a Python-level callable made from C against the same call
    made by the interpreter, each less a builtin's call made the same way; then what one instance-dict read
    costs the interpreter against the public C API."""
    if os.environ.get("BENCH_CALL_COST_CHILD"):
        loops = [(label, side, fn) for label, py, c in call_cost_loops(n) for side, fn in (("py", py), ("c", c))]
        with tempfile.TemporaryDirectory() as tmp:
            loops += [("dict-read", side, fn) for side, fn in dict_read_loops(n, tmp)]
            for label, side, fn in loops:
                fn()
                md.measured(fn)
                print(f"dump {label} {side}", flush=True)
        return
    if not shutil.which("valgrind"):
        sys.exit("--call-costs needs valgrind")
    with tempfile.TemporaryDirectory() as tmp:
        ir = {}
        loops = md.callgrind_loops(os.path.join(tmp, "cg.calls.out"), [__file__, "--call-costs"],
                                   env={"BENCH_CALL_COST_CHILD": "1"})
        for words, path in loops:
            ir[" ".join(words[:-1]), words[-1]] = md.dump_total(path) / n
    print("Ir per call, callgrind: the interpreter's call / the same call made from C, and what C pays more "
          "once each driver's own cost (a builtin called the same way) is taken off")
    refs = {"builtin(x)": "builtin(x)", "builtin(x, 1)": "builtin(x, 1)", "lambda(x, 1)": "builtin(x, 1)",
            "function(x, 1)": "builtin(x, 1)", "builtin(9 args)": "builtin(9 args)",
            "static(*9 args)": "builtin(9 args)"}
    for label, ref in refs.items():
        extra = (ir[label, "c"] - ir[ref, "c"]) - (ir[label, "py"] - ir[ref, "py"])
        print(f"  {label:<16}{ir[label, 'py']:>8.0f}{ir[label, 'c']:>8.0f}   from C: {extra:+.0f}")
    read = ir["dict-read", "py"] - ir["dict-read", "py-none"]
    fetch, at_hint, by_name = (ir["dict-read", k] - ir["dict-read", "nothing"] for k in ("fetch", "at_hint", "by_name"))
    lookup = min(at_hint, by_name)
    print("Ir per instance-dict read, callgrind: the interpreter's obj.attr (a loop with the read less the same "
          "loop without it) against the public C API (a C loop of the calls less an empty C loop)")
    print(f"  interpreter obj.attr{read:>27.0f}")
    print(f"  PyObject_GenericGetDict, then Py_DECREF{fetch:>8.0f}")
    print(f"  PyDict_Next at the entry's position{at_hint:>12.0f}")
    print(f"  PyDict_GetItemWithError, interned name{by_name:>9.0f}")
    print(f"  from C, per read: {lookup - read:+.0f} with the dict at hand, {fetch + lookup - read:+.0f} with a "
          f"fetch of its own")


# --- the tables --------------------------------------------------------------------------------------------


class Bench:
    def __init__(self):
        self.saved = {k: getattr(ferrule, k) for k in baseline.stubs(md.UNIVERSE)}
        self.saved_queue = ferrule.event_queue
        md.StandInEnvironment.set_instance(md.StandInEnvironment(md.UNIVERSE))
        self.compiled = ferrule.VelaStrategy(SimpleNamespace(base=SimpleNamespace(accounts={}, trading_calendar=[])))
        self.yardstick = baseline.VelaStrategy()

    def unbind(self):
        for k, v in self.saved.items():
            setattr(ferrule, k, v)
        ferrule.event_queue = self.saved_queue


def print_row(label, name, t, counts):
    med = {k: statistics.median(v) for k, v in t.items()}
    c, p, f = med["C", True], med["Py", True], med["floor", True]
    pair = statistics.median(x / y for x, y in zip(t["C", True], t["Py", True]))
    line = (f"{label:<26}{name:<17}{c:>7.0f}{spread(t['C', True]):>6.0f}{p:>7.0f}{spread(t['Py', True]):>6.0f}"
            f"{f:>7.0f}{c - f:>7.0f}{p - f:>7.0f}{c / p:>6.2f}{pair:>6.2f}{med['C', False] / med['Py', False]:>6.2f}")
    if counts is not None:
        ic, ip, fl, flc = (counts.get((label, name, s)) for s in ("C", "Py", "floor", "flC"))
        if ic and ip and fl:
            line += f"{ic:>9.0f}{ip:>9.0f}{fl:>9.0f}{ic - fl:>8.0f}{ip - fl:>8.0f}{ic / ip:>6.2f}"
            # The floor from C is read off the call graph by the partials' names, which an interpreter
            # without symbols (Debian's) does not give.
            line += f"{flc:>9.0f}{ic - flc:>8.0f}{flc / ip:>7.2f}" if flc else f"{'-':>9}{'-':>8}{'-':>7}"
    print(line, flush=True)
    return c / p


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="a few rows, fewer rounds, no instructions")
    ap.add_argument("--rounds", type=int, help="alternating rounds per cell (default 7, quick 3)")
    ap.add_argument("--calls", type=int, help="messages per timed loop (default 2000, quick 1000)")
    ap.add_argument("--rows", help="message:engine pairs, comma-separated (default: the whole matrix)")
    ap.add_argument("--no-instructions", action="store_true", help="times only")
    ap.add_argument("--instruction-calls", type=int, default=600, help="messages per callgrind loop")
    ap.add_argument("--profile", metavar="ROW/CALLBACK",
                    help="with instructions: where that cell's instructions go by function, each side "
                         "(e.g. dict:base/on_tick_trade)")
    ap.add_argument("--call-costs", action="store_true",
                    help="only: what a Python-level callable costs when called from C against the interpreter")
    ap.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.call_costs:
        call_costs()
        return
    rows = [tuple(r.split(":", 1)) for r in args.rows.split(",")] if args.rows else \
        (QUICK_ROWS if args.quick else default_rows())
    for m, e in rows:
        if m not in MESSAGE_SHAPES or e not in ENGINES:
            sys.exit(f"unknown row {m}:{e}; messages {sorted(MESSAGE_SHAPES)}, engines {list(ENGINES)}")
    if args.child:
        child(rows, args.instruction_calls)
        return
    rounds = args.rounds or (3 if args.quick else 7)
    calls = args.calls or (1000 if args.quick else 2000)
    want_ir = not (args.quick or args.no_instructions)

    print(f"interpreter: {sys.version.split()[0]} ({platform.python_implementation()}), "
          f"processor: {md.processor()}, {os.cpu_count()} cores")
    print(f"ns: thread CPU time per call, median of {rounds} alternating rounds of {calls} calls, collector on "
          f"(IQR beside); pair: the median of each round's own C/Py (one process); "
          f"off: the C/Py ratio with the collector off")
    profile = tuple(args.profile.split("/", 1)) if args.profile else None
    counts = instructions(rows, args.instruction_calls, profile) if want_ir else None
    if counts is not None:
        print(f"Ir: callgrind instructions per call, collector on, loops of {args.instruction_calls} calls")
    head = (f"{'messages:engine':<26}{'callback':<17}{'C':>7}{'IQR':>6}{'Py':>7}{'IQR':>6}{'floor':>7}"
            f"{'C-fl':>7}{'Py-fl':>7}{'C/Py':>6}{'pair':>6}{'off':>6}")
    if counts is not None:
        head += f"{'C Ir':>9}{'Py Ir':>9}{'fl Ir':>9}{'C-fl':>8}{'Py-fl':>8}{'C/Py':>6}{'flC Ir':>9}{'C-flC':>8}{'flC/Py':>7}"
    print(head)
    bench = Bench()
    worst = []
    try:
        for m, e in rows:
            row = Row(bench, m, e, calls)
            row.bind()
            for name in CALLBACKS:
                worst.append((print_row(row.label, name, measure(row, name, rounds, calls), counts),
                              row.label, name))
    finally:
        bench.unbind()
    worst.sort(reverse=True)
    print("highest time ratios: " + ", ".join(f"{label} {name} {r:.2f}" for r, label, name in worst[:5]))
    if counts is not None:
        print_floor_proofs(rows, counts)


def target(label, name):
    """The ratio a cell must reach: 0.80 and 0.90 for market data read from fields the class defines
    (slots, descriptors), 1.00 everywhere else."""
    if label.split(":")[0] in ("slots", "getset", "property"):
        return {"on_snapshot": 0.80, "on_tick_order": 0.90, "on_tick_trade": 0.90, "on_bar": 0.90}.get(name, 1.0)
    return 1.0


def print_floor_proofs(rows, counts):
    """For each cell whose instructions miss its target: what the calls that must be made cost when
    made from C, and what that leaves for everything else."""
    missed, unchecked = [], 0
    for m, e in rows:
        label = f"{m}:{e}"
        for name in CALLBACKS:
            ic, ip, fl, flc = (counts.get((label, name, s)) for s in ("C", "Py", "floor", "flC"))
            t = target(label, name)
            if not (ic and ip):
                unchecked += 1
            elif ic / ip > t and flc:
                missed.append(f"  {label} {name}: C/Py {ic / ip:.3f} > {t:.2f}. The calls made from C cost {flc:.0f}"
                              f" = {flc / ip:.2f} of Py {ip:.0f}, which leaves {t * ip - flc:.0f} for reading,"
                              f" building and handing over; C uses {ic - flc:.0f}, Python {ip - fl:.0f} above its"
                              f" own floor {fl:.0f}")
            elif ic / ip > t:
                missed.append(f"  {label} {name}: C/Py {ic / ip:.3f} > {t:.2f} (no floor from C on this interpreter)")
    print("instruction targets: " + ("all met" if not missed else f"{len(missed)} missed")
          + (f", {unchecked} cells without instructions" if unchecked else ""))
    for line in missed:
        print(line)


if __name__ == "__main__":
    main()
