"""A simulated trading day end to end: the bridge between the simulated
gateway and the engine's live-run side, on a shortened day (market data for
parts of the day only; the clock, the timers and the orders run through it all)."""
import collections
import logging
import os
import re
import shutil
import subprocess
import sys
import threading
import time
from types import SimpleNamespace

import pytest
from numpy_ringbuffer import RingBuffer

from corvina.lumen.core.events import EVENT, Event
from corvina.lumen.live import report, run_day
from corvina.lumen.live.engine import FINAL_STATUSES, TRACEBACKS_SHOWN, LiveEngine
from corvina.lumen.live.report import PROBLEMS_SHOWN, handover_checks
from corvina.lumen.utils import ferrule
from corvina.lumen.utils.datetime_func import convert_int_to_datetime
from pyvela.sim import FeedLatency, ParentStatus, SimGateway, feed

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SHORT_DAY = [(feed.hms(9, 14), feed.hms(10, 21)), (feed.hms(14, 45), feed.hms(15, 0))]
STRATEGIES = ["corvina.lumen.live.strategies.breakout", "corvina.lumen.live.strategies.tour"]


@pytest.fixture(scope="module", params=STRATEGIES, ids=lambda s: s.rsplit(".", 1)[-1])
def day(request):
    return run_day(strategy=request.param, windows=SHORT_DAY)


def test_nothing_failed_and_orders_were_sent(day):
    assert not day.engine.errors and not day.gateway.errors and not day.gateway.timers.errors
    assert day.engine.orders and day.engine.login.code == 0 and day.engine.account.start_equity


def test_every_order_reaches_a_final_state(day):
    assert all(o.status in FINAL_STATUSES for o in day.engine.orders.values())
    assert all(o.status.name in ("Filled", "Cancelled", "PartiallyFilledPartiallyCancelled", "Reject")
               for o in day.gateway.matcher.orders.values())
    assert all(p.status in (ParentStatus.Finished, ParentStatus.Cancelled, ParentStatus.Expired)
               for p in day.engine.parents.values())


def test_every_fill_of_the_gateway_appears_once_as_a_trade_event(day):
    log = day.gateway.matcher.fills
    assert collections.Counter((f.client_order_id, f.qty, f.price) for f in log if f.kind == "order") == \
        collections.Counter((o.client_order_id, t.amount, t.price) for t, o in day.engine.trades)
    assert collections.Counter((f.client_order_id, f.qty, f.price) for f in log if f.kind == "child") == \
        collections.Counter((t.child_sys_quote_id, t.trade_qty, t.trade_price) for _, _, t in day.engine.child_trades)
    assert day.engine.counts[EVENT.TRADE] == len(day.engine.trades)


def test_the_query_functions_return_the_last_snapshot_and_bar_of_each_instrument(day):
    last = day.gateway.last_feed
    for code in day.universe:
        sid = code.split(".")[0]
        snap, tick = last["snapshot", sid], ferrule.get_current_tick(code)
        assert tick["datetime"] == convert_int_to_datetime(snap.orig_time / 1000)
        assert (tick["last_price"], tick["volume"], tick["asks"], tick["bid_vols"]) == \
            (snap.last_price, snap.total_volume_trade, snap.ask_price, snap.bid_volume)
        assert ferrule.history_ticks(code, 1)[-1] is tick
        bar = last["bar", sid]
        assert ferrule.get_current_bar(code)["orig_time"] == convert_int_to_datetime(bar.end_time / 1000)
        assert ferrule.get_current_bar(code)["close_price"] == bar.close
        assert len(ferrule.history_bars(code, 0)) == day.gateway.delivered["on_bar"] // len(day.universe)


def test_each_callback_publishes_its_event(day):
    counts, delivered = day.engine.counts, day.gateway.delivered
    assert counts[EVENT.TICK] == delivered["on_snapshot"] > 0
    assert counts[EVENT.L2_ORDER] == delivered["on_tick_order"] > 0
    assert counts[EVENT.L2_TRANSACTION] == delivered["on_tick_trade"] > 0
    assert counts[EVENT.BAR] == delivered["on_bar"] // len(day.universe) > 0


