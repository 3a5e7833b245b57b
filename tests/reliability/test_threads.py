"""Callbacks delivered from several threads at once while one thread drains
event_queue, one reads the query functions and one switches the trading day.

With the GIL the bridge's C++ stretches between calls into Python run alone;
without it (a free-threaded build, where every test here runs with the GIL
off) its claims take locks of its own. event_queue is numpy_ringbuffer's RingBuffer, written in Python:
append and popleft are several bytecodes each, so two producers can write the
same slot and lose an increment of the write index (on CPython 3.12 only
where a switch point falls between the slot write and the increment: under a
line tracer such as coverage or a debugger; the plain interpreter checks for
switches only at calls and backward jumps, none of which lie there), leaving a lost event, a
slot never written (read back as None) or, when the write index falls behind
the read index, a negative length (ValueError from len()). One producer and
one consumer never race (each index has one writer) short of the million-entry
wrap. So: a crash or an exception from anywhere but the ring buffer fails;
ring-buffer races are counted and reported, and only what the design
guarantees is asserted. CORVINA_THREAD_ROUNDS sets the calls per producer."""
import collections
import contextlib
import functools
import gc
import itertools
import json
import logging
import os
import random
import subprocess
import sys
import sysconfig
import threading
import time
import traceback
from decimal import Decimal

import pytest

import bridge_support as B
import reliability_support as R
from message_support import fill
from reliability_support import ferrule
from pyvela import messages as M
from pyvela.enums import MarketType, OrderStatusType
from numpy_ringbuffer import RingBuffer

ROUNDS = int(os.environ.get("CORVINA_THREAD_ROUNDS", "1500"))
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
PRODUCERS = 4
KEYS = ["000001.XSHE", "600000.XSHG"]


def from_ring_buffer(exc):
    """True when the innermost frame of the error is the ring buffer's code."""
    frames = traceback.extract_tb(exc.__traceback__)
    return bool(frames) and "numpy_ringbuffer" in frames[-1].filename



def message(name, rng):
    i = rng.randrange(10)
    if name == "on_order":
        status = rng.choice(list(OrderStatusType)).name
        return (fill(status, client_order_id=rng.choice([1, 2, 3]), qty=rng.choice([0, 30]), value=520.0,
                     counter_order_id=rng.choice([0, 7]), error_code=7, error_msg="no"),)
    if name == "on_order_action_error":
        return (M.OrderActionError(client_order_id=rng.choice([1, 2, 3])),)
    if name == "on_login":
        return (M.LoginRes(fund_account_id="F1", error_code=rng.choice([0, 1])),)
    if name in ("on_snapshot", "on_bar", "on_tick_order", "on_tick_trade"):
        args = R.good_args(name, i)
        args[0].market_type = rng.choice([MarketType.SZSE, MarketType.SSE])
        return args
    return R.good_args(name, i)


class Run:
    """Shared bookkeeping: every append the bridge makes is counted (next() on
    an itertools.count is one C call) and kept, without any lock."""

    def __init__(self):
        self.appended = []
        self.drained = []
        self.unexpected = []
        self.ring_errors = []
        self.stop = threading.Event()

    def guard(self, where, fn, *args):
        try:
            return fn(*args)
        except Exception as e:
            (self.ring_errors if from_ring_buffer(e) else self.unexpected).append(
                (where, "".join(traceback.format_exception(e))))


@pytest.fixture(params=["plain", "traced", "recorded"])
def counted_queue(request, tmp_path):
    """event_queue's own append, counted: the bridge looks `append` up on the
    queue at each call, so an instance attribute takes its place. "recorded":
    with every call recorded, and each one found in the file afterwards."""
    q = ferrule.event_queue
    run = Run()
    run.names = LIVE_CALLBACKS

    def append(event):
        run.appended.append(event)
        RingBuffer.append(q, event)

    B.reset_state()
    q.append = append
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # many more thread switches inside the callbacks
    if request.param == "traced":
        # A line tracer (coverage, a debugger) makes every line a switch point,
        # inside RingBuffer.append too: the races then really happen.
        def tracer(frame, event, arg):
            return tracer

        threading.settrace(tracer)
    if request.param == "recorded":
        ferrule.reset_stats()
        ferrule.start_recording(tmp_path / "threads.rec")
    run.label = request.param
    try:
        yield run
        if request.param == "recorded":
            recording = ferrule.stop_recording()
            calls = sum(ferrule.stats()["calls"].values())
            from corvina.lumen.utils import ferrule_recording

            assert recording["error"] is None and recording["records"] + recording["dropped"] == calls
            with ferrule_recording.open(tmp_path / "threads.rec") as recorded:
                assert sum(1 for _ in recorded) == recording["records"]
    finally:
        threading.settrace(None)
        sys.setswitchinterval(old)
        del q.append
        # A race may have left the indices crossed; only this test's entries were in it.
        q._left_index = q._right_index = 0
        B.reset_state()


