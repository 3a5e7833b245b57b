"""The yardstick: the four market-data callbacks in plain Python, written from
the same description as the compiled ones, and the near-free engine stubs that
both run against. Not part of the package; the benchmark only."""
from collections import deque

from pyvela import strategy

# Bound by install(): the engine's names, as the compiled module binds them.
convert_int_to_datetime = convert_int_to_whole_date = get_exchane_from_vela_mdtype = None
get_side_from_vela_l2_order = get_order_type_from_vela_l2_order = get_l2order_type_from_vela = None
get_trade_type_from_vela = Environment = Event = EVENT = TickObject = L2Order = L2Transaction = SIDE = None
event_queue = None
history_tick = {}
history_bar = {}


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
    """The stub engine names and a plain deque as the event queue."""
    _Environment.instance = _Env(list(universe))
    return {
        "convert_int_to_datetime": _identity, "convert_int_to_whole_date": _identity,
        "get_exchane_from_vela_mdtype": _suffix, "get_side_from_vela_l2_order": _map2,
        "get_order_type_from_vela_l2_order": _map2, "get_l2order_type_from_vela": _map2,
        "get_trade_type_from_vela": _map1, "Environment": _Environment, "Event": _Event, "EVENT": _EVENT,
        "TickObject": _TickObject, "L2Order": _L2Order, "L2Transaction": _L2Transaction, "SIDE": _SIDE,
    }


def install(names, queue):
    """Binds the engine names and the event queue of this module."""
    g = globals()
    g.update(names)
    g["event_queue"] = queue
