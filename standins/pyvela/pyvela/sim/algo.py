"""The simulated gateway's algorithm service (ATX): a parent order is worked
evenly over its time window, one child order per slice at the best opposite
price; what a child has not filled by the next slice is cancelled and rolled
into the next child.

Part of the gateway SDK stand-in."""
import datetime as _dt
import itertools
from enum import Enum

from pyvela.enums import AlgoControlType
from pyvela.messages import (AlgoChildOrderMsg, AlgoChildTradeMsg, AlgoLoginRes, AlgoParentOrderMsg,
                             CancelParentOrderRes, ControlParentOrderRes, CreateParentOrderRes)
from pyvela.sim import feed
from pyvela.sim.matching import FINAL, LOT, Side, SimOrder


class ParentStatus(int, Enum):
    New = 0
    Running = 1
    Paused = 2
    Finished = 3   # all filled
    Cancelled = 4
    Expired = 5    # the window ended first


PARENT_FINAL = frozenset({ParentStatus.Finished, ParentStatus.Cancelled, ParentStatus.Expired})

UNKNOWN_INSTRUMENT = (40001, "unknown instrument")
BAD_SIDE = (40011, "unknown side")
BAD_QUANTITY = (40002, "quantity must be a positive multiple of 100")
BAD_WINDOW = (40003, "the time window is empty or already over")
NO_CASH = (40004, "not enough cash")
NO_POSITION = (40005, "not enough shares to sell")
UNKNOWN_PARENT = (40006, "unknown parent order")
PARENT_DONE = (40007, "parent order already completed")
NOT_RUNNING = (40008, "parent order is not running")
NOT_PAUSED = (40009, "parent order is not paused")
BAD_CONTROL = (40010, "unsupported control")


class Parent:
    __slots__ = ("sys_quote_id", "client_seq_id", "security_id", "market_type", "side", "qty", "filled", "status",
                 "start", "end", "child", "children")

    def __init__(self, sys_quote_id, client_seq_id, security_id, market_type, side, qty, start, end):
        self.sys_quote_id, self.client_seq_id = sys_quote_id, client_seq_id
        self.security_id, self.market_type, self.side, self.qty = security_id, market_type, Side(side), qty
        self.filled, self.status, self.start, self.end = 0, ParentStatus.New, start, end
        self.child = None
        self.children = []


class _ChildListener:
    def __init__(self, service, parent):
        self.service, self.parent = service, parent

    def report(self, child, last_qty, last_price):
        self.service._child_report(self.parent, child, last_qty, last_price)