def test_the_day_events_come_in_order_around_the_market_data(day):
    e = day.engine
    assert [(k, dt.strftime("%H:%M:%S")) for k, dt in e.day_events] == [
        (EVENT.BEFORE_TRADING, "09:00:00"), (EVENT.OPEN_AUCTION, "09:24:00"), (EVENT.AFTER_TRADING, "15:30:00")]
    assert e.last_index[EVENT.BEFORE_TRADING] < e.first_index[EVENT.TICK]
    assert e.first_index[EVENT.AFTER_TRADING] > max(e.last_index.get(k, -1) for k in EVENT if k != EVENT.AFTER_TRADING)
    assert e.time_regressions == 0


def test_nothing_is_left_in_orders_dict_after_the_close_and_the_bridge_found_every_order(day):
    assert not ferrule.orders_dict
    assert all(o.status.name != "PENDING_NEW" for o in day.engine.orders.values())


def test_the_engines_account_ends_where_the_gateways_does(day):
    gw, acct = day.gateway.account, day.engine.account
    assert acct.cash == pytest.approx(gw.cash, abs=0.01)
    assert {c.split(".")[0]: h.quantity for c, h in acct.holdings.items() if h.quantity} == \
        {sid: h.qty for sid, h in gw.holdings.items() if h.qty}
    gateway_equity = gw.cash + gw.market_value(day.gateway.prices())
    assert acct.equity == pytest.approx(gateway_equity, abs=0.01)


@pytest.fixture(scope="module")
def faulty_day(day):
    """The same day with every fault injected, and the engine's warnings."""
    warnings = []
    handler = logging.Handler(logging.WARNING)
    handler.emit = warnings.append
    logger = logging.getLogger("corvina.live")
    logger.addHandler(handler)
    try:
        result = run_day(strategy=type(day.strategy).__module__, windows=SHORT_DAY, faults="all")
    finally:
        logger.removeHandler(handler)
    result.warnings = [r.getMessage() for r in warnings]
    return result


def end_state(day):
    e = day.engine
    sent = {cid: i for i, cid in enumerate(e.orders)}  # ids differ between runs, the send order does not
    return ([(sent[o.client_order_id], t.amount, t.price) for t, o in e.trades],
            [(code, side, t.trade_qty, t.trade_price) for code, side, t in e.child_trades],
            [(o.status, o.filled_quantity, o.avg_price) for o in e.orders.values()],
            {c: (h.quantity, h.sellable) for c, h in e.account.holdings.items()}, e.account.cash)


def test_injected_faults_are_counted_exactly_and_change_nothing_of_the_day(day, faulty_day):
    f, counted = faulty_day.faults, faulty_day.handover
    checks = handover_checks(faulty_day)
    assert [counted == injected for _, counted, injected in checks] == [True] * 3, checks
    assert f.injected["resent"] and f.injected["unknown"] and counted["overwritten"] == 250
    assert f.stall.others == 0  # the stall saw market data only, so the overflow figure is exact
    assert end_state(faulty_day) == end_state(day)
    # the lost events are call-auction market data; the engine drained the rest
    e = faulty_day.engine
    lost = sum(day.engine.counts.values()) - sum(e.counts.values())
    assert lost == counted["overwritten"] and e.drained == sum(counted["published"].values()) - lost
    assert {k for k in EVENT if e.counts[k] != day.engine.counts[k]} <= {EVENT.TICK, EVENT.L2_ORDER,
                                                                           EVENT.L2_TRANSACTION}
    assert (e.capacity, e.high_water, day.engine.capacity) == (1000, 1000, 1_000_000)
    assert len(faulty_day.warnings) == 1 and "250 events were overwritten" in faulty_day.warnings[0]
    assert ferrule.event_queue.maxlen == 1_000_000  # the small queue was for that run only
    # without faults nothing was lost, repeated or unknown, and the engine drained everything
    normal = day.handover
    assert [normal[k] for k in ("overwritten", "repeated_fills", "unknown_orders")] == [0, 0, 0]
    assert day.engine.drained == sum(normal["published"].values()) == sum(day.engine.counts.values())