LIVE_CALLBACKS = ["on_order", "on_order_action_error", "on_login", "on_query_asset", "on_query_position",
                  "on_algo_login", "on_create_algo_parent_order_res", "on_control_algo_parent_order_res",
                  "on_algo_parent_order_update", "on_algo_child_order_update", "on_algo_child_order_trade",
                  *R.MARKET_DATA]


def producer(run, strategy, names, seed):
    rng = random.Random(seed)
    for _ in range(ROUNDS):
        name = rng.choice(names)
        run.guard(name, getattr(strategy, name), *message(name, rng))


def drainer(run):
    q = ferrule.event_queue

    def drain_once():
        while len(q):
            run.drained.append(q.popleft())

    while not run.stop.is_set():
        run.guard("drain", drain_once)


def reader(run):
    rng = random.Random(7)
    while not run.stop.is_set():
        key = rng.choice(KEYS)
        for name in R.QUERIES:
            args = (key, rng.randrange(-70, 70)) if name.startswith("history_") else (key,)
            result = run.guard(name, getattr(ferrule, name), *args)
            if name == "history_ticks" and result is not None:
                if len(result) > 60 or not all(type(r) is dict for r in result):
                    run.unexpected.append((name, f"bad window {result!r:.200}"))


def switcher(run, strategy, filed):
    rng = random.Random(11)
    while not run.stop.is_set():
        run.guard("on_switch_day", strategy.on_switch_day)
        for cid in rng.sample([1, 2, 3], rng.randrange(4)):
            filed.append(B.file_order(cid))  # the engine files the orders it sends


def run_threads(run, producers):
    s = B.new_strategy(B.QuietContext())
    originals = R.snapshot_globals()
    filed = [B.file_order(cid) for cid in (1, 2, 3)]
    names = run.names
    workers = [threading.Thread(target=producer, args=(run, s, names, seed)) for seed in range(producers)]
    helpers = [threading.Thread(target=drainer, args=(run,)), threading.Thread(target=reader, args=(run,)),
               threading.Thread(target=switcher, args=(run, s, filed))]
    for t in workers + helpers:
        t.start()
    for t in workers:
        t.join(timeout=300)
    run.stop.set()
    for t in helpers:
        t.join(timeout=60)
    assert not any(t.is_alive() for t in workers + helpers), "a thread did not finish"
    q = ferrule.event_queue
    if q._left_index <= q._right_index:
        run.guard("final drain", lambda: run.drained.extend(q.popleft() for _ in range(len(q))))
    R.check_invariants(originals, {id(o): o for o in filed})
    return names


def report(run, label, rounds):
    events = [e for e in run.drained if e is not None]
    stats = {"test": label, "producer_calls": rounds, "appended": len(run.appended), "drained_events": len(events),
             "unwritten_slots": len(run.drained) - len(events), "ring_buffer_errors": len(run.ring_errors)}
    print("THREADS", stats)
    path = os.environ.get("CORVINA_RELIABILITY_STATS")
    if path:
        with open(path, "a") as f:
            f.write(json.dumps(stats) + "\n")
    return events


def test_concurrent_producers_drainer_reader_and_day_switch(counted_queue):
    run = counted_queue
    run_threads(run, PRODUCERS)
    assert not run.unexpected, run.unexpected[0][1]
    events = report(run, f"multi-producer {run.label}", PRODUCERS * ROUNDS)
    # What the design guarantees: nothing but published events comes out, and none twice.
    published = {id(e) for e in run.appended}
    assert all(type(e) is ferrule.Event for e in events)
    assert all(id(e) in published for e in events)
    assert len({id(e) for e in events}) == len(events)
    assert len(events) <= len(run.appended)
    if run.label != "traced" and sys.version_info[:2] == (3, 12):
        # No switch point inside the ring buffer's steps, and far fewer events than its slots (none
        # overwritten), all drained at the end (none waiting): every published event came out once.
        assert len(run.appended) < ferrule.event_queue.maxlen and len(ferrule.event_queue) == 0
        assert not run.ring_errors and len(events) == len(run.drained)
        assert sorted(map(id, events)) == sorted(map(id, run.appended))


