"""Order entry on the simulated gateway: checks, reports, fills, cancels and
the account behind them, seen through a strategy that records every callback.
Each group of cases shares one simulated day; each case is its own order."""
import pytest

from sim_support import hm, make_sim, run_day
from pyvela.enums import MarketType, OrderStatusType as S
from pyvela.sim import Side
from pyvela.sim import feed
from pyvela.sim import matching as M

SZ = MarketType.SZSE
WINDOW = [(feed.hms(9, 59), feed.hms(10, 30))]
FINAL = {S.Filled, S.Cancelled, S.PartiallyFilledPartiallyCancelled, S.Reject}


def reports(rec, cid):
    return [r for r in rec.of("on_order") if r.client_order_id == cid]


def send(gw, rec, cid, sid, side, qty, factor=1.0, market=SZ, price=None):
    def request():
        p = price if price is not None else round(gw.replay.books[sid].reference_price() * factor, 2)
        rec.context.insert_order(cid, sid, market, side, p, qty)
    return request


REJECTS = [
    ((10, 0), "999999", SZ, Side.Buy, 100, 10.0, M.UNKNOWN_INSTRUMENT),
    ((10, 0), "000001", MarketType.SSE, Side.Buy, 100, 10.5, M.UNKNOWN_INSTRUMENT),
    ((10, 0), "000001", SZ, Side.Buy, 0, 10.5, M.BAD_QUANTITY),
    ((10, 0), "000001", SZ, Side.Sell, -100, 10.5, M.BAD_QUANTITY),
    ((10, 0), "000001", SZ, Side.Buy, 150, 10.5, M.ODD_LOT),
    ((10, 0), "000001", SZ, Side.Buy, 100, 0.0, M.BAD_PRICE),
    ((10, 0), "000001", SZ, Side.Buy, 100, float("nan"), M.BAD_PRICE),
    ((10, 0), "000001", SZ, 3, 100, 10.5, M.BAD_SIDE),
    ((10, 0), "000001", SZ, Side.Buy, 100, 99.0, M.OUTSIDE_LIMITS),
    ((10, 0), "000001", SZ, Side.Buy, 1_000_000, 10.5, M.NO_CASH),
    ((10, 0), "000001", SZ, Side.Sell, 1100, 10.5, M.NO_POSITION),
    ((10, 0), "000858", SZ, Side.Sell, 100, 142.0, M.NO_POSITION),
    ((9, 0), "000001", SZ, Side.Buy, 100, 10.5, M.MARKET_CLOSED),
    ((15, 10), "000001", SZ, Side.Buy, 100, 10.5, M.MARKET_CLOSED),
]


@pytest.fixture(scope="module")
def rejects(sample):
    gw, rec = make_sim(sample, windows=WINDOW)
    plan = [(hm(sample.date, *when), send(gw, rec, cid, sid, side, qty, market=market, price=price))
            for cid, (when, sid, market, side, qty, price, _) in enumerate(REJECTS, 1)]
    return gw, run_day(gw, rec, plan)


@pytest.mark.parametrize("cid, case", list(enumerate(REJECTS, 1)), ids=[c[-1][1] for c in REJECTS])
def test_invalid_orders_are_rejected_with_their_code(rejects, cid, case):
    gw, rec = rejects
    [report] = reports(rec, cid)
    assert report.order_status == S.Reject and (report.error_code, report.error_msg) == case[-1]
    assert report.counter_order_id == 0 and report.trade_qty == report.frozen_trade_value == 0


def test_rejected_orders_leave_the_account_alone(rejects):
    gw, _ = rejects
    acct = gw.account
    assert (acct.cash, acct.frozen, acct.sellable("000001")) == (acct.init_cash, 0.0, 1000)
    assert not gw.matcher.fills


FILLS = [("000001", Side.Buy, 500, 1.01), ("000001", Side.Buy, 20_000, 1.02), ("000001", Side.Sell, 1000, 0.98),
         ("300750", Side.Buy, 300, 1.01), ("002415", Side.Buy, 2000, 0.97), ("000858", Side.Buy, 100, 1.01)]