ERROR = 1 / 64  # a latency bucket's width relative to its lower bound


@pytest.fixture(scope="module")
def latency_day(day):
    """The same day with feed latency, measured, and each market-data delivery timed: (kind, its age when
    stamped, that plus the time from before the stamp to the callback's return). The bridge reads the
    clock between the two, so its age of the message lies within them, however loaded the machine."""
    timed = []
    deliver = SimGateway.deliver

    def timing(gateway, name, *args, before=None):
        if before is None:
            return deliver(gateway, name, *args)
        t0 = time.time_ns()
        deliver(gateway, name, *args, before=before)
        kind = name[3:]
        age = gateway.feed_delays[kind][-1]
        timed.append((kind, age, age + (time.time_ns() - t0) / 1e9))

    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(SimGateway, "deliver", timing)
        result = run_day(strategy=type(day.strategy).__module__, windows=SHORT_DAY, latency=True,
                         feed_latency=FeedLatency(0.02, 0.08, seed=11))
    result.timed = timed
    return result


def test_feed_latency_changes_nothing_of_the_day(day, latency_day):
    assert not latency_day.engine.errors and not latency_day.gateway.errors
    assert end_state(latency_day) == end_state(day)
    assert latency_day.engine.counts == day.engine.counts and latency_day.engine.day_events == day.engine.day_events
    assert latency_day.engine.time_regressions == 0
    # the stamps were real ones, and the bridge's records still tell the virtual time
    for code in latency_day.universe:
        snap = latency_day.gateway.last_feed["snapshot", code.split(".")[0]]
        assert snap.orig_time // 10**9 >= int(time.strftime("%Y%m%d", time.gmtime(time.time() - 86400)))
        assert ferrule.get_current_tick(code)["datetime"].date() == latency_day.sample.date
    assert ferrule.convert_int_to_datetime is convert_int_to_datetime and not ferrule.latency_enabled()


