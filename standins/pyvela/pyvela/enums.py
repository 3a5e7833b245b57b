"""Stand-in for the gateway SDK's enumerations. Members are integers, as a compiled
SDK's are: `str(OrderStatusType.Filled)` names the member, `format(..., "")` gives the number."""
from enum import Enum

__all__ = ["MDType", "MarketType", "SubscribeDataType", "AlgoType", "TDType", "OrderStatusType", "AlgoControlType"]


class _IntEnum(int, Enum):
    def __str__(self):
        return f"{type(self).__name__}.{self.name}"

    def __format__(self, format_spec):
        return format(self.value, format_spec)


class MDType(_IntEnum):
    VeMD = 1
    AMD = 2


class MarketType(_IntEnum):
    SZSE = 1
    SSE = 2


class SubscribeDataType(_IntEnum):
    Snapshot = 1
    TickOrder = 2
    TickTrade = 3
    Bar = 4


class AlgoType(_IntEnum):
    ATX = 1


class TDType(_IntEnum):
    ATX = 1
    XYZ = 2
    SIM = 3


class OrderStatusType(_IntEnum):
    UnSend = 0
    Sended = 1
    PartiallyFilled = 2
    Filled = 3
    PartiallyFilledPartiallyCancelled = 4
    WaitCancelled = 5
    PartiallyFilledWaitCancelled = 6
    Cancelled = 7
    Reject = 8
    Unknown = 9


class AlgoControlType(_IntEnum):
    Pause = 1
    Resume = 2
    Cancel = 3
