import copy
import datetime as dt

import pytest

from corvina.lumen.core.events import EVENT, Event
from corvina.lumen.utils.datetime_func import convert_int_to_datetime, convert_int_to_whole_date
from corvina.lumen.utils.trade_func import get_exchane_from_vela_mdtype
from pyvela.enums import MarketType, OrderStatusType
from pyvela.messages import Snapshot


@pytest.mark.parametrize("number, expected", [
    (20261208093000.5, dt.datetime(2026, 12, 8, 9, 30, 0, 500000)),
    # A float this large is only a few milliseconds fine: .123 arrives as .12109375.
    (20261208093000123 / 1000, dt.datetime(2026, 12, 8, 9, 30, 0, 121094)),
    (20261208093059999 / 1000, dt.datetime(2026, 12, 8, 9, 31, 0)),  # rounded up to second 60
    (20261208093000, dt.datetime(2026, 12, 8, 9, 30)),
])
def test_time_numbers(number, expected):
    assert convert_int_to_datetime(number) == expected


def test_whole_date_and_garbage():
    assert convert_int_to_whole_date(20261208150000) == dt.datetime(2026, 12, 8, 15)
    for bad in (float("nan"), "20261208", 123, 20261208093061):
        with pytest.raises((TypeError, ValueError)):
            convert_int_to_datetime(bad)


def test_exchange_suffixes_and_enum_text():
    assert get_exchane_from_vela_mdtype(MarketType.SZSE) == "XSHE"
    assert get_exchane_from_vela_mdtype(MarketType.SSE) == "XSHG"
    assert str(OrderStatusType.Filled) == "OrderStatusType.Filled" and format(OrderStatusType.Filled, "") == "3"


def test_messages_have_fixed_attributes_and_events_keep_payload_order():
    snap = Snapshot(security_id="000001")
    assert not hasattr(snap, "__dict__")
    with pytest.raises(AttributeError):
        snap.bogus = 1
    e = Event(EVENT.TICK, calendar_dt=1, trading_dt=2, tick=3)
    assert list(e.payload) == ["calendar_dt", "trading_dt", "tick"] and e.tick == 3
    assert list(copy.deepcopy(e).payload) == ["calendar_dt", "trading_dt", "tick"]
