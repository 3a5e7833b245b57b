"""The simulated gateway: replays a sample day into a strategy's callbacks on
one gateway thread, answers its requests from a simulated account, matching
simulator and algorithm service, and runs its timers on a timer thread.

Threads. Every callback into the strategy runs holding `gateway.lock`: market
data, reports and answers on the gateway thread, timers on the timer thread.
The strategy's callbacks take no locks of their own and its event queue is not
safe for two writers, so this one lock makes them one writer; a consumer that
pops the queue holding the same lock never races a callback either.

Time. The gateway thread owns the VirtualClock: it advances it to the next
thing due (a feed message, a timer, a scheduled answer) and runs it, paced by
the clock's speed. Requests (orders, cancels, queries, algorithmic orders) may
come from any thread; they queue up and the gateway thread serves them at the
current virtual time, before the clock moves on.

Stamps. The sample's messages carry stamps of the virtual day. With a
FeedLatency each market-data message is stamped instead, holding the lock just
before its callback, with the exchange-local real time minus a drawn delay (the
bars of one bar time share one stamp, as an exchange closes a minute once);
`stamps` holds (that stamp, the sample's) while the callback runs, so that a
receiver's time conversion can find the virtual time again.

Part of the gateway SDK stand-in."""
import collections
import datetime as _dt
import heapq
import itertools
import logging
import threading
import time
import traceback

from pyvela import strategy as _strategy
from pyvela.enums import OrderStatusType as S, SubscribeDataType
from pyvela.messages import LoginRes, OrderActionError, OrderReport
from pyvela.sim import feed, latency
from pyvela.sim.account import SimAccount
from pyvela.sim.algo import AlgoService
from pyvela.sim.clock import VirtualClock
from pyvela.sim.matching import Matcher, SimOrder
from pyvela.sim.timers import TimerService

log = logging.getLogger("pyvela.sim")

_FEED_CALLBACKS = {"snapshot": ("on_snapshot", SubscribeDataType.Snapshot),
                   "tick_order": ("on_tick_order", SubscribeDataType.TickOrder),
                   "tick_trade": ("on_tick_trade", SubscribeDataType.TickTrade),
                   "bar": ("on_bar", SubscribeDataType.Bar)}
_STAMP_FIELDS = {"snapshot": "orig_time", "tick_order": "order_time", "tick_trade": "trade_time", "bar": "end_time"}


class SimContext(_strategy.Context):
    """The context of a strategy on the simulated gateway. Requests are still
    recorded (`requests`); timers go to the timer service and the rest to the
    gateway thread."""

    def __init__(self, strategy, gateway):
        super().__init__(strategy)
        self.gateway = gateway

    def add_md_broker(self, md_type):
        super().add_md_broker(md_type)
        self.gateway._request(self.gateway._md_brokers.append, md_type)

    def add_td_broker(self, td_type):
        super().add_td_broker(td_type)
        self.gateway._request(self.gateway._add_td_broker, td_type)

    def add_algo_broker(self, algo_type):
        super().add_algo_broker(algo_type)
        self.gateway._request(self.gateway._add_algo_broker, algo_type)

    def subscribe(self, md_type, market, data_type, codes, period):
        super().subscribe(md_type, market, data_type, codes, period)
        self.gateway._request(self.gateway._subscribe, market, data_type, list(codes), period)

    def add_timer_interval(self, interval_ns, callback):
        self._record("add_timer_interval", interval_ns, callback)
        self.gateway.timers.add(interval_ns, callback)

    def query_asset(self, fund_account_id):
        super().query_asset(fund_account_id)
        self.gateway._request(self.gateway._query_asset, fund_account_id)

    def query_position(self, fund_account_id):
        super().query_position(fund_account_id)
        self.gateway._request(self.gateway._query_position, fund_account_id)

    # Order entry and the algorithm service.
    def insert_order(self, client_order_id, security_id, market_type, side, price, quantity):
        self._record("insert_order", client_order_id, security_id, market_type, side, price, quantity)
        self.gateway._request(self.gateway._insert_order, client_order_id, security_id, market_type, side, price,
                              quantity)

    def cancel_order(self, client_order_id):
        self._record("cancel_order", client_order_id)
        self.gateway._request(self.gateway._cancel_order, client_order_id)

    def create_algo_parent_order(self, client_seq_id, security_id, market_type, side, quantity, start_time,
                                 end_time):
        self._record("create_algo_parent_order", client_seq_id, security_id, market_type, side, quantity,
                     start_time, end_time)
        self.gateway._request(self.gateway.algo.create, client_seq_id, security_id, market_type, side, quantity,
                              start_time, end_time)

    def cancel_algo_parent_order(self, sys_quote_id):
        self._record("cancel_algo_parent_order", sys_quote_id)
        self.gateway._request(self.gateway.algo.cancel, sys_quote_id)

    def control_algo_parent_order(self, sys_quote_id, control_type):
        self._record("control_algo_parent_order", sys_quote_id, control_type)
        self.gateway._request(self.gateway.algo.control, sys_quote_id, control_type)


