"""The yardstick: the market-data callbacks, on_order and
on_algo_child_order_update in plain Python, written from the same description
as the compiled ones, and the near-free engine stubs that both run against:
one set written in Python, one made of C-level objects. Not part of the
package; the benchmark only."""
import copy
import itertools
import operator
from collections import deque
from types import SimpleNamespace

from pyvela import strategy
from pyvela.enums import OrderStatusType

# Bound by install(): the engine's names, as the compiled module binds them.
convert_int_to_datetime = convert_int_to_whole_date = get_exchane_from_vela_mdtype = None
get_side_from_vela_l2_order = get_order_type_from_vela_l2_order = get_l2order_type_from_vela = None
get_trade_type_from_vela = Environment = Event = EVENT = TickObject = L2Order = L2Transaction = SIDE = None
system_log = Trade = ORDER_STATUS = AlgoChildOrder = None
event_queue = None
history_tick = {}
history_bar = {}
orders_dict = {}  # bound to the compiled module's book by the benchmark, so both sides see the same orders
algo_child_orders = {}
published_fills = {}  # client_order_id -> (engine order, cumulative quantity published)


class VelaStrategy(strategy.VelaStrategy):
    def __init__(self):
        super().__init__()
        self.bar_cnt = 0
        self.current_trade_dt = 0

    def on_snapshot(self, snapshot):
        dt = convert_int_to_datetime(snapshot.orig_time / 1000)
        market_code = snapshot.security_id + "." + get_exchane_from_vela_mdtype(snapshot.market_type)
        tick_dict = {
            "market_code": market_code,
            "datetime": dt,
            "open_price": snapshot.open_price,
            "close_price": snapshot.close_price,
            "high_price": snapshot.high_price,
            "low_price": snapshot.low_price,
            "total_turnover": snapshot.total_value_trade,
            "volume": snapshot.total_volume_trade,
            "prev_close": snapshot.pre_close_price,
            "ask_vols": snapshot.ask_volume,
            "asks": snapshot.ask_price,
            "bid_vols": snapshot.bid_volume,
            "bids": snapshot.bid_price,
            "high_limited": snapshot.high_limited,
            "last_price": snapshot.last_price,
            "low_limited": snapshot.low_limited,
            "open_interest": snapshot.open_interest,
            "prev_settlement": snapshot.prev_settlement,
            "iopv": snapshot.iopv,
            "trading_phase_code": snapshot.trading_phase_code,
        }
        if market_code not in history_tick:
            history_tick[market_code] = deque(maxlen=60)
        history_tick[market_code].append(tick_dict)
        instrument = Environment.get_instance().data_proxy.instruments(market_code)
        event = Event(EVENT.TICK, calendar_dt=dt, trading_dt=dt, tick=TickObject(instrument, tick_dict))
        event_queue.append(event)

    def on_tick_order(self, tick_order):
        dt = convert_int_to_datetime(tick_order.order_time / 1000)
        market_code = tick_order.security_id + "." + get_exchane_from_vela_mdtype(tick_order.market_type)
        side = get_side_from_vela_l2_order(chr(tick_order.side), tick_order.market_type)
        l2_order = L2Order.__from_create__(
            tick_order.biz_index, market_code, dt, side, tick_order.order_price, tick_order.order_volume,
            get_order_type_from_vela_l2_order(chr(tick_order.order_type), tick_order.market_type),
            tick_order.orig_order_no,
            get_l2order_type_from_vela(chr(tick_order.order_type), tick_order.market_type))
        event_queue.append(Event(EVENT.L2_ORDER, calendar_dt=dt, trading_dt=dt, l2_order=l2_order))

    def on_tick_trade(self, tick_trade):
        dt = convert_int_to_datetime(tick_trade.trade_time / 1000)
        market_code = tick_trade.security_id + "." + get_exchane_from_vela_mdtype(tick_trade.market_type)
        side = SIDE.BUY if tick_trade.bid_appl_seq_num > tick_trade.offer_appl_seq_num else SIDE.SELL
        l2_transaction = L2Transaction.__from_create__(
            tick_trade.biz_index, market_code, dt, side, tick_trade.trade_price, tick_trade.trade_volume,
            tick_trade.value_trade, get_trade_type_from_vela(chr(tick_trade.trade_type)),
            tick_trade.bid_appl_seq_num, tick_trade.offer_appl_seq_num)
        event_queue.append(Event(EVENT.L2_TRANSACTION, calendar_dt=dt, trading_dt=dt, l2_transaction=l2_transaction))

    def on_bar(self, bar):
        market_code = bar.security_id + "." + get_exchane_from_vela_mdtype(bar.market_type)
        bar_dict = {
            "market_code": market_code,
            "orig_time": convert_int_to_datetime(bar.end_time / 1000),
            "open_price": bar.open,
            "close_price": bar.close,
            "high_price": bar.high,
            "low_price": bar.low,
            "total_turnover": bar.amount,
            "volume": bar.volume,
            "prev_close": bar.prev_close,
        }
        if market_code not in history_bar:
            history_bar[market_code] = deque()
        history_bar[market_code].append(bar_dict)
        t = bar.end_time / 1000
        if self.current_trade_dt == 0 or self.current_trade_dt == t:
            self.bar_cnt += 1
        else:
            self.bar_cnt = 1
        self.current_trade_dt = t
        if self.bar_cnt == len(Environment.get_instance().get_universe()):
            calendar_dt = convert_int_to_whole_date(int(self.current_trade_dt))
            event_queue.append(Event(EVENT.BAR, calendar_dt=calendar_dt, trading_dt=calendar_dt))
            self.bar_cnt = 0


    def on_order(self, order):
        system_log.info(f"on_order:{order.client_order_id}, symbol: {order.security_id}, price:{order.order_price}, "
                        f"status:{order.order_status}, order_qty:{order.order_qty}, trade_qty:{order.trade_qty}, "
                        f"total_trade_value: {order.total_trade_value}, error_msg:{order.error_msg}, "
                        f"last_match_qty: {order.last_match_qty}")
        if order.client_order_id not in orders_dict:
            return
        engine_order = orders_dict[order.client_order_id]
        account = Environment.get_instance().get_account(engine_order.market_code)
        status = order.order_status
        if status == OrderStatusType.UnSend or status == OrderStatusType.Sended:
            engine_order.secondary_order_id = order.counter_order_id
            engine_order.set_frozen_cash(order.frozen_trade_value)
            if order.counter_order_id and order.counter_order_id > 0 and engine_order.status != ORDER_STATUS.ACTIVE:
                engine_order.status = ORDER_STATUS.ACTIVE
                event_queue.append(Event(EVENT.ORDER_CREATION_PASS, account=account,
                                         order=copy.deepcopy(engine_order)))
        elif (status == OrderStatusType.PartiallyFilled or status == OrderStatusType.Filled
              or status == OrderStatusType.PartiallyFilledPartiallyCancelled or status == OrderStatusType.WaitCancelled
              or status == OrderStatusType.PartiallyFilledWaitCancelled or status == OrderStatusType.Cancelled):
            amount = order.last_match_qty
            if amount > 0:
                # A resent report's match is published once.
                filled = order.trade_qty
                seen = published_fills.get(order.client_order_id)
                is_new = seen is None or seen[0] is not engine_order or filled > seen[1]
                if is_new:
                    trade = Trade.__from_create__(
                        order_id=engine_order.order_id, price=order.last_match_price, amount=amount,
                        side=engine_order.side, position_effect=engine_order.position_effect,
                        market_code=engine_order.market_code, frozen_price=engine_order.price)
                engine_order.avg_price = order.total_trade_value / filled
                engine_order.filled_quantity = filled
                engine_order.unfilled_quantity = order.order_qty - filled
                if status == OrderStatusType.Filled:
                    engine_order.status = ORDER_STATUS.FILLED
                elif status == OrderStatusType.PartiallyFilled:
                    engine_order.status = ORDER_STATUS.PARTIALLY_FILLED
                if is_new:
                    event_queue.append(Event(EVENT.TRADE, account=account, trade=trade,
                                             order=copy.deepcopy(engine_order)))
                    published_fills[order.client_order_id] = (engine_order, filled)
            if status == OrderStatusType.PartiallyFilledPartiallyCancelled or status == OrderStatusType.Cancelled:
                engine_order.status = ORDER_STATUS.CANCELLED
                event_queue.append(Event(EVENT.ORDER_CANCELLATION_PASS, account=account,
                                         order=copy.deepcopy(engine_order)))
            elif status == OrderStatusType.PartiallyFilledWaitCancelled or status == OrderStatusType.WaitCancelled:
                if engine_order.filled_quantity > 0:
                    engine_order.status = ORDER_STATUS.PARTIALLY_FILLED
                event_queue.append(Event(EVENT.ORDER_PENDING_CANCEL, account=account,
                                         order=copy.deepcopy(engine_order)))
        elif status == OrderStatusType.Reject:
            engine_order.mark_rejected(str(order.error_code) + "_" + order.error_msg)
            engine_order.set_frozen_cash(order.frozen_trade_value)
            event_queue.append(Event(EVENT.ORDER_UNSOLICITED_UPDATE, account=account,
                                     order=copy.deepcopy(engine_order)))

    def on_algo_child_order_update(self, child_order):
        if child_order.sys_quote_id in algo_child_orders:
            previous = algo_child_orders.get(child_order.sys_quote_id)
        else:
            previous = None
        obj = AlgoChildOrder.from_vela(child_order, previous)
        algo_child_orders[child_order.sys_quote_id] = obj
        event_queue.append(Event(EVENT.CHILD_ORDER_UPDATE, algo_child_order=copy.deepcopy(obj)))


