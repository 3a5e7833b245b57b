"""The bridge module's state as the engine sees it: the books it keeps, the
queue it publishes to, the orders the engine files, and a strategy on a
gateway context that accepts every request."""
from types import SimpleNamespace

from numpy_ringbuffer import RingBuffer

from corvina.lumen.utils import ferrule

BOOKS = ("orders_dict", "history_bar", "history_tick", "algo_parent_orders", "algo_child_orders", "algo_child_trades")
GLOBALS = ("vela_params", "event_queue") + BOOKS


def make_config(**base):
    """A live-run configuration object: config.base.<field>."""
    base.setdefault("accounts", {"stock": "acc_atx"})
    base.setdefault("trading_calendar", [])
    return SimpleNamespace(base=SimpleNamespace(**base))


class QuietContext:
    """A gateway context that accepts requests without recording them."""

    def query_asset(self, account):
        pass

    query_position = query_asset


def new_strategy(context=None):
    """A strategy on its own context, or on `context` when given."""
    s = ferrule.VelaStrategy(make_config())
    if context is not None:
        s.context = context
    return s


def file_order(client_order_id=11, order=None, status=None, **attrs):
    """An engine order (a fresh one unless given) filed in orders_dict as the
    engine files the orders it sends; `status` names an ORDER_STATUS member."""
    from corvina.lumen.model.order import Order

    if order is None:
        order = Order("000001.XSHE", 100, 10.0, client_order_id=client_order_id)
    if status is not None:
        order.status = getattr(ferrule.ORDER_STATUS, status)
    vars(order).update(attrs)
    ferrule.orders_dict[client_order_id] = order
    return order


def drain():
    """Takes every event off event_queue (as the engine does). The ring
    buffer's popleft leaves each popped entry referenced in its slot until it
    is overwritten a million appends later: the slots are released too."""
    q = ferrule.event_queue
    out = []
    while len(q):
        out.append(q.popleft())
    if isinstance(q, RingBuffer):
        q._arr[:] = None
    return out


def reset_state():
    for name in BOOKS:
        getattr(ferrule, name).clear()
    ferrule.vela_params.clear()
    ferrule.set_latency(False, "Asia/Shanghai")
    ferrule.reset_stats()
    drain()


def summary(events):
    """[(event name, [payload keys])] of published events."""
    return [(e.event_type.name, list(e.payload)) for e in events]