class _OrderReports:
    """Reports of plain orders go to on_order; an accepted order is reported
    on its way (no counter id yet) and then accepted."""

    def __init__(self, gateway):
        self.gw = gateway

    def report(self, order, last_qty, last_price):
        if order.status is S.Sended and not order.filled:
            self.gw.deliver("on_order", self._message(order, 0, 0.0, S.UnSend, counter_order_id=0))
        faults = self.gw.faults
        new_match = last_qty > 0
        if faults is not None:
            last_qty, last_price = faults.match_of(order, last_qty, last_price)
        report = self._message(order, last_qty, last_price, order.status)
        self.gw.deliver("on_order", report)
        if faults is not None:
            for extra in faults.after(report, new_match):
                self.gw.deliver("on_order", extra)

    @staticmethod
    def _message(order, last_qty, last_price, status, counter_order_id=None):
        return OrderReport(
            client_order_id=order.client_order_id, security_id=order.security_id, order_price=order.price,
            order_status=status, order_qty=order.qty, trade_qty=order.filled, total_trade_value=order.value,
            error_msg=order.error_msg, last_match_qty=last_qty, last_match_price=last_price,
            counter_order_id=order.counter_order_id if counter_order_id is None else counter_order_id,
            frozen_trade_value=order.frozen, error_code=order.error_code)