# Near-free engine stubs: each does the least its contract allows.

def _identity(x):
    return x


def _suffix(market_type):
    return "XSHE"


def _map2(code, market_type):
    return code


def _map1(code):
    return code


# Every member the bridge publishes, so the order callbacks run on the stubs too.
_EVENT = type("EVENT", (), {name: name.lower() for name in (
    "TICK L2_ORDER L2_TRANSACTION BAR LOGIN QUERY_ACCOUNT QUERY_POSITION ORDER_CREATION_PASS TRADE "
    "ORDER_CANCELLATION_PASS ORDER_PENDING_CANCEL ORDER_UNSOLICITED_UPDATE ORDER_CANCELLATION_REJECT ALGO_LOGIN "
    "PARENT_ORDER_CREATE PARENT_ORDER_CANCEL PARENT_ORDER_PAUSE PARENT_ORDER_RESUME PARENT_ORDER_UPDATE "
    "CHILD_ORDER_UPDATE CHILD_ORDER_TRADE BEFORE_TRADING OPEN_AUCTION AFTER_TRADING").split()})


class _SIDE:
    BUY, SELL = "buy", "sell"


class _Event:
    __slots__ = ("event_type", "payload")

    def __init__(self, event_type, **payload):
        self.event_type = event_type
        self.payload = payload