def test_one_producer_one_drainer_lose_nothing(counted_queue):
    """Each ring-buffer index has a single writer here: every event arrives, in order."""
    run = counted_queue
    run_threads(run, 1)
    assert not run.unexpected, run.unexpected[0][1]
    assert not run.ring_errors, run.ring_errors[0][1]
    events = report(run, f"single-producer {run.label}", ROUNDS)
    assert len(events) == len(run.drained)
    assert [id(e) for e in events] == [id(e) for e in run.appended]


# -- a simulated day on several gateway threads ------------------------------------------------------------------
#
# A day of the simulated gateway with faults (every match resent, cancellations repeating the latest match,
# reports for orders never sent) is taken down callback by callback, then delivered again the way a gateway
# with several threads delivers it: market data on two threads, order reports on two (each resent report on the
# other thread at the same moment as its original), answers and algorithmic updates on one, the engine
# draining on its own thread and falling behind now and then so that the queue overflows.
# CORVINA_THREAD_DAYS (default 1) sets how many times the day is delivered so.
DAYS = int(os.environ.get("CORVINA_THREAD_DAYS", "1"))
DAY_QUEUE = 400  # entries: small enough to overflow while the engine looks away


class Together:
    """Sample strategies run as one: the breakout's many fills beside the tour's algorithmic orders."""

    def __init__(self, *parts):
        self.parts = parts

    def __getattr__(self, hook):
        found = [getattr(p, hook) for p in self.parts if hasattr(p, hook)]
        if not found:
            raise AttributeError(hook)
        return lambda *args: [f(*args) for f in found] and None


@pytest.fixture(scope="module")
def gateway_day():
    """(calls, counts): every callback of the day in delivery order, and what the faults make a bridge count."""

    from corvina.lumen.live import day
    from corvina.lumen.live.strategies import breakout, tour
    from pyvela.sim import SimGateway, faults

    calls = []
    deliver = SimGateway.deliver
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(SimGateway, "deliver", lambda gw, name, *args: (calls.append((name, args)),
                                                                   deliver(gw, name, *args)))
        mp.setattr(day, "Faults", functools.partial(faults.Faults, resend_every=1))
        result = day.run_day(strategy=Together(breakout.Strategy(), tour.Strategy()),
                             faults="resend,cancel-match,unknown")
    B.reset_state()
    assert not result.gateway.errors and not result.engine.errors
    counts = dict(result.faults.expected(), TRADE=result.handover["published"]["TRADE"],
                  events=sum(result.handover["published"].values()))
    assert counts["repeated_fills"] >= 20 and counts["unknown_orders"] and counts["TRADE"] >= 20
    return calls, counts


class Rendezvous:
    """A resent report and its original, delivered by two threads at the same moment: each spins until both
    are there (a wait on a lock would wake the first one far later than the second goes on)."""

    def __init__(self, report):
        self.report = report
        self.arrived = []

    def meet(self):
        self.arrived.append(None)  # one C call: no thread switch inside
        deadline = time.monotonic() + 60
        while len(self.arrived) < 2:
            if time.monotonic() > deadline:
                raise TimeoutError("the other thread never came")


def split_day(calls):
    """The day's callbacks as five threads deliver them: [market 1, market 2, orders 1, orders 2, answers]."""
    market, orders, answers = ([], []), ([], []), []
    instruments = {}
    previous = None
    for name, args in calls:
        if name in ("on_initialize", "on_switch_day"):
            continue
        if name in R.MARKET_DATA:
            side = instruments.setdefault(args[0].security_id, len(instruments) % 2)
            market[side].append((name, args))
        elif name in ("on_order", "on_order_action_error"):
            own = orders[abs(args[0].client_order_id) % 2]
            if name == "on_order" and args[0] is previous:  # the gateway sent it again: race it with the original
                meeting = Rendezvous(args[0])
                own[-1] = meeting
                orders[1 - abs(args[0].client_order_id) % 2].append(meeting)
            else:
                own.append((name, args))
            previous = args[0] if name == "on_order" else None
        else:
            answers.append((name, args))
    return [*market, *orders, answers]