class SimGateway:
    """A trading day on the sample. Build the strategy inside `installed()`,
    initialize it, then start() (or run()) the gateway.

    sync: optional callable the gateway thread calls (without the lock) at
    most once per sync_step of virtual time, after it delivered something, to
    let a consumer catch up before the clock moves on. A consumer that sends
    requests only then makes the day repeatable at any speed.

    faults: optional pyvela.sim.faults.Faults to inject, and count, on the way.

    feed_latency: optional pyvela.sim.latency.FeedLatency: market data is
    stamped with real exchange time that late (see Stamps above); feed_delays
    keeps, by kind, how old each message's stamp was when its callback began
    (seconds)."""

    def __init__(self, sample=None, *, clock=None, speed=0.0, start=None, end=None, windows=None,
                 fund_account_id="100001", cash=1_000_000.0, holdings=None, sync=None, sync_step=1.0,
                 login_delay_ms=500, faults=None, feed_latency=None):
        self.sample = sample if sample is not None else feed.load_sample()
        day = self.sample.date
        self.clock = clock or VirtualClock(start or feed.at(day, feed.hms(8, 59)), speed)
        self.end = end or feed.at(day, feed.hms(15, 31))
        self.lock = threading.Lock()
        self.timers = TimerService(self.clock, self.lock)
        self.replay = feed.Replay(self.sample, windows)
        self.account = SimAccount(fund_account_id, cash, self.sample.market_type, holdings)
        self.matcher = Matcher(self.replay, self.account, self.clock, self.after)
        self.algo = AlgoService(self, fund_account_id)
        self.sync = sync
        self.sync_step = _dt.timedelta(seconds=sync_step)
        self.login_delay_ms = login_delay_ms
        self.faults = faults
        self.feed_latency = feed_latency
        self.feed_delays = collections.defaultdict(list)  # kind -> seconds
        self.stamps = None  # (exchange stamp, the sample's stamp) of the message being delivered
        self._bar_stamp = None  # (the sample's stamp, exchange stamp, its epoch ms) of the latest bar time
        self.strategy = None
        self.context = None
        self.delivered = collections.Counter()  # callback name -> calls
        self.last_feed = {}  # (kind, security_id) -> the last feed message delivered
        self.errors = []  # (virtual time, callback name, traceback text), the first failure of each
        self.error_counts = collections.Counter()  # callback name -> failures
        self._md_brokers, self._td_brokers, self._algo_brokers = [], [], []
        self._subscriptions = {}  # data type -> set of codes, None for all
        self._reports = _OrderReports(self)
        self._inbox = collections.deque()
        self._wake = threading.Event()
        self._agenda = []  # (due, seq, callback)
        self._seq = itertools.count()
        self._ids = itertools.count(1)
        self._thread = None
        self._stop = False
        self.schedule_at(feed.at(day, feed.CLOSE), self._close)

    # -- set-up ---------------------------------------------------------------------------------------------
    def make_context(self, strategy):
        if self.strategy is not None:
            raise RuntimeError("the simulated gateway drives one strategy")
        self.strategy, self.context = strategy, SimContext(strategy, self)
        return self.context

    def installed(self):
        """Strategies built inside this block run on this gateway."""
        return _strategy.installed_context(self.make_context)

    def start(self):
        if self.strategy is None:
            raise RuntimeError("no strategy: build it inside gateway.installed()")
        self.timers.start()
        self._thread = threading.Thread(target=self._run, name="pyvela-gateway", daemon=True)
        self._thread.start()

    def join(self, timeout=None):
        if self._thread is not None:
            self._thread.join(timeout)
            return not self._thread.is_alive()
        return True

    def stop(self):
        self._stop = True
        self._wake.set()
        self.join()
        self.timers.stop()

    def run(self):
        """Runs the whole day on the calling thread's behalf; returns when it is over."""
        self.start()
        self.join()
        self.timers.stop()

    # -- what the parts of the gateway use -------------------------------------------------------------------
    def deliver(self, name, *args, before=None):
        """Calls the strategy's callback `name`, holding the lock (and before() first, inside it); a failing
        callback is logged and recorded."""
        self.delivered[name] += 1
        if self.faults is not None and self.faults.stall is not None:
            self.faults.stall.count(name)
        try:
            with self.lock:
                if before is not None:
                    before()
                getattr(self.strategy, name)(*args)
        except Exception:
            self.error_counts[name] += 1
            if self.error_counts[name] == 1:
                self.errors.append((self.clock.now(), name, traceback.format_exc()))
                log.exception("callback %s failed (later failures of it are only counted)", name)

    def schedule_at(self, when, callback):
        heapq.heappush(self._agenda, (when, next(self._seq), callback))

    def after(self, delay_ms, callback):
        self.schedule_at(self.clock.now() + _dt.timedelta(milliseconds=delay_ms), callback)

    def prices(self):
        return {sid: book.reference_price() for sid, book in self.replay.books.items()}

    # -- requests, served on the gateway thread ----------------------------------------------------------------
    def _request(self, fn, *args):
        self._inbox.append((fn, args))
        self._wake.set()

    def _serve_inbox(self):
        while self._inbox:
            fn, args = self._inbox.popleft()
            try:
                fn(*args)
            except Exception:  # a malformed request must not end the day for everyone
                name = "request " + getattr(fn, "__name__", "?").lstrip("_")
                self.error_counts[name] += 1
                self.errors.append((self.clock.now(), name, traceback.format_exc()))
                log.exception("%s failed", name)

    def _add_td_broker(self, td_type):
        self._td_brokers.append(td_type)
        self.after(self.login_delay_ms, self._login)

    def _add_algo_broker(self, algo_type):
        self._algo_brokers.append(algo_type)
        self.after(self.login_delay_ms, lambda: self.algo.login(next(self._ids)))

    def _login(self):
        self.deliver("on_login", LoginRes(fund_account_id=self.account.fund_account_id, client_seq_id=next(self._ids)))

    def _subscribe(self, market, data_type, codes, period):
        if market != self.sample.market_type:
            log.warning("subscription to %s: the sample has no such market", market)
            return
        wanted = self._subscriptions.get(data_type, set())
        self._subscriptions[data_type] = None if not codes or wanted is None else wanted | set(codes)

    def _subscribed(self, kind, security_id):
        codes = self._subscriptions.get(_FEED_CALLBACKS[kind][1], ())
        return codes is None or security_id in codes

    def _query_asset(self, fund_account_id):
        rid = next(self._ids)
        asset = self.account.asset_res(self.prices())
        if fund_account_id != self.account.fund_account_id:
            asset.fund_account_id = fund_account_id
            self.deliver("on_query_asset", asset, rid, 30001, "unknown fund account")
        else:
            self.deliver("on_query_asset", asset, rid, 0, "")

    def _query_position(self, fund_account_id):
        rid = next(self._ids)
        if fund_account_id != self.account.fund_account_id:
            self.deliver("on_query_position", [], rid, 30001, "unknown fund account")
        else:
            self.deliver("on_query_position", self.account.position_res(self.prices()), rid, 0, "")

    def _insert_order(self, client_order_id, security_id, market_type, side, price, quantity):
        self.matcher.submit(SimOrder(client_order_id, security_id, market_type, side, price, quantity,
                                     self._reports))

    def _cancel_order(self, client_order_id):
        error = self.matcher.cancel(client_order_id)
        if error:
            self.deliver("on_order_action_error", OrderActionError(
                client_order_id=client_order_id, error_code=error[0], error_msg=error[1]))

    def _stamp(self, kind, message):
        # Under the lock, right before the callback: the delay drawn is the age the receiver finds, plus
        # only the call's own way in.
        field = _STAMP_FIELDS[kind]
        sample_stamp = getattr(message, field)
        now_ns = time.time_ns()
        if kind == "bar" and self._bar_stamp is not None and self._bar_stamp[0] == sample_stamp:
            stamp, stamp_ms = self._bar_stamp[1:]
        else:
            stamp_ms = (now_ns - round(self.feed_latency.draw() * 1e9)) // 1_000_000
            stamp = latency.exchange_stamp(stamp_ms)
            if kind == "bar":
                self._bar_stamp = (sample_stamp, stamp, stamp_ms)
        setattr(message, field, stamp)
        self.stamps = (stamp, sample_stamp)
        self.feed_delays[kind].append((now_ns - stamp_ms * 1_000_000) / 1e9)

    def _close(self):
        self.matcher.close()
        self.algo.close()

    # -- the gateway thread -------------------------------------------------------------------------------------
    def _next_due(self):
        due = [t for t in (self.timers.next_due(), self._agenda[0][0] if self._agenda else None,
                           self.replay.peek()) if t is not None]
        return min(due) if due else None

    def _run(self):
        try:
            self._day()
        except BaseException:
            self.error_counts["gateway"] += 1
            self.errors.append((self.clock.now(), "gateway", traceback.format_exc()))
            log.exception("the simulated gateway stopped")

    def _day(self):
        self.deliver("on_initialize")
        self.deliver("on_switch_day")  # a new trading day begins
        last_sync, dirty = self.clock.now(), False
        stall = self.faults.stall if self.faults is not None else None
        while not self._stop:
            self._wake.clear()
            self._serve_inbox()
            due = self._next_due()
            if due is None or due > self.end:
                break
            if (self.sync is not None and dirty and (due >= last_sync + self.sync_step or stall and stall.complete)
                    and not (stall and stall.holds(due))):
                self.sync()
                last_sync, dirty = self.clock.now(), False
                if stall:
                    stall.synced(last_sync)
                continue  # what the consumer asked for is served before the clock moves
            if not self.clock.advance_to(due, self._wake):
                continue  # a request came in while the clock was paced
            now = self.clock.now()
            if self.timers.next_due() is not None and self.timers.next_due() <= now:
                if stall:
                    stall.count("timer")
                self.timers.run_due(now)
            elif self._agenda and self._agenda[0][0] <= now:
                heapq.heappop(self._agenda)[2]()
            else:
                kind, security_id, message = self.replay.pop()
                if self._subscribed(kind, security_id):
                    self.last_feed[kind, security_id] = message
                    if self.feed_latency is None:
                        self.deliver(_FEED_CALLBACKS[kind][0], message)
                    else:
                        self.deliver(_FEED_CALLBACKS[kind][0], message, before=lambda: self._stamp(kind, message))
                        self.stamps = None
                if kind == "snapshot":
                    self.matcher.on_book(security_id)
            dirty = True
        if not self._stop:
            self.clock.advance_to(self.end, self._wake)
            if self.sync is not None:
                self.sync()
