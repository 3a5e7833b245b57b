"""The engine's view of the fund account during a live run: cash and holdings
as the gateway reported them at login, moved on by every fill.

Part of the stand-in for the engine's live-run side."""
from corvina.lumen.const import SIDE


class Holding:
    __slots__ = ("market_code", "quantity", "sellable", "avg_price", "last_price")

    def __init__(self, market_code, quantity=0, sellable=0, avg_price=0.0, last_price=0.0):
        self.market_code, self.quantity, self.sellable = market_code, quantity, sellable
        self.avg_price, self.last_price = avg_price, last_price

    @property
    def market_value(self):
        return self.quantity * self.last_price

    def __repr__(self):
        return f"Holding({self.market_code!r}, {self.quantity}, sellable={self.sellable})"


class LiveAccount:
    def __init__(self):
        self.account_id = None
        self.cash = None            # total cash, including what open buy orders hold
        self.start_equity = None    # total assets at the first answer of the day
        self.holdings = {}

    def holding(self, market_code):
        if market_code not in self.holdings:
            self.holdings[market_code] = Holding(market_code)
        return self.holdings[market_code]

    def apply_asset(self, asset):
        self.account_id = asset.fund_account_id
        self.cash = round(asset.leaves_value + asset.frozen_all, 2)
        if self.start_equity is None:
            self.start_equity = asset.total_asset

    def apply_positions(self, positions):
        # An answer lists every holding: what it leaves out is gone.
        self.holdings = {}
        for p in positions:
            self.holdings[p.market_code] = Holding(p.market_code, p.quantity, p.available_qty, p.avg_price,
                                                   p.last_price)

    def apply_fill(self, market_code, side, quantity, price):
        h = self.holding(market_code)
        if side == SIDE.BUY:
            cost = h.avg_price * h.quantity + price * quantity
            h.quantity += quantity  # sellable tomorrow
            h.avg_price = cost / h.quantity
            self.cash = round((self.cash or 0.0) - price * quantity, 2)
        else:
            h.quantity -= quantity
            h.sellable -= quantity
            self.cash = round((self.cash or 0.0) + price * quantity, 2)
        h.last_price = h.last_price or price

    def mark(self, market_code, price):
        if price and market_code in self.holdings:
            self.holdings[market_code].last_price = price

    @property
    def market_value(self):
        # A copy first: the progress line reads this while the engine's thread may add a holding.
        return sum(h.market_value for h in list(self.holdings.values()))

    @property
    def equity(self):
        return (self.cash or 0.0) + self.market_value

    @property
    def pnl(self):
        return self.equity - self.start_equity if self.start_equity is not None else 0.0