class _TickObject:
    __slots__ = ("instrument", "tick")

    def __init__(self, instrument, tick):
        self.instrument = instrument
        self.tick = tick


class _Record:
    __slots__ = ("args",)

    @classmethod
    def __from_create__(cls, *args):
        o = cls.__new__(cls)
        o.args = args
        return o


class _L2Order(_Record):
    __slots__ = ()


class _L2Transaction(_Record):
    __slots__ = ()


class _Trade:
    __slots__ = ("fields",)

    @classmethod
    def __from_create__(cls, **fields):
        o = cls.__new__(cls)
        o.fields = fields
        return o


class _AlgoChildOrder:
    __slots__ = ("sys_quote_id", "trade_qty")

    @classmethod
    def from_vela(cls, message, previous):
        o = cls.__new__(cls)
        o.sys_quote_id = message.sys_quote_id
        o.trade_qty = message.trade_qty
        return o


class _ORDER_STATUS:
    PENDING_NEW, ACTIVE, PARTIALLY_FILLED, FILLED = "PENDING_NEW", "ACTIVE", "PARTIALLY_FILLED", "FILLED"
    PENDING_CANCEL, CANCELLED, REJECTED = "PENDING_CANCEL", "CANCELLED", "REJECTED"


class _Log:
    def info(self, text):
        pass


