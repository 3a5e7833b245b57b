"""One simulated trading day: the configuration, the bridge's strategy on the
simulated gateway, the engine's thread, and what came of it.

Part of the stand-in for the engine's live-run side."""
import argparse
import datetime as _dt
import importlib
import importlib.util
import os
import time
from types import SimpleNamespace

import numpy as np

from corvina.lumen.environment import Environment
from corvina.lumen.live import clock as live_clock
from corvina.lumen.live.engine import LiveEngine
from corvina.lumen.utils.trade_func import get_exchane_from_vela_mdtype
from pyvela.enums import MarketType, SubscribeDataType
from pyvela.sim import SimGateway, VirtualClock, feed, load_sample
from pyvela.sim.faults import Faults

DEFAULT_STRATEGY = "corvina.lumen.live.strategies.breakout"
FUND_ACCOUNT = "100001"
START = (8, 59)      # the run starts before the before-trading event
END = (15, 31)       # and ends after the after-trading event
# Held since yesterday: what a strategy can sell today (T+1), worth about 150,000 each.
HOLDING_VALUE = 150_000
# The queue swapped in for a run that overflows it on purpose; every other run keeps the bridge's own.
FAULT_QUEUE = 1_000


def universe_of(sample):
    """The engine's market codes of the sample's instruments."""
    suffix = get_exchane_from_vela_mdtype(sample.market_type)
    return [f"{i.security_id}.{suffix}" for i in sample.instruments]


def parse_speed(text):
    """A command line's --speed: a positive factor of real time, or max (as fast as possible: 0)."""
    if text in ("max", "0"):
        return 0.0
    value = float(text)
    if value <= 0:
        raise argparse.ArgumentTypeError("the speed is a positive factor, or max")
    return value


def load_strategy(source):
    """A strategy from a module name or a .py file: its `Strategy` class, instantiated."""
    if source.endswith(".py") or os.sep in source:
        module_def = importlib.util.spec_from_file_location(os.path.splitext(os.path.basename(source))[0], source)
        if module_def is None:
            raise ImportError(f"cannot load a strategy from {source!r}")
        module = importlib.util.module_from_spec(module_def)
        module_def.loader.exec_module(module)
    else:
        module = importlib.import_module(source)
    if not hasattr(module, "Strategy"):
        raise ImportError(f"{source}: a strategy module defines a class Strategy")
    return module.Strategy()


def make_config(day, account=FUND_ACCOUNT):
    """The live run's configuration object (config.base.*)."""
    monday = day - _dt.timedelta(days=day.weekday())
    week = [np.datetime64(monday + _dt.timedelta(days=i), "D") for i in range(5)]
    return SimpleNamespace(base=SimpleNamespace(
        md_type="AMD", accounts={"stock": f"{account}_sim"}, algo_account=f"{account}_atx",
        trading_calendar=week))