@pytest.fixture(scope="module")
def fills(sample):
    gw, rec = make_sim(sample, windows=WINDOW, cash=500_000.0)
    plan = [(hm(sample.date, 10, 0), send(gw, rec, cid, sid, side, qty, factor))
            for cid, (sid, side, qty, factor) in enumerate(FILLS, 1)]
    return gw, run_day(gw, rec, plan)


@pytest.mark.parametrize("cid, case", list(enumerate(FILLS, 1)))
def test_reports_carry_each_match_once_and_cumulative_figures_that_add_up(fills, cid, case):
    gw, rec = fills
    side = case[1]
    rs = reports(rec, cid)
    assert [(r.order_status, r.counter_order_id > 0) for r in rs[:2]] == [(S.UnSend, False), (S.Sended, True)]
    assert rs[-1].order_status in FINAL and all(r.order_status not in FINAL for r in rs[:-1])
    filled, value = 0, 0.0
    for r in rs:
        if r.last_match_qty:
            assert r.order_status in (S.PartiallyFilled, S.Filled)
            filled, value = filled + r.last_match_qty, round(value + r.last_match_qty * r.last_match_price, 2)
            assert (r.last_match_price <= r.order_price) if side == Side.Buy else (r.last_match_price >= r.order_price)
        assert (r.trade_qty, r.total_trade_value) == (filled, value) and r.trade_qty <= r.order_qty
    assert rs[-1].frozen_trade_value == 0
    if (side == Side.Buy) == (case[3] > 1):  # priced through the touch: trades at once
        assert filled > 0
    assert sum(f.qty for f in gw.matcher.fills if f.client_order_id == cid) == filled


def test_the_account_moves_by_the_fills_and_bought_shares_wait_a_day(fills):
    gw, _ = fills
    acct, flow, held = gw.account, 0.0, {"000001": 1000}
    for f in gw.matcher.fills:
        sign = 1 if f.side == Side.Buy else -1
        flow += sign * f.qty * f.price
        held[f.security_id] = held.get(f.security_id, 0) + sign * f.qty
    assert acct.frozen == 0 and acct.cash == pytest.approx(500_000.0 - flow, abs=0.01)
    assert {sid: h.qty for sid, h in acct.holdings.items() if h.qty} == {k: v for k, v in held.items() if v}
    assert all(h.available == h.init_qty - sum(f.qty for f in gw.matcher.fills
                                               if f.security_id == sid and f.side == Side.Sell)
               for sid, h in acct.holdings.items())


def test_cancel_is_pending_then_done_and_refusals_go_to_the_action_error_callback(sim, at):
    gw, rec = sim(windows=WINDOW)
    cancel = lambda cid: lambda: rec.context.cancel_order(cid)  # noqa: E731
    run_day(gw, rec, [(at(10, 0), send(gw, rec, 5, "000001", Side.Buy, 500, 0.95)),
                      (at(10, 0), send(gw, rec, 6, "000001", Side.Sell, 400, 1.05)),
                      (at(10, 1), cancel(5)), (at(10, 1), cancel(5)), (at(10, 2), cancel(5)), (at(10, 2), cancel(99))])
    assert [r.order_status for r in reports(rec, 5)] == [S.UnSend, S.Sended, S.WaitCancelled, S.Cancelled]
    assert all(r.last_match_qty == 0 for r in reports(rec, 5))
    errors = [(e.client_order_id, e.error_code) for e in rec.of("on_order_action_error")]
    assert errors == [(5, M.CANCEL_PENDING[0]), (5, M.ORDER_DONE[0]), (99, M.UNKNOWN_ORDER[0])]
    # The resting sell is ended by the close, and what both held comes back.
    closing = [c for c in rec.calls if c.name == "on_order" and c.args[0].client_order_id == 6][-1]
    assert closing.args[0].order_status == S.Cancelled and closing.time == at(15, 0)
    assert gw.account.frozen == 0 and gw.account.sellable("000001") == 1000
    assert gw.account.cash == gw.account.init_cash
