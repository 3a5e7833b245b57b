"""The engine's side of a live run: drains the bridge's event queue on the
engine's own thread, keeps the orders it sends and the account, and runs the
user's strategy on the events.

Part of the stand-in for the engine's live-run side."""
import collections
import itertools
import logging
import sys
import threading
import time
import traceback

from corvina.lumen.const import ORDER_STATUS, POSITION_EFFECT, SIDE
from corvina.lumen.core.events import EVENT
from corvina.lumen.live.account import LiveAccount
from corvina.lumen.model.order import Order
from corvina.lumen.utils.trade_func import get_exchane_from_vela_mdtype
from pyvela.enums import AlgoControlType
from pyvela.sim import Side

log = logging.getLogger("corvina.live")

FINAL_STATUSES = frozenset({ORDER_STATUS.FILLED, ORDER_STATUS.CANCELLED, ORDER_STATUS.REJECTED})
DAY_EVENTS = (EVENT.BEFORE_TRADING, EVENT.OPEN_AUCTION, EVENT.AFTER_TRADING)
ORDER_EVENTS = frozenset({EVENT.ORDER_CREATION_PASS, EVENT.ORDER_PENDING_CANCEL, EVENT.ORDER_CANCELLATION_PASS,
                          EVENT.ORDER_UNSOLICITED_UPDATE, EVENT.ORDER_CANCELLATION_REJECT})
ALGO_EVENTS = frozenset({EVENT.ALGO_LOGIN, EVENT.PARENT_ORDER_CREATE, EVENT.PARENT_ORDER_CANCEL,
                         EVENT.PARENT_ORDER_PAUSE, EVENT.PARENT_ORDER_RESUME, EVENT.PARENT_ORDER_UPDATE,
                         EVENT.CHILD_ORDER_UPDATE})
BATCH = 10_000  # events popped per turn of the lock
# A failure repeated on every event must not flood the output: the first few
# failures print their tracebacks, then each further kind prints one line; the
# summary counts them all.
TRACEBACKS_SHOWN = 3


def split_market_code(market_code, market_types):
    """"000001.XSHE" -> ("000001", the gateway's market type)."""
    security_id, _, suffix = market_code.rpartition(".")
    for market_type in market_types:
        try:
            if get_exchane_from_vela_mdtype(market_type) == suffix:
                return security_id, market_type
        except ValueError:
            continue
    raise ValueError(f"no gateway market for {market_code!r}")


def exception_line(traceback_text):
    """The last line of a formatted traceback: the exception's type and message."""
    return traceback_text.rstrip().rpartition("\n")[2]


class StrategyContext:
    """What a strategy sees: the time, the universe, the account, the bridge's
    market data, and the order requests."""

    def __init__(self, engine):
        self._engine = engine
        self.universe = list(engine.universe)
        self.account = engine.account
        self.orders = engine.orders
        self.parents = engine.parents

    def now(self):
        return self._engine.ferrule.datetime.now()

    def current_tick(self, market_code):
        return self._engine.ferrule.get_current_tick(market_code)

    def current_bar(self, market_code):
        return self._engine.ferrule.get_current_bar(market_code)

    def history_bars(self, market_code, count):
        return self._engine.ferrule.history_bars(market_code, count)

    def buy(self, market_code, quantity, price):
        return self._engine.submit_order(market_code, SIDE.BUY, quantity, price)

    def sell(self, market_code, quantity, price):
        return self._engine.submit_order(market_code, SIDE.SELL, quantity, price)

    def cancel(self, order):
        self._engine.cancel_order(order)

    def algo_order(self, market_code, side, quantity, start, end):
        """An ATX parent order worked from start to end (date-times); returns the request id."""
        return self._engine.create_parent_order(market_code, side, quantity, start, end)

    def parent_id(self, request_id):
        """The gateway's id of the parent order created by request_id, once it answered; else None."""
        return self._engine.parent_ids.get(request_id)

    def pause_algo(self, parent_id):
        self._engine.control_parent_order(parent_id, "Pause")

    def resume_algo(self, parent_id):
        self._engine.control_parent_order(parent_id, "Resume")

    def cancel_algo(self, parent_id):
        self._engine.cancel_parent_order(parent_id)

    def log(self, text):
        self._engine.notes.append((self.now(), text))
        log.info(text)