def default_holdings(sample):
    return {i.security_id: (max(100, int(HOLDING_VALUE / i.pre_close) // 100 * 100), i.pre_close)
            for i in sample.instruments}


def recording_meta(sample, universe, strategy, windows):
    """What a replay of this day needs besides the bridge's calls, for the file's header."""
    return {"source": "simulated day", "date": sample.date.isoformat(), "universe": universe,
            "feed_messages": len(sample.records), "lockstep": True, "windows": windows,
            "strategy": strategy_source(strategy)}


def strategy_source(strategy):
    """What load_strategy takes to load this strategy again: its module's name, or its file."""
    if isinstance(strategy, str):
        return strategy
    cls = type(strategy)
    try:
        if importlib.util.find_spec(cls.__module__) is not None:
            return cls.__module__
    except (ImportError, ValueError):
        pass
    for value in vars(cls).values():
        code = getattr(value, "__code__", None)
        if code is not None:
            return code.co_filename
    return None


def _traced(catch_up, trace, engine, gateway):
    def sync():
        trace.before_sync(engine, gateway)
        catch_up()
        trace.after_sync(engine, gateway)

    return sync


class DayResult(SimpleNamespace):
    """engine, gateway, sample, real seconds, and the settings of the run; handover is ferrule.stats() at the
    end and latency_histograms ferrule.latency_histograms() (None unless the day measured latency)."""


def run_day(data=None, speed=0.0, strategy=DEFAULT_STRATEGY, windows=None, cash=1_000_000.0, holdings=None,
            progress=None, progress_every=0.25, record=None, overwrite=False, faults=None, feed_latency=None,
            latency=False, trace=None):
    """Runs the day; progress(engine, gateway) is called about every progress_every real seconds.
    record: a file to record the bridge's calls into (replay it with corvina.lumen.live.replay); an existing
    one raises FileExistsError unless overwrite.
    faults: kinds of pyvela.sim.faults.KINDS for the gateway to inject (None: none).
    feed_latency: a pyvela.sim.FeedLatency: the gateway stamps market data with real exchange time that late;
    the bridge's event times stay on the virtual day (live_clock.follow_stamps). Not with record: a replay
    would read the real stamps as the day's times.
    latency: the bridge measures latency for the day (ferrule.set_latency(True)), then goes back to what it did;
    the result's latency_histograms holds ferrule.latency_histograms() at the end.
    trace: called around each catch-up of the engine, trace.before_sync(engine, gateway) and
    trace.after_sync(engine, gateway), on the gateway's thread (corvina.lumen.live.plot.DayTrace)."""
    from corvina.lumen.utils import ferrule

    if feed_latency is not None and record is not None:
        raise ValueError("a recording of a day with feed latency would replay its real stamps as the day's times")
    sample = load_sample(data)
    universe = universe_of(sample)
    strategy_obj = load_strategy(strategy) if isinstance(strategy, str) else strategy
    clock = VirtualClock(feed.at(sample.date, feed.hms(*START)), speed)
    previous_env = Environment._instance
    Environment.set_instance(Environment(universe))
    restore_clock = live_clock.follow(ferrule, clock)
    queue = ferrule.event_queue
    real_start = time.monotonic()
    recording = False  # only a recording this day started is stopped here
    measuring = ferrule.latency_enabled() if latency else None
    restore_stamps = None
    try:
        if faults:
            faults = Faults(faults, queue_capacity=FAULT_QUEUE)
            if faults.stall is not None:
                ferrule.event_queue = ferrule.RB(capacity=FAULT_QUEUE, dtype=object)
        gateway = SimGateway(sample, clock=clock, end=feed.at(sample.date, feed.hms(*END)), windows=windows,
                             cash=cash, holdings=default_holdings(sample) if holdings is None else holdings,
                             fund_account_id=FUND_ACCOUNT, faults=faults or None, feed_latency=feed_latency)
        if feed_latency is not None:
            restore_stamps = live_clock.follow_stamps(ferrule, lambda: gateway.stamps)
        engine = LiveEngine(ferrule, strategy_obj, universe, gateway.lock, lockstep=True)
        catch_up = engine.wait_caught_up
        engine.discard_stale()
        if latency:
            ferrule.set_latency(True)
        ferrule.reset_stats()  # the summary shows this day's hand-over
        config = make_config(sample.date)
        with gateway.installed():
            vela = ferrule.VelaStrategy(config)
        if record is not None:
            ferrule.start_recording(record, recording_meta(sample, universe, strategy, windows), overwrite=overwrite)
            recording = True
            # Where the engine catches up is marked, with the time, so a replay catches up there too.
            def catch_up():
                ferrule.record_mark("sync", clock.now())
                engine.wait_caught_up()
        gateway.sync = catch_up if trace is None else _traced(catch_up, trace, engine, gateway)
        vela.initialize(config)
        context = ferrule.vela_params["vela_context"]
        # The bridge subscribes to bars; the engine wants the level-2 data too.
        for data_type in (SubscribeDataType.Snapshot, SubscribeDataType.TickOrder, SubscribeDataType.TickTrade):
            context.subscribe(ferrule.vela_params["vela_md"], sample.market_type, data_type, [], "")
        engine.attach(context, list(MarketType))
        engine.start()
        gateway.start()
        try:
            while not gateway.join(progress_every):
                if progress is not None:
                    progress(engine, gateway)
        finally:
            gateway.stop()
            engine.stop()
        return DayResult(engine=engine, gateway=gateway, sample=sample, strategy=strategy_obj, speed=speed,
                         real_seconds=time.monotonic() - real_start, vela=vela, universe=universe,
                         handover=ferrule.stats(), faults=gateway.faults,
                         latency_histograms=ferrule.latency_histograms() if latency else None)
    finally:
        if recording:
            ferrule.stop_recording()
        if measuring is not None:
            ferrule.set_latency(measuring)
        if restore_stamps is not None:
            restore_stamps()
        ferrule.event_queue = queue
        restore_clock()
        Environment.set_instance(previous_env)
