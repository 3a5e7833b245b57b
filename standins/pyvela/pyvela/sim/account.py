"""The simulated gateway's fund account: cash, cash held for open buy orders,
and holdings under the T+1 rule (shares bought today cannot be sold today).

Part of the gateway SDK stand-in."""
from pyvela.messages import AssetRes, PositionEntry


class Holding:
    __slots__ = ("security_id", "market_type", "init_qty", "qty", "available", "cost_price")

    def __init__(self, security_id, market_type, qty=0, cost_price=0.0):
        self.security_id, self.market_type = security_id, market_type
        self.init_qty = self.qty = self.available = qty
        self.cost_price = cost_price

    def __repr__(self):
        return f"Holding({self.security_id!r}, qty={self.qty}, available={self.available})"


class SimAccount:
    def __init__(self, fund_account_id, cash, market_type, holdings=None):
        """holdings: {security_id: (quantity, cost price)} held since yesterday."""
        self.fund_account_id = fund_account_id
        self.market_type = market_type
        self.init_cash = self.cash = round(float(cash), 2)
        self.frozen = 0.0
        self.holdings = {sid: Holding(sid, market_type, qty, cost) for sid, (qty, cost) in (holdings or {}).items()}

    @property
    def available_cash(self):
        return round(self.cash - self.frozen, 2)

    def holding(self, security_id):
        if security_id not in self.holdings:
            self.holdings[security_id] = Holding(security_id, self.market_type)
        return self.holdings[security_id]

    def sellable(self, security_id):
        h = self.holdings.get(security_id)
        return h.available if h else 0

    def freeze(self, value):
        self.frozen = round(self.frozen + value, 2)

    def unfreeze(self, value):
        self.frozen = max(0.0, round(self.frozen - value, 2))

    def hold_shares(self, security_id, qty):
        self.holding(security_id).available -= qty

    def release_shares(self, security_id, qty):
        self.holding(security_id).available += qty

    def buy_fill(self, security_id, qty, price, frozen_release):
        h = self.holding(security_id)
        cost = h.cost_price * h.qty + price * qty
        h.qty += qty  # not available before tomorrow
        h.cost_price = round(cost / h.qty, 4)
        self.unfreeze(frozen_release)
        self.cash = round(self.cash - price * qty, 2)

    def sell_fill(self, security_id, qty, price):
        # The shares left `available` when the order was accepted.
        self.holding(security_id).qty -= qty
        self.cash = round(self.cash + price * qty, 2)

    def market_value(self, prices):
        return round(sum(h.qty * prices.get(h.security_id, h.cost_price) for h in self.holdings.values()), 2)

    def asset_res(self, prices):
        mv = self.market_value(prices)
        return AssetRes(fund_account_id=self.fund_account_id, leaves_value=self.available_cash,
                        available_t1=self.available_cash, frozen_all=self.frozen, market_value=mv,
                        total_asset=round(self.cash + mv, 2), init_leaves_value=self.init_cash)

    def position_res(self, prices):
        out = []
        for h in self.holdings.values():
            if h.qty == 0 and h.init_qty == 0:
                continue
            last = prices.get(h.security_id, h.cost_price)
            out.append(PositionEntry(
                security_id=h.security_id, market_id=h.market_type, init_qty=h.init_qty, leaves_qty=h.qty,
                available_qty=h.available, cost_price=h.cost_price, last_price=last,
                market_value=round(h.qty * last, 2), profit_loss=round(h.qty * (last - h.cost_price), 2)))
        return out
