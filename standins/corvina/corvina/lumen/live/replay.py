"""Replays a recording made at the bridge (`ferrule.start_recording`, or
`python -m corvina.lumen.live --record FILE`) through the callbacks of a fresh
`VelaStrategy`, with the engine's live-run side draining its queue and running
a strategy, as the recorded run did:

    python -m corvina.lumen.live.replay FILE [--speed X|max] [--strategy MODULE] [--quiet]

A recording is data: the replay runs no code the file names (see resolve(),
message_class() and shipped_strategy()).

There is no gateway: the strategy's requests go to a context that only keeps
them (`ReplayContext.requests`), and every answer, report and timer comes from
the file, in recorded order. The bridge's clock (its module `datetime` and
`np`) shows the recorded time of each call that reads it; where the recorded
run let the engine catch up (a "sync" mark), the replay does the same, at the
same clock time, so the strategy sees what it saw then (a sync after nothing
but level-2 data, which reaches no strategy hook, is merged into the next).
Calls made from inside another call (a timer arming the next) are repeated by
the outer call, so they are skipped. The cyclic garbage collector is paused
while the calls run: the engine's ring buffer keeps up to a million handled
events alive, and the collector's passes over them cost a replay a sixth of
its time; what the replay creates is freed by reference counting.

The engine numbers its orders per process: replay in a process of its own (as
the command does) for orders and fills numbered as in a recording made by the
command.

Part of the stand-in for the engine's live-run side."""
import argparse
import datetime as _dt
import enum
import gc
import logging
import pkgutil
import sys
import threading
import time
import traceback
import warnings
from types import SimpleNamespace

from corvina.lumen.environment import Environment
from corvina.lumen.live import clock as live_clock
from corvina.lumen.live.day import DEFAULT_STRATEGY, load_strategy, parse_speed
from corvina.lumen.live.engine import LiveEngine
from corvina.lumen.utils import ferrule_recording as recording
from pyvela import messages as vela_messages
from pyvela import strategy as vela_strategy
from pyvela.enums import MarketType

log = logging.getLogger("corvina.replay")

SYNC = "sync"  # the mark the live run writes where its engine caught up
MARKET_DATA = frozenset({"on_snapshot", "on_tick_order", "on_tick_trade", "on_bar"})
# Callbacks that publish only level-2 events, which the engine files without calling the strategy
# (LiveEngine._apply): a sync after nothing but these changes nothing the strategy sees, and is
# merged into the next one.
LEVEL2_ONLY = frozenset({"on_tick_order", "on_tick_trade"})
TIMERS = frozenset({"set_timer", "create_time_listener", "send_before_trading_event", "send_open_auction_event",
                    "send_after_trading_event", "send_day_event"})
_CHECK_EVERY = 1024  # records between looks at the wall clock (pacing, progress)


class ReplayContext(vela_strategy.Context):
    """The gateway context of a replay: keeps every request (`requests`) and
    arms no timer, since the recorded timers come from the file."""

    def insert_order(self, client_order_id, security_id, market_type, side, price, quantity):
        self._record("insert_order", client_order_id, security_id, market_type, side, price, quantity)

    def cancel_order(self, client_order_id):
        self._record("cancel_order", client_order_id)

    def create_algo_parent_order(self, client_seq_id, security_id, market_type, side, quantity, start_time,
                                 end_time):
        self._record("create_algo_parent_order", client_seq_id, security_id, market_type, side, quantity,
                     start_time, end_time)

    def cancel_algo_parent_order(self, sys_quote_id):
        self._record("cancel_algo_parent_order", sys_quote_id)

    def control_algo_parent_order(self, sys_quote_id, control_type):
        self._record("control_algo_parent_order", sys_quote_id, control_type)


class ReplayClock:
    """The bridge's clock during a replay: the recorded time of the last call
    that read it or of the last sync; without syncs in the file, it also
    follows the recorded wall clock (shifted as those calls show)."""

    def __init__(self, start):
        self._now = start
        self._offset = _dt.timedelta(0)
        self._wall_ns = None

    def set(self, when, wall_ns=None):
        self._now = when
        self._wall_ns = None
        if wall_ns is not None:
            self._offset = when - _dt.datetime.fromtimestamp(wall_ns / 1e9)

    def at_wall(self, wall_ns):
        self._wall_ns = wall_ns

    def now(self):
        wall = self._wall_ns
        if wall is not None:
            t = _dt.datetime.fromtimestamp(wall / 1e9) + self._offset
            if t > self._now:
                self._now = t
        return self._now

    def today(self):
        return self.now().date()


