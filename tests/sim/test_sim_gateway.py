"""The simulated gateway as a strategy sees it: one callback at a time, under
the gateway's lock; login and query answers; subscriptions; the day's shape."""
import collections
import datetime as dt
import time

import pytest

from pyvela import strategy as vela_strategy
from pyvela.enums import MDType, MarketType, SubscribeDataType, TDType
from pyvela.sim import FeedLatency, feed
from pyvela.sim.latency import exchange_stamp

WINDOW = [(feed.hms(9, 29), feed.hms(9, 32))]


def test_callbacks_run_one_at_a_time_holding_the_lock_on_the_gateway_or_timer_thread(sim, run, at):
    gw, rec = sim(windows=WINDOW)
    rec.context.add_td_broker(TDType.SIM)
    rec.context.add_timer_interval(60 * 10**9, lambda: rec._record("timer", ()))
    run(gw, rec)
    assert all(c.locked and c.running == 1 for c in rec.calls)
    assert {c.thread for c in rec.calls if c.name != "timer"} == {"pyvela-gateway"}
    assert [(c.thread, c.time) for c in rec.calls if c.name == "timer"] == [("pyvela-timer", at(9, 0))]
    assert [c.time for c in rec.calls] == sorted(c.time for c in rec.calls)
    assert [c.name for c in rec.calls[:3]] == ["on_initialize", "on_switch_day", "on_login"]


@pytest.mark.parametrize("account, code", [("100001", 0), ("nobody", 30001)])
def test_login_then_asset_and_position_answers(sim, run, at, account, code):
    gw, rec = sim(windows=WINDOW)
    rec.context.add_td_broker(TDType.SIM)
    run(gw, rec, [(at(9, 1), lambda: rec.context.query_asset(account)),
                  (at(9, 1), lambda: rec.context.query_position(account))])
    [login] = rec.of("on_login")
    assert (login.fund_account_id, login.error_code) == ("100001", 0)
    [(asset, rid_a, code_a, _)] = rec.of("on_query_asset")
    [(positions, rid_p, code_p, _)] = rec.of("on_query_position")
    assert (code_a, code_p) == (code, code) and rid_a != rid_p
    if code == 0:
        assert asset.total_asset == pytest.approx(asset.leaves_value + asset.frozen_all + asset.market_value)
        assert [(p.security_id, p.leaves_qty, p.available_qty) for p in positions] == [("000001", 1000, 1000)]
        assert type(positions) is list


def test_only_what_is_subscribed_is_delivered(sim, run):
    gw, rec = sim(windows=WINDOW, subscribe=False)
    rec.context.subscribe(MDType.AMD, MarketType.SZSE, SubscribeDataType.Snapshot, ["000001"], "")
    rec.context.subscribe(MDType.AMD, MarketType.SZSE, SubscribeDataType.Bar, [], "1m")
    rec.context.subscribe(MDType.AMD, MarketType.SSE, SubscribeDataType.TickOrder, [], "")
    run(gw, rec)
    names = {c.name for c in rec.calls}
    assert names == {"on_initialize", "on_switch_day", "on_snapshot", "on_bar"}
    assert {s.security_id for s in rec.of("on_snapshot")} == {"000001"}
    assert len({b.security_id for b in rec.of("on_bar")}) == len(gw.sample.instruments)


def test_the_recording_context_stays_the_default():
    strategy = vela_strategy.VelaStrategy()
    strategy.context.add_timer_interval(5, print)
    assert type(strategy.context) is vela_strategy.Context and strategy.context.timers == [(5, print)]


def test_one_gateway_drives_one_strategy(sim):
    gw, _ = sim()
    with gw.installed(), pytest.raises(RuntimeError):
        vela_strategy.VelaStrategy()
    with pytest.raises(RuntimeError):
        type(gw)(gw.sample).start()