def test_the_bridge_finds_the_delays_drawn(latency_day):
    ages = latency_day.handover["latency"]["ages"]
    for kind in ("snapshot", "tick_order", "tick_trade", "bar"):
        low = sorted(lo for k, lo, _ in latency_day.timed if k == kind)
        high = sorted(hi for k, _, hi in latency_day.timed if k == kind)
        row = ages[kind]
        assert (row["count"], row["negative"], row["unstamped"]) == (len(low), 0, 0), kind
        for q in ("p50", "p90", "p99"):
            rank = max(1, -(-len(low) * int(q[1:]) // 100))  # the bridge's: ceil(q * count)
            assert low[rank - 1] * (1 - ERROR) <= row[q] <= high[rank - 1] * (1 + ERROR), (kind, q)
        assert low[-1] * (1 - ERROR) <= row["max"] <= high[-1] * (1 + ERROR)
        if len(low) > 1000:  # the model's figures; a stamp's whole milliseconds add up to 1 ms
            assert 0.02 * 0.95 <= low[len(low) // 2] <= 0.02 * 1.05 + 0.001, kind
            assert 0.08 * 0.9 <= low[len(low) * 99 // 100] <= 0.08 * 1.1 + 0.001, kind
    calls = latency_day.handover["latency"]["callbacks"]
    assert calls["on_snapshot"]["count"] == latency_day.gateway.delivered["on_snapshot"]
    assert latency_day.latency_histograms["ages"]["bar"]["count"] == ages["bar"]["count"]


@pytest.mark.parametrize("seconds, text", [
    (None, "-"), (0, "0 s"), (4.2e-8, "42.0 ns"), (3.6e-5, "36.0 µs"), (9.9996e-4, "1.00 ms"), (0.0245, "24.5 ms"),
    (0.1, "100 ms"), (1.234, "1.23 s"), (119.96, "2.00 min"), (10_800, "3.00 h"), (6.65e7, "770 d"),
    (-0.002, "-2.00 ms"),
])
def test_latency_reads_in_units_at_a_glance(seconds, text):
    assert report.duration(seconds) == text


class _Counting:
    def __init__(self):
        self.seen = []

    def on_tick(self, ctx, tick):
        self.seen.append(tick)


@pytest.mark.parametrize("producers, lockstep, sync", [(1, False, "wait_caught_up"), (3, False, "wait_caught_up"),
                                                     (3, True, "wait_caught_up"), (3, True, "catch_up_here"),
                                                     (1, False, "catch_up_here")])
def test_the_engine_has_handled_everything_published_before_its_sync_returns(producers, lockstep, sync):
    lock = threading.Lock()
    fake = SimpleNamespace(event_queue=RingBuffer(capacity=1000, dtype=object))
    strategy = _Counting()
    engine = LiveEngine(fake, strategy, [], lock, lockstep=lockstep)
    engine.start()
    tick = SimpleNamespace(market_code="X", last_price=1.0)

    def produce():
        for _ in range(300):
            with lock:  # as the gateway does around each callback
                fake.event_queue.append(Event(EVENT.TICK, tick=tick))

    for round_ in range(1, 4):
        threads = [threading.Thread(target=produce) for _ in range(producers)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        getattr(engine, sync)()
        assert len(strategy.seen) == 300 * producers * round_
    engine.stop()
    assert not engine.errors


@pytest.mark.parametrize("faults", [[], ["--faults"]])
def test_the_main_job_prints_a_summary_and_exits_0(faults):
    out = subprocess.run([sys.executable, "-m", "corvina.lumen.live", "--quiet", "--window", "09:29-09:45",
                          "--window", "14:49-15:00", *faults], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    for heading in ("Day events:", "Events by type:", "Orders:", "Fills:", "Positions:", "Cash:", "P&L:",
                    "Hand-over:", "Latency:", "  callback time", "    on_snapshot", "  message age"):
        assert heading in out.stdout
    assert "Problems:" not in out.stdout and "MISMATCH" not in out.stdout
    assert ("Faults injected" in out.stdout) == bool(faults)
    assert "    on_algo_parent_order_update" not in out.stdout  # never called: no row


def test_the_main_job_draws_the_day_with_feed_latency(tmp_path):
    pytest.importorskip("matplotlib", reason="--plot needs matplotlib")
    picture = tmp_path / "day.png"
    out = subprocess.run([sys.executable, "-m", "corvina.lumen.live", "--quiet", "--window", "09:29-09:45",
                          "--feed-latency", "20ms,80ms", "--plot", str(picture)], capture_output=True, text=True,
                         timeout=300)
    assert out.returncode == 0, out.stderr
    ages = out.stdout.split("  message age")[1].splitlines()[1:5]
    assert [line.split()[0] for line in ages] == ["snapshot", "tick_order", "tick_trade", "bar"]
    assert all(re.fullmatch(r"\s+\w+\s+[\d,]+(\s+[\d.]+ m?s){3}", line) for line in ages), ages
    assert picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and picture.stat().st_size > 50_000
    assert out.stdout.rstrip().endswith(f"Picture of the day: {picture}")


FAILING = """
class Strategy:
    def on_tick(self, ctx, tick):
        return 1 / 0

    def on_bar(self, ctx, dt):
        raise KeyError(f"{dt:%H:%M}")
"""


def test_a_strategy_failing_on_every_event_does_not_flood_the_output(tmp_path):
    (tmp_path / "failing.py").write_text(FAILING)
    out = subprocess.run([sys.executable, "-m", "corvina.lumen.live", "--quiet", "--strategy", str(tmp_path / "failing.py"),
                          "--window", "09:30-09:35"], capture_output=True, text=True, timeout=120)
    assert out.returncode == 1
    # The first few in full, then one line for the next kind.
    assert out.stderr.count("Traceback") == TRACEBACKS_SHOWN
    assert [line for line in out.stderr.splitlines() if "traceback not shown" in line] == [
        "strategy on_bar failed: KeyError: '09:31' (traceback not shown; the summary counts these failures)"]
    problems = out.stdout.split("Problems:\n")[1].splitlines()
    assert re.fullmatch(r"  engine: strategy.on_tick: ZeroDivisionError: division by zero \([\d,]+ times\)", problems[0])
    assert problems[1:] == [f"  engine: strategy.on_bar: KeyError: '09:{m}'" for m in range(31, 36)]


def test_the_problem_list_groups_identical_problems_and_stops_at_a_limit():
    tb = "Traceback (most recent call last):\n  ...\n{}\n"
    engine = SimpleNamespace(errors=[("strategy.on_tick", tb.format("ValueError: x"))] * 3 +
                             [("strategy.on_bar", tb.format(f"KeyError: {i}")) for i in range(PROBLEMS_SHOWN + 2)])
    gateway = SimpleNamespace(error_counts={"on_snapshot": 7}, timers=SimpleNamespace(errors=[(0, "t", OSError("e"))]))
    assert report._problems(engine, gateway) == [
        "  gateway: on_snapshot failed (7 times)", "  engine: strategy.on_tick: ValueError: x (3 times)",
        *[f"  engine: strategy.on_bar: KeyError: {i}" for i in range(PROBLEMS_SHOWN - 2)],
        "  ... and 5 more kinds (5 times)"]


def test_run_day_help_needs_no_set_up(tmp_path):
    (tmp_path / "scripts").mkdir()
    shutil.copy(os.path.join(ROOT, "scripts", "run-day.sh"), tmp_path / "scripts")
    (tmp_path / "scripts" / "setup.sh").write_text('#!/bin/sh\ntouch "$(dirname "$0")/was-run"\n')
    (tmp_path / ".venv" / "bin").mkdir(parents=True)
    (tmp_path / ".venv" / "bin" / "python").write_text(f'#!/bin/sh\nexec "{sys.executable}" "$@"\n')
    for script in (tmp_path / "scripts" / "setup.sh", tmp_path / ".venv" / "bin" / "python"):
        script.chmod(0o755)
    out = subprocess.run(["bash", str(tmp_path / "scripts" / "run-day.sh"), "--help"], capture_output=True, text=True,
                         timeout=60)
    assert out.returncode == 0 and out.stdout.startswith("usage:")
    assert not (tmp_path / "scripts" / "was-run").exists()


@pytest.mark.parametrize("args, message", [
    (["--speed", "-3"], "argument --speed: the speed is a positive factor, or max"),
    (["--window", "10:00-09:00"], "argument --window: the window '10:00-09:00' ends before it starts"),
    (["--strategy", "no.such.module"], "--strategy no.such.module: No module named 'no'"),
    (["--record", "/no/such/folder/day.rec"], "--record /no/such/folder/day.rec: no such folder"),
    (["--faults", "resend,bogus"],
     "argument --faults: faults: bogus; choose from all, resend, cancel-match, unknown, overflow"),
    (["--feed-latency", "80ms,20ms"],
     "argument --feed-latency: the 99th percentile (0.02 s) must not be below the median (0.08 s)"),
    (["--feed-latency", "20ms,80ms", "--record", "day.rec"],
     "--feed-latency and --record: a replay would take the real stamps for the day's times"),
    (["--plot", "/no/such/folder/day.png"], "--plot /no/such/folder/day.png: no such folder"),
])
def test_the_main_job_refuses_bad_options(args, message):
    """As a usage error: status 2 and the reason on the last line, before anything runs."""
    out = subprocess.run([sys.executable, "-m", "corvina.lumen.live", "--quiet", *args],
                         capture_output=True, text=True, timeout=300)
    assert (out.returncode, out.stdout) == (2, "")
    assert out.stderr.splitlines()[-1] == f"python -m corvina.lumen.live: error: {message}", out.stderr
