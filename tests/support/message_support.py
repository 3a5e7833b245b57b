"""Gateway messages for the bridge tests: one factory per message shape, each
with realistic defaults that a test overrides field by field."""


def make_report(status, client_order_id=11, **fields):
    """A gateway order report; `status` names an OrderStatusType member."""
    from pyvela.enums import OrderStatusType
    from pyvela.messages import OrderReport

    return OrderReport(client_order_id=client_order_id, security_id="000001",
                       order_status=getattr(OrderStatusType, status), **fields)


def fill(status, qty=30, price=10.5, traded=50, value=520, ordered=100, **fields):
    """A report carrying a match of `qty` at `price` and the cumulative figures."""
    return make_report(status, last_match_qty=qty, last_match_price=price, trade_qty=traded,
                       total_trade_value=value, order_qty=ordered, **fields)


STAMP = 20261208093000500  # 2026-12-08 09:30:00.500


def _message(kind, defaults, fields):
    from pyvela import messages
    from pyvela.enums import MarketType

    values = {"security_id": "000001", "market_type": MarketType.SZSE, **defaults}
    values.update(fields)
    return getattr(messages, kind)(**values)


def make_snapshot(**fields):
    """A level-2 snapshot of 000001 (Shenzhen) at STAMP."""
    return _message("Snapshot", {"orig_time": STAMP, "last_price": 10.5, "ask_price": [10.6, 10.7],
                                 "ask_volume": [100, 200], "bid_price": [10.4], "bid_volume": [300]}, fields)


def make_tick_order(**fields):
    """A tick-by-tick buy limit order (side "1", order type "2")."""
    return _message("TickOrder", {"order_time": STAMP, "side": ord("1"), "biz_index": 7, "order_price": 10.5,
                                  "order_volume": 300, "order_type": ord("2"), "orig_order_no": 99}, fields)


def make_tick_trade(**fields):
    """A tick-by-tick fill (trade type "F")."""
    return _message("TickTrade", {"trade_time": STAMP, "bid_appl_seq_num": 101, "offer_appl_seq_num": 100,
                                  "biz_index": 8, "trade_price": 10.5, "trade_volume": 200, "value_trade": 2100.0,
                                  "trade_type": ord("F")}, fields)


def make_bar(end_time=20261208093100000, **fields):
    """A one-minute bar of 000001 ending at `end_time`."""
    return _message("Bar", {"end_time": end_time, "open": 10.0, "close": 10.2, "high": 10.3, "low": 9.9,
                            "amount": 1.0e6, "volume": 100_000, "prev_close": 9.8}, fields)
