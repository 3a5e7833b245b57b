"""Sample strategy that sends one of every request the gateway answers, at set
times of the day: a resting order that is cancelled (and cancelled again,
which the gateway refuses), orders the gateway rejects, an order large enough
to fill in parts, and algorithmic (ATX) parent orders that are paused,
resumed and cancelled. Useful to watch every kind of report go through."""
import datetime as dt

from corvina.lumen.const import SIDE


def at(h, m):
    return dt.time(h, m)


class Strategy:
    def init(self, ctx):
        self.codes = ctx.universe
        self.resting = None
        self.parents = {}  # name -> request id
        self.plan = sorted([
            (at(9, 35), self.rest_a_bid), (at(9, 36), self.rejected_orders), (at(9, 40), self.cancel_twice),
            (at(10, 0), self.start_algos), (at(10, 10), self.pause), (at(10, 15), self.resume),
            (at(10, 20), self.cancel_algo), (at(10, 30), self.fill_in_parts),
        ], key=lambda step: step[0])

    def on_tick(self, ctx, tick):
        while self.plan and tick.datetime.time() >= self.plan[0][0]:
            self.plan.pop(0)[1](ctx)

    def _price(self, ctx, code, factor):
        tick = ctx.current_tick(code)
        price = round((tick["last_price"] or tick["prev_close"]) * factor, 2)
        return min(max(price, tick["low_limited"]), tick["high_limited"])

    def rest_a_bid(self, ctx):
        code = self.codes[0]
        self.resting = ctx.buy(code, 500, self._price(ctx, code, 0.97))

    def rejected_orders(self, ctx):
        code = self.codes[0]
        ctx.buy("999999.XSHE", 100, 10.0)                              # unknown instrument
        ctx.buy(code, 0, self._price(ctx, code, 1.0))                   # zero quantity
        ctx.buy(code, 10_000_000, self._price(ctx, code, 1.0))          # not enough cash

    def cancel_twice(self, ctx):
        ctx.cancel(self.resting)
        ctx.cancel(self.resting)  # the second cannot be honoured

    def start_algos(self, ctx):
        now = ctx.now()
        self.parents["buy"] = ctx.algo_order(self.codes[1], SIDE.BUY, 3000, now, now + dt.timedelta(minutes=30))
        self.parents["sell"] = ctx.algo_order(self.codes[2], SIDE.SELL, 1000, now, now + dt.timedelta(hours=1))

    def _parent(self, ctx, name):
        return ctx.parent_id(self.parents.get(name))

    def pause(self, ctx):
        if self._parent(ctx, "buy"):
            ctx.pause_algo(self._parent(ctx, "buy"))

    def resume(self, ctx):
        if self._parent(ctx, "buy"):
            ctx.resume_algo(self._parent(ctx, "buy"))

    def cancel_algo(self, ctx):
        if self._parent(ctx, "sell"):
            ctx.cancel_algo(self._parent(ctx, "sell"))

    def fill_in_parts(self, ctx):
        code = self.codes[3]
        ctx.buy(code, 2000, self._price(ctx, code, 1.004))
