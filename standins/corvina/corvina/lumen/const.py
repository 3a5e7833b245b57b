"""Stand-in for the engine's constants."""
from enum import Enum


class ORDER_STATUS(Enum):
    PENDING_NEW = "PENDING_NEW"
    ACTIVE = "ACTIVE"
    PARTIALLY_FILLED = "PARTIALLY_FILLED"
    FILLED = "FILLED"
    PENDING_CANCEL = "PENDING_CANCEL"
    CANCELLED = "CANCELLED"
    REJECTED = "REJECTED"


class POSITION_DIRECTION(Enum):
    LONG = "LONG"
    SHORT = "SHORT"


class SIDE(Enum):
    BUY = "BUY"
    SELL = "SELL"


class POSITION_EFFECT(Enum):
    OPEN = "OPEN"
    CLOSE = "CLOSE"
