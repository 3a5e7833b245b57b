"""Small factories shared by the bridge tests."""
from types import SimpleNamespace


def make_config(**base):
    """A live-run configuration object: config.base.<field>."""
    base.setdefault("accounts", {"stock": "acc_atx"})
    base.setdefault("trading_calendar", [])
    return SimpleNamespace(base=SimpleNamespace(**base))


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


def file_order(ferrule, client_order_id=11, status=None, **attrs):
    """An engine order filed in orders_dict as the engine files the orders it sends."""
    from corvina.lumen.model.order import Order

    order = Order("000001.XSHE", 100, 10.0, client_order_id=client_order_id)
    if status is not None:
        order.status = getattr(ferrule.ORDER_STATUS, status)
    vars(order).update(attrs)
    ferrule.orders_dict[client_order_id] = order
    return order


def summary(events):
    """[(event name, [payload keys])] of published events."""
    return [(e.event_type.name, list(e.payload)) for e in events]
