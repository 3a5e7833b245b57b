"""Stand-in for the engine's trade."""
import itertools

_ids = itertools.count(1)


class Trade:
    __slots__ = ("trade_id", "order_id", "price", "amount", "side", "position_effect", "market_code", "frozen_price")

    @classmethod
    def __from_create__(cls, *, order_id, price, amount, side, position_effect, market_code, frozen_price):
        t = cls.__new__(cls)
        t.trade_id = next(_ids)
        t.order_id, t.price, t.amount, t.side = order_id, price, amount, side
        t.position_effect, t.market_code, t.frozen_price = position_effect, market_code, frozen_price
        return t

    def __repr__(self):
        return f"Trade({self.trade_id}, order={self.order_id!r}, {self.market_code}, {self.amount}@{self.price})"