# The packages whose enumerations a recording may name: the gateway SDK's and the engine's. A replay
# rebuilds a member only from an enumeration class of these that is already imported; a file is data,
# and a name in it never imports a module or calls anything else.
ENUM_PACKAGES = ("pyvela", "corvina.lumen")


def _in_packages(module_name):
    return any(module_name == p or module_name.startswith(p + ".") for p in ENUM_PACKAGES)


def enum_class(path):
    """The enumeration class named "module.Qualname" when that module is already imported from
    ENUM_PACKAGES, else None. Looks names up in the namespaces alone: no import, no getter, no
    module __getattr__ runs."""
    parts = path.split(".")
    for i in range(len(parts) - 1, 0, -1):
        module_name = ".".join(parts[:i])
        module = sys.modules.get(module_name)
        if module is None:
            continue
        namespace = getattr(module, "__dict__", None) if _in_packages(module_name) else None
        obj = namespace.get(parts[i]) if isinstance(namespace, dict) else None
        for name in parts[i + 1:]:
            obj = obj.__dict__.get(name) if isinstance(obj, type) else None
        if (isinstance(obj, type) and issubclass(obj, enum.Enum)
                and f"{obj.__module__}.{obj.__qualname__}" == path):
            return obj
        return None
    return None


def numpy_scalar_type(name):
    """The numpy scalar type of that name (a numpy.generic subclass), else None. np.void is left out:
    called with a number it allocates that many bytes."""
    import numpy as np
    cls = vars(np).get(name)
    if isinstance(cls, type) and issubclass(cls, np.generic) and not issubclass(cls, np.void):
        return cls
    return None


def resolve(kind, name, value):
    """Rebuilds what the file names by type: enumeration members of the gateway SDK's and the engine's
    enumerations by class and value, numpy scalars (trading-calendar dates) from their text; anything
    else stays an EnumValue, Other or Raised of the reader."""
    if kind == "enum":
        cls = enum_class(name)
        if cls is not None:
            try:
                return cls(value)
            except (ValueError, TypeError):
                pass
        return recording.EnumValue(name, value)
    if kind == "other":
        module, _, type_name = name.rpartition(".")
        cls = numpy_scalar_type(type_name) if module == "numpy" else None
        if cls is not None:
            try:
                return cls(value)
            except (TypeError, ValueError, OverflowError):
                pass
        return recording.Other(name, value)
    return recording.Raised(name, value)


def message_class(name):
    """The gateway SDK's message class of that name, defined in pyvela.messages, else None (a dict)."""
    cls = vars(vela_messages).get(name) if isinstance(name, str) else None
    if isinstance(cls, type) and cls.__module__ == vela_messages.__name__ and cls.__qualname__ == name:
        return cls
    return None


def message_shapes(header):
    """decode_records' table: per callback, per argument, (message class or None, field names) or None."""
    shapes = []
    for callback in header.get("callbacks", []):
        args = []
        for arg in callback.get("args", []):
            if "fields" not in arg:
                args.append(None)
                continue
            cls = None if arg.get("of_self") else message_class(arg.get("message"))
            args.append((cls, tuple(arg["fields"])))
        shapes.append(tuple(args))
    return shapes


def config_of(fields):
    """The live run's configuration object from the fields recorded for self.config.base."""
    return SimpleNamespace(base=SimpleNamespace(**fields))


class _Sample:
    """What the summary reads of a sample day: its date and how many feed messages it had."""

    def __init__(self, date, feed_messages):
        self.date = date
        self.records = range(feed_messages)


