"""Faults the simulated gateway injects on demand, of the kinds a live
connection shows: order reports sent again (after a reconnect), cancellation
reports that repeat the order's latest match (as real counters send them),
reports for orders this client never sent, and a consumer kept from its queue
long enough to lose events. Everything injected is counted in `injected`, so
what the consumer counted can be held against it.

None of them changes the market or the account: a consumer that withholds a
match it has seen and ignores orders it never sent ends the day where it would
without them. The stall lies in the call auction, before the open-auction
timer, where the sample strategies have no order in flight and act on
nothing (they trade the continuous session): the events it costs are ticks
and level-2 data of the auction.

Part of the gateway SDK stand-in."""
import collections
import itertools

from pyvela.enums import OrderStatusType as S
from pyvela.messages import OrderReport
from pyvela.sim import feed

KINDS = ("resend", "cancel-match", "unknown", "overflow")
CANCELLATIONS = frozenset({S.WaitCancelled, S.PartiallyFilledWaitCancelled, S.PartiallyFilledPartiallyCancelled,
                           S.Cancelled})
# Callbacks that publish exactly one event each: what a stall counts.
MARKET_DATA = frozenset({"on_snapshot", "on_tick_order", "on_tick_trade"})
STALL_WINDOW = (feed.hms(9, 15), feed.hms(9, 24))  # the call auction, before the open-auction timer


def parse(text):
    """"all" or a comma list of KINDS -> tuple of kinds."""
    kinds = tuple(k.strip() for k in text.split(",") if k.strip()) if text != "all" else KINDS
    unknown = [k for k in kinds if k not in KINDS]
    if unknown or not kinds:
        raise ValueError(f"faults: {', '.join(unknown) or 'none given'}; choose from all, {', '.join(KINDS)}")
    return kinds


class Stall:
    """The consumer's sync is held back from the first sync inside the window
    until `events` market-data messages were delivered (or the window ends).
    It begins right after a sync, so the consumer's queue is empty then."""

    def __init__(self, events, window=STALL_WINDOW):
        self.events = events
        self.window = window
        self.state = "before"  # "on", "over"
        self.delivered = 0  # market-data messages delivered while stalled
        self.others = 0     # other callbacks and timers run while stalled (none, where the window lies)

    def synced(self, now):
        if self.state == "before" and self.window[0] <= feed.ms_of(now) < self.window[1]:
            self.state = "on"

    def holds(self, due):
        """True while the sync is held back; the first False ends the stall."""
        if self.state != "on":
            return False
        if self.delivered >= self.events or feed.ms_of(due) >= self.window[1]:
            self.state = "over"
            return False
        return True

    @property
    def complete(self):
        return self.state == "on" and self.delivered >= self.events

    def count(self, name):
        if self.state == "on":
            if name in MARKET_DATA:
                self.delivered += 1
            else:
                self.others += 1


class Faults:
    """What to inject: `kinds` from KINDS; every `resend_every`-th report of a
    match is sent again, a report for an order never sent follows every
    `unknown_every`-th report, and the stall is sized to make a consumer queue
    of `queue_capacity` entries overwrite `overflow` events."""

    def __init__(self, kinds=KINDS, resend_every=5, unknown_every=10, overflow=250, queue_capacity=None):
        kinds = parse(kinds if isinstance(kinds, str) else ",".join(kinds))
        self.kinds = frozenset(kinds)
        self.resend_every, self.unknown_every = resend_every, unknown_every
        self.queue_capacity = queue_capacity
        self.stall = None
        if "overflow" in self.kinds:
            if not queue_capacity:
                raise ValueError("faults: the overflow is sized from the consumer's queue capacity")
            self.stall = Stall(queue_capacity + overflow)
        self.injected = collections.Counter()
        self._latest = {}  # client order id -> (qty, price) of its latest match
        self._matches = self._reports = 0
        self._never_sent = itertools.count(-1, -1)  # the engine's ids are positive

    # -- order reports -----------------------------------------------------------------------------------------
    def match_of(self, order, last_qty, last_price):
        """The match a report of `order` carries: a cancellation repeats the latest one."""
        if last_qty > 0:
            self._latest[order.client_order_id] = (last_qty, last_price)
        elif ("cancel-match" in self.kinds and order.status in CANCELLATIONS
              and order.client_order_id in self._latest):
            self.injected["cancel_match"] += 1
            return self._latest[order.client_order_id]
        return last_qty, last_price

    def after(self, report, new_match):
        """Reports to deliver after `report`: a resend, one for an order never sent."""
        out = []
        if new_match:
            self._matches += 1
            if "resend" in self.kinds and self._matches % self.resend_every == 0:
                self.injected["resent"] += 1
                out.append(report)
        self._reports += 1
        if "unknown" in self.kinds and self._reports % self.unknown_every == 0:
            self.injected["unknown"] += 1
            out.append(OrderReport(
                client_order_id=next(self._never_sent), security_id=report.security_id, order_price=10.0,
                order_status=S.PartiallyFilled, order_qty=200, trade_qty=100, total_trade_value=1000.0,
                last_match_qty=100, last_match_price=10.0, counter_order_id=1))
        return out

    # -- what a consumer should have counted -------------------------------------------------------------------
    def expected(self):
        """{repeated_fills, unknown_orders, overwritten}: what the injected faults make a bridge count."""
        stalled = self.stall.delivered if self.stall else 0
        return {"repeated_fills": self.injected["resent"] + self.injected["cancel_match"],
                "unknown_orders": self.injected["unknown"],
                "overwritten": max(0, stalled - self.queue_capacity) if self.stall else 0}