class AlgoService:
    def __init__(self, gateway, trader_id, slice_seconds=60):
        self.gw = gateway
        self.trader_id = trader_id
        self.slice = _dt.timedelta(seconds=slice_seconds)
        self.parents = {}
        self._parent_ids = itertools.count(900_001)
        self._child_ids = itertools.count(910_000_001)
        self._trade_ids = itertools.count(920_000_001)

    def login(self, client_seq_id):
        self.gw.deliver("on_algo_login", AlgoLoginRes(client_seq_id=client_seq_id, trader_id=self.trader_id))

    # -- requests -------------------------------------------------------------------------------------------
    def create(self, client_seq_id, security_id, market_type, side, quantity, start_time, end_time):
        gw, now = self.gw, self.gw.clock.now()
        error = None
        book = gw.replay.books.get(security_id)
        if book is None or market_type != gw.replay.sample.market_type:
            error = UNKNOWN_INSTRUMENT
        elif side not in tuple(Side):
            error = BAD_SIDE
        elif not isinstance(quantity, int) or quantity <= 0 or quantity % LOT:
            error = BAD_QUANTITY
        elif end_time <= start_time or end_time <= now:
            error = BAD_WINDOW
        elif Side(side) is Side.Buy and quantity * book.reference_price() > gw.account.available_cash:
            error = NO_CASH
        elif Side(side) is Side.Sell and gw.account.sellable(security_id) < quantity:
            error = NO_POSITION
        if error:
            gw.deliver("on_create_algo_parent_order_res", CreateParentOrderRes(
                client_seq_id=client_seq_id, sys_quote_id=0, error_code=error[0], error_msg=error[1]))
            return None
        parent = Parent(next(self._parent_ids), client_seq_id, security_id, market_type, side, quantity,
                        max(start_time, now), end_time)
        self.parents[parent.sys_quote_id] = parent
        gw.deliver("on_create_algo_parent_order_res", CreateParentOrderRes(
            client_seq_id=client_seq_id, sys_quote_id=parent.sys_quote_id))
        self._update(parent)
        gw.schedule_at(parent.start, lambda: self._slice(parent))
        return parent

    def cancel(self, sys_quote_id):
        parent = self.parents.get(sys_quote_id)
        error = UNKNOWN_PARENT if parent is None else PARENT_DONE if parent.status in PARENT_FINAL else None
        self.gw.deliver("on_cancel_algo_parent_order_res", CancelParentOrderRes(
            sys_quote_id=sys_quote_id, error_code=error[0] if error else 0, error_msg=error[1] if error else ""))
        if not error:
            self._finish(parent, ParentStatus.Cancelled)

    def control(self, sys_quote_id, control_type):
        parent = self.parents.get(sys_quote_id)
        if parent is None:
            error = UNKNOWN_PARENT
        elif parent.status in PARENT_FINAL:
            error = PARENT_DONE
        elif control_type == AlgoControlType.Pause:
            error = None if parent.status in (ParentStatus.New, ParentStatus.Running) else NOT_RUNNING
        elif control_type == AlgoControlType.Resume:
            error = None if parent.status is ParentStatus.Paused else NOT_PAUSED
        else:
            error = BAD_CONTROL
        # The answer names its action under both of the message's names.
        self.gw.deliver("on_control_algo_parent_order_res", ControlParentOrderRes(
            control_type=control_type, algo_control_type=control_type, sys_quote_id=sys_quote_id,
            error_code=error[0] if error else 0, error_msg=error[1] if error else ""))
        if error:
            return
        if control_type == AlgoControlType.Pause:
            parent.status = ParentStatus.Paused
            self._cancel_child(parent)
        else:
            parent.status = ParentStatus.Running
            self.gw.after(self.gw.matcher.cancel_latency_ms + 1, lambda: self._send_child(parent))
        self._update(parent)

    def close(self):
        """The market closes: parents still working expire."""
        for parent in self.parents.values():
            if parent.status not in PARENT_FINAL:
                self._finish(parent, ParentStatus.Expired)

    # -- working a parent -----------------------------------------------------------------------------------
    def _slice(self, parent):
        if parent.status in PARENT_FINAL:
            return
        now = self.gw.clock.now()
        if now >= parent.end:
            self._finish(parent, ParentStatus.Expired)
            return
        if parent.status is ParentStatus.New:
            parent.status = ParentStatus.Running
            self._update(parent)
        if parent.status is ParentStatus.Running:
            if self._cancel_child(parent):
                self.gw.after(self.gw.matcher.cancel_latency_ms + 1, lambda: self._send_child(parent))
            else:
                self._send_child(parent)
        self.gw.schedule_at(min(now + self.slice, parent.end), lambda: self._slice(parent))

    def _cancel_child(self, parent):
        child = parent.child
        if child is not None and child.status not in FINAL:
            self.gw.matcher.cancel(child.client_order_id)
            return True
        return False

    def _send_child(self, parent):
        if parent.status is not ParentStatus.Running or (parent.child and parent.child.status not in FINAL):
            return
        now = self.gw.clock.now()
        span = (parent.end - parent.start).total_seconds()
        done = min(1.0, ((now + self.slice) - parent.start).total_seconds() / span)
        target = parent.qty if done >= 1.0 else int(parent.qty * done) // LOT * LOT
        qty = min(target, parent.qty) - parent.filled
        if qty <= 0:
            return
        book = self.gw.replay.books[parent.security_id]
        levels = book.asks(1) if parent.side is Side.Buy else book.bids(1)
        price = levels[0][0] if levels else book.reference_price()
        child = SimOrder(next(self._child_ids), parent.security_id, parent.market_type, parent.side, price, qty,
                         _ChildListener(self, parent), kind="child")
        parent.child = child
        parent.children.append(child)
        self.gw.matcher.submit(child)

    def _finish(self, parent, status):
        self._cancel_child(parent)
        parent.status = status
        self._update(parent)

    def _child_report(self, parent, child, last_qty, last_price):
        gw = self.gw
        if last_qty:
            parent.filled += last_qty
            gw.deliver("on_algo_child_order_trade", AlgoChildTradeMsg(
                sys_quote_id=next(self._trade_ids), parent_sys_quote_id=parent.sys_quote_id,
                child_sys_quote_id=child.client_order_id, security_id=child.security_id, trade_qty=last_qty,
                trade_price=last_price))
        gw.deliver("on_algo_child_order_update", AlgoChildOrderMsg(
            sys_quote_id=child.client_order_id, parent_sys_quote_id=parent.sys_quote_id,
            security_id=child.security_id, order_qty=child.qty, order_price=child.price, trade_qty=child.filled,
            status=child.status))
        if last_qty:
            if parent.filled >= parent.qty and parent.status not in PARENT_FINAL:
                parent.status = ParentStatus.Finished
            self._update(parent)

    def _update(self, parent):
        day = self.gw.replay.day
        self.gw.deliver("on_algo_parent_order_update", AlgoParentOrderMsg(
            sys_quote_id=parent.sys_quote_id, client_seq_id=parent.client_seq_id, security_id=parent.security_id,
            market_type=parent.market_type, side=parent.side, order_qty=parent.qty, trade_qty=parent.filled,
            status=parent.status, start_time=feed.stamp(day, feed.ms_of(parent.start)),
            end_time=feed.stamp(day, feed.ms_of(parent.end))))