class _Feed:
    """The replay's counterpart of the gateway in the summary: callback and timer failures."""

    def __init__(self):
        self.error_counts = {}
        self.errors = []  # (clock time, callback name, traceback text), the first failure of each
        self.timers = SimpleNamespace(errors=[])  # (clock time, callback name, exception)
        self.clock = None
        self.records = 0
        self.market_data = 0
        self.skipped = 0  # nested calls: their outer call repeats them
        self.syncs = 0
        self.merged = 0  # syncs with only level-2 data before them, merged into the next
        self.high_water = 0  # in lockstep: the deepest the queue was at a sync, merged ones included
        self.started = None


class ReplayResult(SimpleNamespace):
    """engine, gateway (the replay's feed: failures, counts), sample, universe, vela, path, meta, the speed,
    handover (ferrule.stats() at the end; faults is always None: a replay injects none) and latency_histograms
    (ferrule.latency_histograms() at the end, None unless the replay measured latency)."""


class Replay:
    """One replay of one file; run() does it all, or use replay()."""

    def __init__(self, path, strategy=DEFAULT_STRATEGY, speed=0.0, vela=None, config=None, universe=None,
                 latency=False):
        self.path = path
        self.latency = latency
        self.speed = speed
        self.strategy = load_strategy(strategy) if isinstance(strategy, str) else strategy
        self.file = recording.open(path)
        self.meta = self.file.meta if isinstance(self.file.meta, dict) else {}
        self.universe = list(universe if universe is not None else self.meta.get("universe", []))
        if not self.universe:
            warnings.warn(f"{path}: the recording names no universe (pass universe=): bars never complete a "
                          f"minute and the strategy sees no instruments", RuntimeWarning, stacklevel=3)
        self.lockstep = bool(self.meta.get("lockstep"))
        self.feed = _Feed()
        self._shapes = message_shapes(self.file.header)
        self._memo = {}
        self._names = list(self.file.callbacks)
        self._vela = vela
        self._config = config

    def batches(self):
        from corvina.lumen.utils import ferrule
        decode = ferrule.decode_records
        for raw, _ in self.file.blocks():
            yield decode(raw, self._shapes, resolve, self._memo)

    def run(self, progress=None, progress_every=0.25):
        from corvina.lumen.utils import ferrule

        previous_env = Environment._instance
        restore_clock = None
        measuring = ferrule.latency_enabled() if self.latency else None
        histograms = None
        try:
            batches = self.batches()
            first = next(batches, [])
            start_clock, config = self._start(first)
            config = self._config if self._config is not None else config
            if config is None:
                raise ValueError(f"{self.path}: no recorded configuration (initialize, set_timer); pass config=")
            clock = ReplayClock(start_clock)
            self.feed.clock = clock
            Environment.set_instance(Environment(self.universe))
            restore_clock = live_clock.follow(ferrule, clock)
            lock = threading.Lock()
            engine = LiveEngine(ferrule, self.strategy, self.universe, lock, lockstep=self.lockstep)
            engine.discard_stale()
            if self.latency:
                ferrule.set_latency(True)
            ferrule.reset_stats()  # the summary shows this replay's hand-over
            vela = self._vela
            if vela is None:
                with vela_strategy.installed_context(ReplayContext):
                    vela = ferrule.VelaStrategy(config)
            engine.attach(vela.context, list(MarketType))
            engine.start()
            real_start = time.monotonic()
            self.feed.started = real_start
            collecting = gc.isenabled()
            gc.disable()
            try:
                self._loop(vela, engine, clock, lock, [first], batches, progress, progress_every)
                engine.wait_caught_up()
                seconds = time.monotonic() - real_start
                handover = ferrule.stats()
                if self.latency:
                    histograms = ferrule.latency_histograms()
                if self.lockstep:
                    engine.high_water = self.feed.high_water
            finally:
                try:
                    engine.stop()
                finally:
                    if collecting:
                        gc.enable()
            real_seconds = time.monotonic() - real_start
        finally:
            if measuring is not None:
                ferrule.set_latency(measuring)
            if restore_clock is not None:
                restore_clock()
            Environment.set_instance(previous_env)
            self.file.close()
        date = self.meta.get("date")
        date = _dt.date.fromisoformat(date) if isinstance(date, str) else start_clock.date()
        return ReplayResult(engine=engine, gateway=self.feed, sample=_Sample(date, self.meta.get("feed_messages", 0)),
                            universe=self.universe, speed=self.speed, real_seconds=real_seconds,
                            replay_seconds=seconds, vela=vela, strategy=self.strategy, path=self.path,
                            meta=self.meta, requests=vela.context.requests if hasattr(vela.context, "requests")
                            else [], handover=handover, faults=None, latency_histograms=histograms)

    def _start(self, first):
        """The clock at the first recorded time and the recorded configuration, from the first block."""
        start, config = None, None
        for callback, flags, _, wall, clock, args in first:
            if start is None and isinstance(clock, _dt.datetime):
                start = clock
            if config is None and callback < len(self._names) and self._names[callback] in (
                    "initialize", "set_timer", "create_time_listener") and args and isinstance(args[0], dict):
                config = config_of(args[0])
            if start is not None and config is not None:
                break
        if start is None:
            wall = first[0][3] if first else time.time_ns()
            start = _dt.datetime.fromtimestamp(wall / 1e9)
        return start, config

    def _loop(self, vela, engine, clock, lock, head, batches, progress, progress_every):
        feed = self.feed
        names = self._names
        methods = [getattr(vela, name, None) for name in names]
        market = [name in MARKET_DATA for name in names]
        timers = [name in TIMERS for name in names]
        level2 = [name in LEVEL2_ONLY for name in names]
        quiet = True  # nothing but level-2 data since the last sync
        mark, nested = recording.MARK, recording.NESTED
        follow_wall = not self.lockstep
        paced = self.speed > 0
        mono0 = None
        real0 = time.monotonic()
        next_progress = real0 + progress_every
        count = feed.records
        md = feed.market_data
        # In lockstep the engine drains only at syncs, so the depth it finds is what was published since the
        # sync before. A merged sync is one it would have drained at: that depth is measured here instead.
        queue = engine.queue
        base = high_water = 0
        for batch in _chain(head, batches):
            lock.acquire()
            try:
                for callback, flags, mono, wall, clk, args in batch:
                    if flags & nested:
                        feed.skipped += 1
                        continue
                    count += 1
                    if paced or progress is not None:
                        if mono0 is None:
                            mono0 = mono
                        if paced or count % _CHECK_EVERY == 0:
                            now = time.monotonic()
                            if paced:
                                delay = real0 + (mono - mono0) / 1e9 / self.speed - now
                                if delay > 0:
                                    lock.release()
                                    try:
                                        time.sleep(delay)
                                    finally:
                                        lock.acquire()
                                    now += delay
                            if progress is not None and now >= next_progress:
                                feed.records, feed.market_data = count, md
                                next_progress = now + progress_every
                                progress(self, engine)
                    if callback == mark:
                        if args and args[0] == SYNC:
                            if len(args) > 1 and isinstance(args[1], _dt.datetime):
                                clock.set(args[1])
                            depth = len(queue)
                            high_water = max(high_water, depth - base)
                            if quiet:
                                feed.merged += 1
                                base = depth
                                continue
                            feed.syncs += 1
                            quiet = True
                            base = 0
                            lock.release()
                            try:
                                engine.catch_up_here()
                            finally:
                                lock.acquire()
                        continue
                    if clk is not None and isinstance(clk, _dt.datetime):
                        clock.set(clk, wall)
                    elif follow_wall:
                        clock.at_wall(wall)
                    if market[callback]:
                        md += 1
                    if not level2[callback]:
                        quiet = False
                    try:
                        methods[callback](*args)
                    except Exception as e:
                        self._failed(names[callback], timers[callback], e)
            finally:
                lock.release()
        feed.records, feed.market_data = count, md
        if self.lockstep:
            feed.high_water = max(high_water, len(queue) - base)  # the last stretch, drained at the end

    def _failed(self, name, timer, error):
        feed = self.feed
        if timer:
            feed.timers.errors.append((feed.clock.now(), name, error))
            log.exception("timer callback %s failed", name)
            return
        feed.error_counts[name] = feed.error_counts.get(name, 0) + 1
        if feed.error_counts[name] == 1:
            feed.errors.append((feed.clock.now(), name, traceback.format_exc()))
            log.exception("callback %s failed (later failures of it are only counted)", name)


