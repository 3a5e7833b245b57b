"""Order entry of the simulated gateway: checks, the account's cash and shares,
and matching against the replayed book.

Our orders do not move the replayed market: in each round (on entry, then at
every snapshot of the instrument) an open order takes at most half of each
price level it crosses, at that level's price, so large orders fill over
several rounds. Matching happens in the continuous sessions only; orders left
open at the close expire.

Part of the gateway SDK stand-in."""
import itertools
from enum import Enum

from pyvela.enums import OrderStatusType as S
from pyvela.sim import feed


class Side(int, Enum):
    """Side of an order request."""
    Buy = 1
    Sell = 2


# error code, message
UNKNOWN_INSTRUMENT = (10001, "unknown instrument")
BAD_QUANTITY = (10002, "quantity must be positive")
BAD_PRICE = (10003, "price must be positive")
NO_CASH = (10004, "not enough cash")
NO_POSITION = (10005, "not enough shares to sell")
MARKET_CLOSED = (10006, "market closed")
DUPLICATE_ID = (10007, "duplicate client order id")
OUTSIDE_LIMITS = (10008, "price outside the daily limits")
ODD_LOT = (10009, "buy quantity must be a multiple of 100")
BAD_SIDE = (10010, "unknown side")
UNKNOWN_ORDER = (20001, "unknown order")
ORDER_DONE = (20002, "order already completed")
CANCEL_PENDING = (20003, "cancel already pending")

FINAL = frozenset({S.Filled, S.Cancelled, S.PartiallyFilledPartiallyCancelled, S.Reject})
CANCELLING = frozenset({S.WaitCancelled, S.PartiallyFilledWaitCancelled})
LOT = 100


class SimOrder:
    __slots__ = ("client_order_id", "security_id", "market_type", "side", "price", "qty", "filled", "value",
                 "status", "counter_order_id", "frozen", "listener", "kind", "error_code", "error_msg")

    def __init__(self, client_order_id, security_id, market_type, side, price, qty, listener, kind="order"):
        self.client_order_id, self.security_id, self.market_type = client_order_id, security_id, market_type
        # An unknown side is kept as given: the order is rejected, not the request.
        self.side = Side(side) if side in tuple(Side) else side
        self.price, self.qty = price, qty
        self.filled, self.value, self.frozen = 0, 0.0, 0.0
        self.status, self.counter_order_id = S.UnSend, 0
        self.listener, self.kind = listener, kind  # kind: "order", or "child" of an algorithmic order
        self.error_code, self.error_msg = 0, ""

    @property
    def remaining(self):
        return self.qty - self.filled

    @property
    def is_open(self):
        return self.status in (S.Sended, S.PartiallyFilled)

    def __repr__(self):
        return (f"SimOrder({self.client_order_id!r}, {self.security_id}, {getattr(self.side, 'name', self.side)} "
                f"{self.qty}@{self.price}, "
                f"{self.status.name}, filled={self.filled})")


class Fill:
    """One match, as the gateway's log keeps it."""
    __slots__ = ("time", "client_order_id", "security_id", "side", "qty", "price", "kind")

    def __init__(self, time, client_order_id, security_id, side, qty, price, kind):
        self.time, self.client_order_id, self.security_id = time, client_order_id, security_id
        self.side, self.qty, self.price, self.kind = side, qty, price, kind

    def __repr__(self):
        return f"Fill({self.kind} {self.client_order_id!r} {self.side.name} {self.qty}@{self.price} {self.time})"


