import datetime as dt

import numpy as np
import pytest

from bridge_support import make_config

NS = 1_000_000_000
DAY = dt.date(2026, 12, 8)


def at(h, m=0, s=0, us=0):
    return dt.datetime.combine(DAY, dt.time(h, m, s, us))


def started(ferrule, clock, now, calendar=(DAY,)):
    clock(now)
    s = ferrule.VelaStrategy(make_config(trading_calendar=[np.datetime64(d, "D") for d in calendar]))
    s.set_timer()
    return s


def armed(s):
    return [(interval, cb.__name__) for interval, cb in s.context.timers]


def until(now, target):
    return int((target - now).total_seconds() * NS)


@pytest.mark.parametrize("now, expected", [
    (at(8, 30), [(30 * 60 * NS, "send_before_trading_event"), (54 * 60 * NS, "send_open_auction_event"),
                 (7 * 3600 * NS, "send_after_trading_event")]),
    (at(10), [(3 * NS, "send_before_trading_event"), (5 * 3600 * NS + 30 * 60 * NS, "send_after_trading_event")]),
    (at(16), [(3 * NS, "send_before_trading_event"), (20 * NS, "send_after_trading_event")]),
    (at(9), [(3 * NS, "send_before_trading_event"), (24 * 60 * NS, "send_open_auction_event"),
             (6.5 * 3600 * NS, "send_after_trading_event")]),
    (at(9, 25), [(3 * NS, "send_before_trading_event"), (-60 * NS, "send_open_auction_event"),
                 (until(at(9, 25), at(15, 30)), "send_after_trading_event")]),
    (at(9, 26, 59, 999999), [(3 * NS, "send_before_trading_event"),
                             (until(at(9, 26, 59, 999999), at(9, 24)), "send_open_auction_event"),
                             (until(at(9, 26, 59, 999999), at(15, 30)), "send_after_trading_event")]),
    (at(7), [(2 * 3600 * NS, "send_before_trading_event"), (144 * 60 * NS, "send_open_auction_event"),
             (510 * 60 * NS, "send_after_trading_event")]),
])
def test_day_timers(ferrule, clock, now, expected):
    s = started(ferrule, clock, now)
    got = armed(s)
    assert got[:-1] == expected and all(type(i) is int for i, _ in got)
    next_run = dt.datetime.combine(DAY + dt.timedelta(days=1), dt.time(8))
    assert got[-1] == (until(now, next_run), "set_timer")


def test_started_at_seven_next_run_is_25_hours_ahead(ferrule, clock):
    s = started(ferrule, clock, at(7))
    assert armed(s)[-1] == (25 * 3600 * NS, "set_timer")


def test_interval_truncates_toward_zero(ferrule, clock):
    s = started(ferrule, clock, at(9, 24, 0, 1))  # 1 microsecond past the auction
    assert armed(s)[1] == (-1000, "send_open_auction_event")
    s = started(ferrule, clock, at(8, 59, 59, 999999))
    assert armed(s)[0] == (1000, "send_before_trading_event")


def test_non_trading_day(ferrule, clock, logs):
    calendar = [np.datetime64("2026-12-08", "D")]
    s = started(ferrule, clock, dt.datetime(2026, 12, 7, 8, 30), calendar=[dt.date(2026, 12, 8)])
    assert [name for _, name in armed(s)] == ["set_timer"]
    assert logs() == [("corvina.system", "INFO", "2026-12-07 not trade day... " + str(calendar))]


def test_timer_callbacks_publish_day_events(ferrule, clock, strategy, drain):
    now = at(15, 30)
    clock(now)
    ferrule.orders_dict["o1"] = object()
    for send, member in [(strategy.send_before_trading_event, "BEFORE_TRADING"),
                         (strategy.send_open_auction_event, "OPEN_AUCTION"),
                         (strategy.send_after_trading_event, "AFTER_TRADING")]:
        assert send() is None
    events = drain()
    assert [e.event_type for e in events] == [ferrule.EVENT.BEFORE_TRADING, ferrule.EVENT.OPEN_AUCTION,
                                              ferrule.EVENT.AFTER_TRADING]
    for e in events:
        assert list(e.payload) == ["calendar_dt", "trading_dt"] and e.calendar_dt == e.trading_dt == now
    assert ferrule.orders_dict == {}


def test_failing_listener_still_arms_the_next_morning(ferrule, clock):
    clock(at(8, 30))
    s = ferrule.VelaStrategy(make_config())
    del s.config.base.trading_calendar
    with pytest.raises(AttributeError) as info:
        s.set_timer()
    assert "trading_calendar" in str(info.value)
    assert [name for _, name in armed(s)] == ["set_timer"]


def test_gateway_error_midway_keeps_armed_timers_and_the_chain(ferrule, clock):
    clock(at(8, 30))
    s = ferrule.VelaStrategy(make_config(trading_calendar=[np.datetime64(DAY, "D")]))
    real = s.context.add_timer_interval
    calls = []

    def flaky(interval, callback):
        calls.append(callback.__name__)
        if callback.__name__ == "send_open_auction_event":
            raise ConnectionError("timer service down")
        return real(interval, callback)

    s.context.add_timer_interval = flaky
    with pytest.raises(ConnectionError, match="timer service down"):
        s.set_timer()
    assert [name for _, name in armed(s)] == ["send_before_trading_event", "set_timer"]


def test_when_arming_the_next_run_fails_too_both_errors_are_kept(ferrule, clock):
    clock(at(8, 30))
    s = ferrule.VelaStrategy(make_config())
    del s.config.base.trading_calendar

    def down(interval, callback):
        raise ConnectionError("timer service down")

    s.context.add_timer_interval = down
    with pytest.raises(ConnectionError) as info:
        s.set_timer()
    assert isinstance(info.value.__context__, AttributeError)


def test_send_day_event_by_keyword(ferrule, strategy, drain):
    strategy.send_day_event(dt="when", event_type=ferrule.EVENT.OPEN_AUCTION)
    (e,) = drain()
    assert e.event_type is ferrule.EVENT.OPEN_AUCTION and e.calendar_dt == "when"
