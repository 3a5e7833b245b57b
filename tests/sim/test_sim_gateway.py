"""The simulated gateway as a strategy sees it: one callback at a time, under
the gateway's lock; login and query answers; subscriptions; the day's shape."""
import pytest

from pyvela import strategy as vela_strategy
from pyvela.enums import MDType, MarketType, SubscribeDataType, TDType
from pyvela.sim import feed

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