def _chain(head, rest):
    yield from head
    yield from rest


def replay(path, strategy=DEFAULT_STRATEGY, speed=0.0, progress=None, progress_every=0.25, vela=None, config=None,
           universe=None, latency=False):
    """Replays the recording at path; returns a ReplayResult (its engine holds the orders, fills and account).

    strategy: a module name, a .py file or a strategy object; speed: 0 as fast as possible, else that many
    times the recorded pace; progress(replay, engine) is called about every progress_every seconds; vela: the
    VelaStrategy to drive instead of a fresh one; config and universe stand in for what the file records;
    latency: the bridge measures latency for the replay (ferrule.set_latency(True)), then goes back to what it
    did."""
    return Replay(path, strategy, speed, vela, config, universe, latency).run(progress, progress_every)


def progress_line(replay_, engine):
    feed = replay_.feed
    seconds = max(time.monotonic() - feed.started, 1e-9)
    return (f"[{feed.clock.now():%H:%M:%S}] {feed.records:,} calls ({feed.market_data / seconds:,.0f} market-data "
            f"messages/s), {engine.handled:,} events, {len(engine.orders)} orders, "
            f"{len(engine.trades) + len(engine.child_trades)} fills")


def replay_line(result):
    feed = result.gateway
    rate = feed.market_data / result.replay_seconds if result.replay_seconds else 0.0
    return (f"Replay of {result.path}: {feed.records:,} calls ({feed.market_data:,} market data, "
            f"{feed.syncs:,} syncs and {feed.merged:,} merged, {feed.skipped:,} nested skipped) in {result.replay_seconds:.2f} s, "
            f"{rate:,.0f} market-data messages/s")