@contextlib.contextmanager
def racing():
    """Threads switching every microsecond, the cyclic collector on, and no log lines (each report's line
    takes the logging handler's lock, which would keep the threads apart); the module's state emptied after."""
    old_interval, collecting, muted = sys.getswitchinterval(), gc.isenabled(), logging.root.manager.disable
    gc.enable()
    sys.setswitchinterval(1e-6)
    logging.disable(logging.INFO)
    try:
        yield
    finally:
        logging.disable(muted)
        sys.setswitchinterval(old_interval)
        if not collecting:
            gc.disable()
        B.reset_state()


def deliver_day(calls, q, lock):
    """The day on five gateway threads and the engine's, publishing into q; (stats, drained by type, errors)."""
    from corvina.lumen.model.order import Order

    B.reset_state()
    s = B.new_strategy(B.QuietContext())
    for cid in {a[0].client_order_id for n, a in calls if n == "on_order" and a[0].client_order_id > 0}:
        B.file_order(cid, Order("000001.XSHE", 100, 10.0, client_order_id=cid))
    errors, drained, stop, done = [], collections.Counter(), threading.Event(), []
    parts = split_day(calls)
    # Near the end of the day the engine stops draining: what the last steps publish waits, the rest
    # overwrites. Decided by the day's progress, not by a time.
    draining = 0.97 * sum(len(p) for p in parts)

    def gateway_thread(steps):
        for step in steps:
            try:
                if isinstance(step, Rendezvous):
                    step.meet()
                    with lock:
                        s.on_order(step.report)
                else:
                    with lock:
                        getattr(s, step[0])(*step[1])
            except Exception:
                errors.append(traceback.format_exc())
            done.append(1)

    def engine_thread():
        rng = random.Random(5)
        while not stop.is_set() and len(done) < draining:
            with lock:
                batch = [q.popleft() for _ in range(len(q))]
            drained.update(e.event_type.name for e in batch)
            time.sleep(rng.choice([0, 0, 0.0005, 0.003]))  # busy elsewhere now and then: the queue overflows

    original_queue, ferrule.event_queue = ferrule.event_queue, q
    try:
        ferrule.reset_stats()
        ferrule.set_latency(True)  # each thread's histograms, merged when read
        engine = threading.Thread(target=engine_thread)
        gateways = [threading.Thread(target=gateway_thread, args=(steps,)) for steps in parts]
        for t in [engine, *gateways]:
            t.start()
        for t in gateways:
            t.join(timeout=300)
        stop.set()
        engine.join(timeout=60)
        assert not any(t.is_alive() for t in [engine, *gateways]), "a thread did not finish"
        return ferrule.stats(), drained, errors
    finally:
        ferrule.set_latency(False)
        ferrule.event_queue = original_queue


@pytest.mark.parametrize("queue", ["deque", "ring buffer under one lock"])
def test_a_day_on_several_gateway_threads(gateway_day, queue):
    """No fill published twice, every fault counted once, and every published event drained, overwritten or
    still waiting: with a queue whose append and len() are single C calls (collections.deque) and no lock,
    and with one written in Python (the ring buffer) when producers and the engine share one lock."""
    calls, expected = gateway_day
    with racing():
        for _ in range(DAYS):
            if queue == "deque":
                q, lock = collections.deque(maxlen=DAY_QUEUE), contextlib.nullcontext()
            else:
                q, lock = ferrule.RB(capacity=DAY_QUEUE, dtype=object), threading.Lock()
            stats, drained, errors = deliver_day(calls, q, lock)
            assert not errors, errors[0]
            assert not any(stats["failures"].values())
            published = sum(stats["published"].values())
            print("DAY", queue, expected, {"published": published, "drained": sum(drained.values()),
                                           "overwritten": stats["overwritten"], "waiting": len(q)})
            assert (stats["published"]["TRADE"], stats["repeated_fills"], stats["unknown_orders"]) == (
                expected["TRADE"], expected["repeated_fills"], expected["unknown_orders"])
            assert drained["TRADE"] <= stats["published"]["TRADE"] and stats["overwritten"] > 0 and len(q)
            assert published == sum(drained.values()) + stats["overwritten"] + len(q)
            timed = stats["latency"]["callbacks"]
            assert all(timed[n]["count"] + timed[n]["negative"] == stats["calls"][n] for n in stats["calls"])


