"""Stand-in for the engine's order, the value the engine files in the bridge's orders_dict."""
import itertools

from corvina.lumen.const import ORDER_STATUS, POSITION_EFFECT, SIDE

_ids = itertools.count(1)


class Order:
    def __init__(self, market_code, quantity, price, side=SIDE.BUY, position_effect=POSITION_EFFECT.OPEN,
                 client_order_id=None):
        self.order_id = next(_ids)
        self.client_order_id = client_order_id if client_order_id is not None else self.order_id
        self.market_code = market_code
        self.quantity = quantity
        self.price = price
        self.side = side
        self.position_effect = position_effect
        self.status = ORDER_STATUS.PENDING_NEW
        self.filled_quantity = 0
        self.unfilled_quantity = quantity
        self.avg_price = 0.0
        self.secondary_order_id = None
        self.frozen_cash = 0.0
        self.message = ""

    def set_frozen_cash(self, value):
        self.frozen_cash = value

    def mark_rejected(self, reason):
        self.status = ORDER_STATUS.REJECTED
        self.message = reason

    def __repr__(self):
        return (f"Order({self.order_id}, {self.market_code}, {self.side.name} {self.quantity}@{self.price}, "
                f"{self.status.name}, filled={self.filled_quantity})")