class _DataProxy:
    def instruments(self, market_code):
        return None


class _Env:
    def __init__(self, universe):
        self.data_proxy = _DataProxy()
        self.universe = universe

    def get_universe(self):
        return self.universe

    def get_account(self, market_code):
        return None


class _Environment:
    instance = None

    @classmethod
    def get_instance(cls):
        return cls.instance


def stubs(universe):
    """The stub engine names, written in Python."""
    _Environment.instance = _Env(list(universe))
    return {
        "convert_int_to_datetime": _identity, "convert_int_to_whole_date": _identity,
        "get_exchane_from_vela_mdtype": _suffix, "get_side_from_vela_l2_order": _map2,
        "get_order_type_from_vela_l2_order": _map2, "get_l2order_type_from_vela": _map2,
        "get_trade_type_from_vela": _map1, "Environment": _Environment, "Event": _Event, "EVENT": _EVENT,
        "TickObject": _TickObject, "L2Order": _L2Order, "L2Transaction": _L2Transaction, "SIDE": _SIDE,
        "system_log": _Log(), "Trade": _Trade, "ORDER_STATUS": _ORDER_STATUS, "AlgoChildOrder": _AlgoChildOrder,
    }


def c_stubs(universe):
    """The same names made of C-level objects: the engine functions are builtins, `Event` is a
    built-in type (dict: each EVENT member is the pairs it starts from), the model factories
    are static methods wrapping builtins, and the environment answers through builtins."""
    env = SimpleNamespace(data_proxy=SimpleNamespace(instruments={}.get),
                          get_universe=itertools.repeat(list(universe)).__next__, get_account={}.get)

    def factory(fn):
        return type("Factory", (), {"__slots__": (), "__from_create__": staticmethod(fn)})

    return {
        "convert_int_to_datetime": abs, "convert_int_to_whole_date": abs,
        "get_exchane_from_vela_mdtype": "XSHE".format,
        "get_side_from_vela_l2_order": {"1": "buy", "B": "buy", "2": "sell", "S": "sell"}.get,
        "get_order_type_from_vela_l2_order": {"1": "market", "2": "limit"}.get,
        "get_l2order_type_from_vela": {"1": "market", "2": "limit"}.get,
        "get_trade_type_from_vela": {"F": "fill", "4": "cancel"}.get,
        "Environment": type("Environment", (), {"get_instance": staticmethod(itertools.repeat(env).__next__)}),
        "Event": dict, "EVENT": SimpleNamespace(**{k: (("event_type", v),) for k, v in vars(_EVENT).items()
                                                  if not k.startswith("_")}),
        "TickObject": slice, "L2Order": factory(itertools.chain), "L2Transaction": factory(itertools.chain),
        "SIDE": _SIDE, "system_log": SimpleNamespace(info=len), "Trade": factory(dict),
        "ORDER_STATUS": _ORDER_STATUS,
        "AlgoChildOrder": type("AlgoChildOrder", (), {"from_vela": staticmethod(operator.is_not)}),
    }


def install(names, queue, orders):
    """Binds the engine names, the event queue and the order book of this module."""
    g = globals()
    g.update(names)
    g["event_queue"] = queue
    g["orders_dict"] = orders
