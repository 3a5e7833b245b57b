"""Stand-in for the engine's events: an event is a type and a keyword payload."""
from enum import Enum


class EVENT(Enum):
    TICK = "tick"
    L2_ORDER = "l2_order"
    L2_TRANSACTION = "l2_transaction"
    BAR = "bar"
    LOGIN = "login"
    QUERY_ACCOUNT = "query_account"
    QUERY_POSITION = "query_position"
    ORDER_CREATION_PASS = "order_creation_pass"
    TRADE = "trade"
    ORDER_CANCELLATION_PASS = "order_cancellation_pass"
    ORDER_PENDING_CANCEL = "order_pending_cancel"
    ORDER_UNSOLICITED_UPDATE = "order_unsolicited_update"
    ORDER_CANCELLATION_REJECT = "order_cancellation_reject"
    ALGO_LOGIN = "algo_login"
    PARENT_ORDER_CREATE = "parent_order_create"
    PARENT_ORDER_CANCEL = "parent_order_cancel"
    PARENT_ORDER_PAUSE = "parent_order_pause"
    PARENT_ORDER_RESUME = "parent_order_resume"
    PARENT_ORDER_UPDATE = "parent_order_update"
    CHILD_ORDER_UPDATE = "child_order_update"
    CHILD_ORDER_TRADE = "child_order_trade"
    BEFORE_TRADING = "before_trading"
    OPEN_AUCTION = "open_auction"
    AFTER_TRADING = "after_trading"


class Event:
    """`Event(EVENT.X, **payload)`; payload keys keep their keyword order and read as attributes."""

    __slots__ = ("event_type", "payload")

    def __init__(self, event_type, **payload):
        self.event_type = event_type
        self.payload = payload

    def __getattr__(self, name):
        # A copy or unpickle probes attributes before `payload` is set: no recursion then.
        try:
            return object.__getattribute__(self, "payload")[name]
        except (KeyError, AttributeError):
            raise AttributeError(name) from None

    def __repr__(self):
        fields = ", ".join(f"{k}={v!r}" for k, v in self.payload.items())
        return f"Event({self.event_type.name}{', ' if fields else ''}{fields})"