def test_a_failing_callback_or_a_malformed_request_is_counted_and_the_day_goes_on(sim, at):
    gw, rec = sim(windows=WINDOW)
    rec.on_bar = lambda bar: 1 / 0
    gw.schedule_at(at(9, 30), lambda: rec.context.cancel_order(["not", "hashable"]))
    gw.run()
    assert gw.error_counts == {"on_bar": gw.delivered["on_bar"], "request cancel_order": 1}
    assert len(gw.errors) == 2 and gw.clock.now() == gw.end and rec.of("on_snapshot")


def test_feed_latency_draws_its_median_and_99th_percentile_repeatably():
    model = FeedLatency(0.02, 0.08, seed=3)
    draws = sorted(model.draw() for _ in range(20_000))
    assert draws[10_000] == pytest.approx(0.02, rel=0.03) and draws[19_800] == pytest.approx(0.08, rel=0.06)
    assert (model.quantile(0.5), model.quantile(0.99)) == (pytest.approx(0.02), pytest.approx(0.08))
    first, again = FeedLatency(0.02, 0.08, seed=3), FeedLatency(0.02, 0.08, seed=3)
    assert [first.draw() for _ in range(5)] == [again.draw() for _ in range(5)]
    assert FeedLatency(0.005, 0.005).draw() == 0.005  # no spread: always the median


@pytest.mark.parametrize("text, expected", [
    ("20ms,80ms", (0.02, 0.08)), ("0.02,0.08", (0.02, 0.08)), ("500us, 2ms", (0.0005, 0.002)),
    ("1s,1.5s", (1.0, 1.5)), ("20µs,1e-4", (2e-05, 0.0001)),
    ("20ms", "not MEDIAN,P99: '20ms'"), ("20ms,80ms,1s", "not MEDIAN,P99"), ("fast,80ms", "not a duration: 'fast'"),
    ("80ms,20ms", "must not be below the median"), ("0,1ms", "must be a positive number"),
    ("-1ms,1ms", "not a duration"),
])
def test_feed_latency_from_the_command_line(text, expected):
    if isinstance(expected, str):
        with pytest.raises(ValueError, match=expected.replace("(", r"\(")):
            FeedLatency.parse(text)
    else:
        model = FeedLatency.parse(text)
        assert (model.median, model.p99) == pytest.approx(expected)


def test_with_feed_latency_market_data_carries_real_exchange_time_that_late(sim):
    assert exchange_stamp(0) == 19700101080000000 and exchange_stamp(1_700_000_000_123) == 20231115061320123
    gw, rec = sim(windows=WINDOW, feed_latency=FeedLatency(0.05, 0.2, seed=1))
    seen = []
    rec.on_bar = lambda bar: seen.append((bar.security_id, bar.end_time, gw.stamps))
    before = time.time()
    gw.run()
    after = time.time()
    assert not gw.errors and gw.stamps is None
    stamps = {"snapshot": [s.orig_time for s in rec.of("on_snapshot")],
              "tick_order": [t.order_time for t in rec.of("on_tick_order")],
              "tick_trade": [t.trade_time for t in rec.of("on_tick_trade")], "bar": [b[1] for b in seen]}
    shanghai = dt.timezone(dt.timedelta(hours=8))
    for kind, kind_stamps in stamps.items():
        assert len(kind_stamps) == len(gw.feed_delays[kind]) == gw.delivered["on_" + kind] > 0
        times = [dt.datetime.strptime(str(s), "%Y%m%d%H%M%S%f").replace(tzinfo=shanghai).timestamp()
                 for s in kind_stamps]
        # a stamp is whole milliseconds: at most 1 ms older than the delay drawn
        assert before - 5 < min(times) and max(times) < after
        assert all(0 < d < 5 for d in gw.feed_delays[kind])
    # the bars of one bar time share their stamp, and the callback sees the sample's beside it
    by_time = collections.defaultdict(set)
    for sid, stamp, (real, sample_stamp) in seen:
        assert real == stamp and sample_stamp % 100_000 == 0  # the sample's bars end on whole minutes
        by_time[sample_stamp].add(stamp)
    assert by_time and all(len(s) == 1 for s in by_time.values())
    assert len(seen) == len(by_time) * len(gw.sample.instruments)
