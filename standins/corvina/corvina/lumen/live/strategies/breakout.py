"""Sample strategy: buys an instrument when it trades above the high of its
first ten minutes of continuous trading, and sells as many shares before the
close.

Shares bought today can only be sold tomorrow (T+1), so the sale comes out of
the shares held since yesterday: the holding ends the day where it began and
the round trip's profit or loss is realised today."""
import datetime as dt

from corvina.lumen.live.engine import FINAL_STATUSES

RANGE = (dt.time(9, 30), dt.time(9, 40))
EXIT = dt.time(14, 50)
BUDGET = 100_000.0
ENTRY_PATIENCE = dt.timedelta(seconds=30)  # what the entry has not filled by then is cancelled
SLIPPAGE = 0.003  # limit prices this far through the touch, so the orders trade at once


def _limit(price, tick, up):
    bound = tick["high_limited"] if up else tick["low_limited"]
    p = round(price * (1 + SLIPPAGE) if up else price * (1 - SLIPPAGE), 2)
    return min(p, bound) if up else max(p, bound)


class Strategy:
    def init(self, ctx):
        self.high = {}
        self.entries = {}  # market_code -> (order, sent at)
        self.exits = {}
        self.cancel_sent = set()

    def on_tick(self, ctx, tick):
        code, t, last = tick.market_code, tick.datetime, tick.last_price
        if not last:
            return
        if RANGE[0] <= t.time() < RANGE[1]:
            self.high[code] = max(self.high.get(code, 0.0), last)
        elif t.time() < RANGE[0] or code not in self.high:
            return
        elif t.time() < EXIT:
            self._enter(ctx, code, t, last)
        else:
            self._exit(ctx, code)

    def _enter(self, ctx, code, t, last):
        if code in self.entries:
            order, sent = self.entries[code]
            if t - sent >= ENTRY_PATIENCE:
                self._cancel(ctx, order)
            return
        if last <= self.high[code]:
            return
        tick = ctx.current_tick(code)
        ask = tick["asks"][0] or last
        qty = int(BUDGET / ask) // 100 * 100
        if qty and (ctx.account.cash or 0) >= qty * ask * (1 + SLIPPAGE):
            ctx.log(f"{code} broke out above {self.high[code]} at {last}: buying {qty}")
            self.entries[code] = (ctx.buy(code, qty, _limit(ask, tick, up=True)), t)

    def _exit(self, ctx, code):
        if code in self.exits or code not in self.entries:
            return
        entry, _ = self.entries[code]
        if entry.status not in FINAL_STATUSES:
            self._cancel(ctx, entry)
            return
        holding = ctx.account.holdings.get(code)
        qty = min(entry.filled_quantity, holding.sellable if holding else 0)
        if qty <= 0:
            self.exits[code] = None
            return
        tick = ctx.current_tick(code)
        bid = tick["bids"][0] or tick["last_price"]
        ctx.log(f"{code}: selling {qty} before the close")
        self.exits[code] = ctx.sell(code, qty, _limit(bid, tick, up=False))

    def _cancel(self, ctx, order):
        if order.status not in FINAL_STATUSES and order.client_order_id not in self.cancel_sent:
            self.cancel_sent.add(order.client_order_id)
            ctx.cancel(order)