# -- one decision raced by two threads ---------------------------------------------------------------------------
RACE_TRIALS = 150


order_report = functools.partial(fill, client_order_id=1, traded=30, value=315.0, counter_order_id=7)


def slow_status_order(monkeypatch):
    """An engine order whose status is a property: writing it runs Python code, which lets other threads in."""
    from corvina.lumen.model.order import Order

    class SlowStatus(Order):
        @property
        def status(self):
            return self.__dict__["_status"]

        @status.setter
        def status(self, value):
            time.sleep(0)
            self.__dict__["_status"] = value

    B.file_order(1, SlowStatus("000001.XSHE", 100, 10.0, client_order_id=1))


def slow_deque(monkeypatch):
    """The module's deque replaced by a Python function, which lets other threads in."""
    monkeypatch.setattr(ferrule, "deque", lambda *args, **kw: (time.sleep(0), collections.deque(*args, **kw))[1])


def updates(n):
    message = M.AlgoParentOrderMsg(sys_quote_id="Q1")
    return lambda s: [s.on_algo_parent_order_update(message) for _ in range(n)]


def plain_order(monkeypatch):
    B.file_order(1)


# case -> (what each trial starts from, what each thread does, what must come of it)
RACES = {
    "a resend racing its original": (plain_order, [order_report("PartiallyFilled")] * 2, {"TRADE": 1}),
    "two matches racing": (plain_order, [order_report("PartiallyFilled"),
                                         order_report("PartiallyFilled", traded=60)], {"TRADE": 2}),
    "a resend with figures that are not the interpreter's numbers": (
        plain_order, [order_report("PartiallyFilled", traded=Decimal(30), value=Decimal(315))] * 2,
        {"TRADE": 1}),
    "an acceptance sent twice": (slow_status_order, [order_report("Sended", qty=0)] * 2,
                                 {"ORDER_CREATION_PASS": 1}),
    "updates of one algorithmic order": (plain_order, [updates(20)] * 2, {"PARENT_ORDER_UPDATE": 40, "updates": 40}),
    "the first snapshots of an instrument": (slow_deque, [lambda s: s.on_snapshot(*R.good_args("on_snapshot"))] * 2,
                                             {"TICK": 2, "ticks": 2}),
}


@pytest.mark.parametrize("case", list(RACES))
def test_a_decision_taken_once_with_two_threads_at_once(case, monkeypatch):
    """Both threads start the same moment, switching every microsecond; each trial must come out as one
    thread after the other would have it."""
    import collections

    prepare, steps, expected = RACES[case]
    s = B.new_strategy(B.QuietContext())
    calls = [step if callable(step) else (lambda s, r=step: s.on_order(r)) for step in steps]
    outcomes = collections.Counter()
    with racing():
        for _ in range(RACE_TRIALS):
            B.reset_state()
            prepare(monkeypatch)
            meeting = Rendezvous(None)
            threads = [threading.Thread(target=lambda c=c: (meeting.meet(), c(s))) for c in calls]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            got = collections.Counter(e.event_type.name for e in B.drain())
            if "Q1" in ferrule.algo_parent_orders:
                got["updates"] = ferrule.algo_parent_orders["Q1"].updates
            got["ticks"] = sum(map(len, ferrule.history_tick.values()))
            outcomes[tuple(sorted((k, got[k]) for k in expected))] += 1
    assert dict(outcomes) == {tuple(sorted(expected.items())): RACE_TRIALS}, dict(outcomes)


@pytest.fixture(autouse=True)
def gil_as_built():
    """Nothing the suite imported has turned a free-threaded build's GIL back on."""
    assert not (FREE_THREADED and sys._is_gil_enabled())


@pytest.mark.skipif(not FREE_THREADED, reason="a build with the GIL")
def test_the_gil_stays_off_once_the_three_modules_are_loaded():
    code = ("import sys, corvina.lumen.utils.ferrule, corvina.lumen.sdk.pylon, corvina.lumen.sdk.satchel; "
            "print(sys._is_gil_enabled())")
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    r = subprocess.run([sys.executable, "-W", "error", "-c", code], capture_output=True, text=True, env=env,
                       timeout=120)
    assert (r.returncode, r.stdout.strip(), r.stderr) == (0, "False", "")