class LiveEngine:
    """The drain loop and the engine's books. `lock` is the gateway's callback
    lock: see _drain. In lockstep the engine handles events only while the
    gateway waits in wait_caught_up, so the virtual time at which its requests
    reach the gateway, and with it the whole day, is repeatable."""

    def __init__(self, ferrule, strategy, universe, lock, lockstep=False):
        self.ferrule = ferrule
        self.queue = ferrule.event_queue
        self.capacity = getattr(self.queue, "maxlen", None)  # None: the queue never overwrites
        self.drained = 0            # events taken off the queue
        self.high_water = 0         # the deepest the queue was found
        self.loss = None            # the bridge's counters when the first loss was found
        self.lock = lock
        self.universe = list(universe)
        self.account = LiveAccount()
        self.orders = {}            # client order id -> the engine's Order, in send order
        self.trades = []            # (Trade, order as the event showed it)
        self.order_events = []      # order events in arrival order
        self.parents = {}           # sys_quote_id -> latest AlgoParentOrder
        self.parent_ids = {}        # request id -> sys_quote_id, once created
        self.child_trades = []
        self.algo_answers = []
        self.counts = collections.Counter()
        self.handled = 0
        self.first_index, self.last_index = {}, {}  # event type -> its first / last position in the stream
        self.time_regressions = 0   # events whose calendar_dt is earlier than one handled before
        self._latest_dt = None
        self.day_events = []        # (EVENT member, calendar_dt)
        self.login = None
        self.errors = []            # (where, traceback text)
        self._failure_kinds = set()  # (where, exception type) already reported
        self.notes = []
        self.gateway_context = None
        self.market_types = ()
        self.strategy = strategy
        self.ctx = StrategyContext(self)
        self._req_ids = itertools.count(1)
        self._cond = threading.Condition()
        self._requested = self._done = 0
        self._stop = False
        self._lockstep = lockstep
        self._thread = None

    # -- set-up ---------------------------------------------------------------------------------------------
    def attach(self, gateway_context, market_types):
        self.gateway_context = gateway_context
        self.market_types = tuple(market_types)
        self._call("init")

    def discard_stale(self):
        """Drops what an earlier run left in the queue: this run starts a new day."""
        n = len(self._drain(limit=None))
        self.drained = self.high_water = 0
        return n

    def start(self):
        self._thread = threading.Thread(target=self._loop, name="corvina-engine", daemon=True)
        self._thread.start()

    def stop(self, timeout=30.0):
        """Handles what is left in the queue, then ends the engine's thread."""
        with self._cond:
            self._stop = True
            self._cond.notify_all()
        self._thread.join(timeout)
        if self._thread.is_alive():
            raise RuntimeError("the engine did not stop")

    def wait_caught_up(self, timeout=60.0):
        """Returns once every event published before the call is handled (the gateway's sync)."""
        with self._cond:
            self._requested += 1
            target = self._requested
            self._cond.notify_all()
            deadline = time.monotonic() + timeout
            while self._done < target:
                if self._thread is None or not self._thread.is_alive():
                    raise RuntimeError("the engine's thread is not running")
                if time.monotonic() > deadline:
                    raise TimeoutError("the engine did not catch up")
                self._cond.wait(0.5)

    def catch_up_here(self):
        """What wait_caught_up asks of the engine's thread, done on the calling thread: in lockstep the
        thread handles events only while the caller waits, so handling them here instead is the same day,
        without the two thread switches of a hand-off. The thread stays parked, as no sync is requested.
        Not in lockstep, the same as wait_caught_up. The caller must not hold `lock`."""
        if not self._lockstep:
            return self.wait_caught_up()
        try:
            while batch := self._drain():
                for event in batch:
                    self._handle(event)
        except BaseException:
            self._failed("engine thread", "the engine's thread stopped")
            raise

    # -- the engine's thread ------------------------------------------------------------------------------------
    def _drain(self, limit=BATCH):
        # The gateway holds this lock around every callback, so no append runs
        # while we pop: the ring buffer's append and popleft are several Python
        # steps each and are not safe against each other.
        q = self.queue
        with self.lock:
            depth = len(q)
            n = depth if limit is None else min(depth, limit)
            batch = [q.popleft() for _ in range(n)]
        # Only this thread pops, so the depth peaks just before a drain.
        self.drained += n
        self.high_water = max(self.high_water, depth)
        if self.loss is None and self.capacity is not None and depth >= self.capacity:
            self._check_loss()
        return batch

    def _check_loss(self):
        # A full queue is the only place an event can have been overwritten: the bridge counts it.
        stats = getattr(self.ferrule, "stats", None)
        counters = stats() if stats is not None else None
        if not counters or not counters["overwritten"]:
            return
        self.loss = counters
        log.warning("event queue overflow: %s events were overwritten before the engine read them "
                    "(published %s, drained %s, high-water mark %s of %s)", f"{counters['overwritten']:,}",
                    f"{sum(counters['published'].values()):,}", f"{self.drained:,}", f"{self.high_water:,}",
                    f"{self.capacity:,}")

    def _loop(self):
        try:
            self._turns()
        except BaseException:
            self._failed("engine thread", "the engine's thread stopped")
            with self._cond:
                self._cond.notify_all()

    def _failed(self, where, message):
        """Records the exception being handled; logs it as TRACEBACKS_SHOWN says."""
        text = traceback.format_exc()
        self.errors.append((where, text))
        kind = (where, type(sys.exception()).__name__)
        new_kind = kind not in self._failure_kinds
        self._failure_kinds.add(kind)
        if len(self.errors) <= TRACEBACKS_SHOWN:
            log.exception("%s", message)
        elif new_kind:
            log.error("%s: %s (traceback not shown; the summary counts these failures)", message,
                      exception_line(text))

    def _turns(self):
        while True:
            with self._cond:
                while self._lockstep and self._requested == self._done and not self._stop:
                    self._cond.wait()
                target, stopping = self._requested, self._stop
            batch = self._drain()
            for event in batch:
                self._handle(event)
            if batch:
                continue
            # Empty after reading `target`: everything published before that sync is handled.
            with self._cond:
                self._done = max(self._done, target)
                self._cond.notify_all()
                if stopping:
                    return
                if self._requested == self._done and not self._stop:
                    self._cond.wait(0.002)

    def _call(self, hook, *args):
        fn = getattr(self.strategy, hook, None)
        if fn is None:
            return
        try:
            fn(self.ctx, *args)
        except Exception:
            self._failed(f"strategy.{hook}", f"strategy {hook} failed")

    def _handle(self, event):
        kind = event.event_type
        position, self.handled = self.handled, self.handled + 1
        self.counts[kind] += 1
        self.first_index.setdefault(kind, position)
        self.last_index[kind] = position
        dt = event.payload.get("calendar_dt")
        if dt is not None:
            if self._latest_dt is not None and dt < self._latest_dt:
                self.time_regressions += 1
            else:
                self._latest_dt = dt
        try:
            self._apply(kind, event)
        except Exception:
            self._failed(f"engine on {kind.name}", f"engine failed on {kind.name}")

    def _apply(self, kind, event):
        if kind is EVENT.TICK:
            tick = event.tick
            self.account.mark(tick.market_code, tick.last_price)
            self._call("on_tick", tick)
        elif kind is EVENT.BAR:
            self._call("on_bar", event.calendar_dt)
        elif kind in (EVENT.L2_ORDER, EVENT.L2_TRANSACTION):
            pass
        elif kind is EVENT.TRADE:
            trade, order = event.trade, event.order
            self.trades.append((trade, order))
            self.account.apply_fill(trade.market_code, trade.side, trade.amount, trade.price)
            self._call("on_trade", trade, order)
        elif kind in ORDER_EVENTS:
            self.order_events.append(event)
            self._call("on_order", event)
        elif kind is EVENT.CHILD_ORDER_TRADE:
            self._child_trade(event.algo_child_trade)
        elif kind in ALGO_EVENTS:
            self._algo(kind, event)
        elif kind is EVENT.LOGIN:
            self.login = event
        elif kind is EVENT.QUERY_ACCOUNT:
            if "asset" in event.payload:
                self.account.apply_asset(event.asset)
        elif kind is EVENT.QUERY_POSITION:
            if "positions" in event.payload:
                self.account.apply_positions(event.positions)
        elif kind in DAY_EVENTS:
            self.day_events.append((kind, event.calendar_dt))
            self._call({EVENT.BEFORE_TRADING: "before_trading", EVENT.OPEN_AUCTION: "open_auction",
                        EVENT.AFTER_TRADING: "after_trading"}[kind])

    def _algo(self, kind, event):
        if kind is EVENT.PARENT_ORDER_UPDATE:
            parent = event.algo_parent_order
            self.parents[parent.sys_quote_id] = parent
        elif kind is EVENT.PARENT_ORDER_CREATE and event.code == 0:
            self.parent_ids[event.req_id] = event.parent_order_id
        if kind is not EVENT.PARENT_ORDER_UPDATE and kind is not EVENT.CHILD_ORDER_UPDATE:
            self.algo_answers.append(event)
        self._call("on_algo", event)

    def _child_trade(self, trade):
        parent = self.parents.get(trade.parent_sys_quote_id)
        if parent is None:
            raise LookupError(f"child trade of an unknown parent order {trade.parent_sys_quote_id!r}")
        market_code = trade.security_id + "." + get_exchane_from_vela_mdtype(parent.market_type)
        side = SIDE.BUY if int(parent.side) == 1 else SIDE.SELL
        self.child_trades.append((market_code, side, trade))
        self.account.apply_fill(market_code, side, trade.trade_qty, trade.trade_price)
        self._call("on_algo", trade)

    # -- requests -----------------------------------------------------------------------------------------------
    @staticmethod
    def _side(side):
        return Side.Buy if side == SIDE.BUY else Side.Sell

    def submit_order(self, market_code, side, quantity, price):
        security_id, market_type = split_market_code(market_code, self.market_types)
        effect = POSITION_EFFECT.OPEN if side == SIDE.BUY else POSITION_EFFECT.CLOSE
        order = Order(market_code, quantity, price, side=side, position_effect=effect)
        self.orders[order.client_order_id] = order
        # Filed before it is sent: the gateway may answer before insert_order returns.
        self.ferrule.orders_dict[order.client_order_id] = order
        self.gateway_context.insert_order(order.client_order_id, security_id, market_type, self._side(side), price,
                                          quantity)
        return order

    def cancel_order(self, order):
        self.gateway_context.cancel_order(order.client_order_id)

    def create_parent_order(self, market_code, side, quantity, start, end):
        security_id, market_type = split_market_code(market_code, self.market_types)
        req_id = next(self._req_ids)
        self.gateway_context.create_algo_parent_order(req_id, security_id, market_type, self._side(side), quantity,
                                                      start, end)
        return req_id

    def cancel_parent_order(self, parent_id):
        self.gateway_context.cancel_algo_parent_order(parent_id)

    def control_parent_order(self, parent_id, action):
        self.gateway_context.control_algo_parent_order(parent_id, AlgoControlType[action])

    # -- read-outs ----------------------------------------------------------------------------------------------
    def open_orders(self):
        return [o for o in self.orders.values() if o.status not in FINAL_STATUSES]