class Matcher:
    """Orders and their reports. A listener gets listener.report(order,
    last_qty, last_price) after every change of an order."""

    def __init__(self, replay, account, clock, schedule, cancel_latency_ms=200):
        self.replay = replay
        self.account = account
        self.clock = clock
        self.schedule = schedule  # schedule(delay_ms, callback)
        self.cancel_latency_ms = cancel_latency_ms
        self.orders = {}
        self.fills = []
        self._counter_ids = itertools.count(7_000_001)

    def _now_ms(self):
        return feed.ms_of(self.clock.now())

    def _check(self, o):
        book = self.replay.books.get(o.security_id)
        if book is None or o.market_type != self.replay.sample.market_type:
            return UNKNOWN_INSTRUMENT
        if not isinstance(o.side, Side):
            return BAD_SIDE
        if not isinstance(o.qty, int) or o.qty <= 0:
            return BAD_QUANTITY
        if o.side is Side.Buy and o.qty % LOT:
            return ODD_LOT
        if not isinstance(o.price, (int, float)) or not o.price > 0:
            return BAD_PRICE
        ins = book.instrument
        if not ins.low_limited <= o.price <= ins.high_limited:
            return OUTSIDE_LIMITS
        now = self._now_ms()
        if self.clock.today() != self.replay.day or not feed.OPEN_AUCTION[0] <= now < feed.CLOSE:
            return MARKET_CLOSED
        if o.side is Side.Buy and round(o.price * o.qty, 2) > self.account.available_cash:
            return NO_CASH
        if o.side is Side.Sell and self.account.sellable(o.security_id) < o.qty:
            return NO_POSITION
        return None

    def submit(self, order):
        """Checks, accepts and tries to match a new order; returns it."""
        if order.client_order_id in self.orders:
            # The first order keeps its id; the report of the refusal names the id all the same.
            order.status, (order.error_code, order.error_msg) = S.Reject, DUPLICATE_ID
            order.listener.report(order, 0, 0.0)
            return order
        self.orders[order.client_order_id] = order
        error = self._check(order)
        if error:
            order.status, (order.error_code, order.error_msg) = S.Reject, error
            order.listener.report(order, 0, 0.0)
            return order
        if order.side is Side.Buy:
            order.frozen = round(order.price * order.qty, 2)
            self.account.freeze(order.frozen)
        else:
            self.account.hold_shares(order.security_id, order.qty)
        order.status, order.counter_order_id = S.Sended, next(self._counter_ids)
        order.listener.report(order, 0, 0.0)
        self.match(order)
        return order

    def cancel(self, client_order_id):
        """Starts a cancel; returns None, or (code, message) when it cannot be honoured."""
        order = self.orders.get(client_order_id)
        if order is None:
            return UNKNOWN_ORDER
        if order.status in FINAL:
            return ORDER_DONE
        if order.status in CANCELLING:
            return CANCEL_PENDING
        order.status = S.PartiallyFilledWaitCancelled if order.filled else S.WaitCancelled
        order.listener.report(order, 0, 0.0)
        self.schedule(self.cancel_latency_ms, lambda: self._cancelled(order))
        return None

    def _cancelled(self, order):
        if order.status in FINAL:
            return
        order.status = S.PartiallyFilledPartiallyCancelled if order.filled else S.Cancelled
        self._release(order)
        order.listener.report(order, 0, 0.0)

    def _release(self, order):
        if order.side is Side.Buy:
            self.account.unfreeze(order.frozen)
            order.frozen = 0.0
        else:
            self.account.release_shares(order.security_id, order.remaining)

    def on_book(self, security_id):
        """A new snapshot of the instrument: another matching round for its open orders."""
        for order in [o for o in self.orders.values() if o.security_id == security_id and o.is_open]:
            self.match(order)

    def match(self, order):
        if not order.is_open or not feed.continuous(self._now_ms()):
            return
        book = self.replay.books[order.security_id]
        buy = order.side is Side.Buy
        for price, volume in (book.asks() if buy else book.bids()):
            if (price > order.price) if buy else (price < order.price):
                break
            take = min(order.remaining, max(LOT, volume // 2 // LOT * LOT), volume)
            self._fill(order, take, price)
            if not order.remaining:
                break

    def _fill(self, order, qty, price):
        order.filled += qty
        order.value = round(order.value + qty * price, 2)
        if order.side is Side.Buy:
            release = round(qty * order.price, 2)
            order.frozen = round(order.frozen - release, 2)
            self.account.buy_fill(order.security_id, qty, price, release)
        else:
            self.account.sell_fill(order.security_id, qty, price)
        order.status = S.Filled if not order.remaining else S.PartiallyFilled
        if order.status is S.Filled and order.side is Side.Buy and order.frozen:
            self.account.unfreeze(order.frozen)  # rounding left-overs
            order.frozen = 0.0
        self.fills.append(Fill(self.clock.now(), order.client_order_id, order.security_id, order.side, qty, price,
                               order.kind))
        order.listener.report(order, qty, price)

    def close(self):
        """The market closes: open orders and pending cancels end cancelled."""
        for order in list(self.orders.values()):
            if order.status not in FINAL:
                self._cancelled(order)