SHIPPED_STRATEGIES = "corvina.lumen.live.strategies."


def shipped_strategy(name):
    """name when it is one of the live run's own strategies (a module of corvina.lumen.live.strategies,
    found without importing it), else None: the strategy a file names is code, and only the caller's
    --strategy runs code of its choosing."""
    if not isinstance(name, str) or not name.startswith(SHIPPED_STRATEGIES):
        return None
    from corvina.lumen.live import strategies
    shipped = {m.name for m in pkgutil.iter_modules(strategies.__path__)}
    return name if name[len(SHIPPED_STRATEGIES):] in shipped else None


def main(argv=None):
    from corvina.lumen.live.report import failed, summary

    parser = argparse.ArgumentParser(prog="python -m corvina.lumen.live.replay",
                                     description="Replays a recording of the bridge and prints the day's summary.")
    parser.add_argument("file", help="a recording (python -m corvina.lumen.live --record FILE)")
    parser.add_argument("--speed", type=parse_speed, default=0.0,
                        help="times the recorded pace, or max (default: max, as fast as possible)")
    parser.add_argument("--strategy", default=None,
                        help="module name or .py file defining class Strategy (default: the recorded one when it is "
                             f"one of corvina.lumen.live.strategies, else {DEFAULT_STRATEGY})")
    parser.add_argument("--quiet", action="store_true", help="no progress lines")
    args = parser.parse_args(argv)
    try:
        with recording.open(args.file) as head:
            meta = head.meta if isinstance(head.meta, dict) else {}
    except (OSError, recording.RecordingError) as e:
        parser.error(str(e))
    source = args.strategy
    if source is None:
        named = meta.get("strategy")
        source = shipped_strategy(named)
        if source is None and named:
            parser.error(f"the recording names the strategy {str(named)[:200]!r}; a replay runs only the live "
                         f"run's own strategies unasked: pass --strategy to run another")
        source = source or DEFAULT_STRATEGY
    try:
        strategy = load_strategy(source)
    except (ImportError, OSError, SyntaxError) as e:
        parser.error(f"--strategy {source}: {e}")

    def progress(replay_, engine):
        print(progress_line(replay_, engine), file=sys.stderr, flush=True)

    result = replay(args.file, strategy, args.speed, progress=None if args.quiet else progress, latency=True)
    print(replay_line(result), file=sys.stderr)
    print(summary(result))
    return 1 if failed(result) else 0


if __name__ == "__main__":
    sys.exit(main())
