"""The virtual clock, the timer service, and the bridge's clock following them."""
import datetime as dt
import threading
import time

import numpy as np
import pytest

from corvina.lumen.live import clock as live_clock
from pyvela.sim.clock import VirtualClock
from pyvela.sim.timers import TimerService

T0 = dt.datetime(2024, 3, 15, 8, 59)


@pytest.mark.parametrize("speed", [0, 600.0])
def test_the_clock_only_moves_forward(speed):
    clock = VirtualClock(T0, speed)
    for step in (dt.timedelta(seconds=3), -dt.timedelta(minutes=5), dt.timedelta(0), dt.timedelta(seconds=6)):
        before = clock.now()
        clock.advance_to(before + step)
        assert clock.now() == max(before, before + step)


def test_a_paced_clock_takes_its_real_time_and_stops_early_when_woken():
    clock = VirtualClock(T0, speed=1000.0)
    started = time.monotonic()
    assert clock.advance_to(T0 + dt.timedelta(seconds=100))
    assert time.monotonic() - started >= 0.099 and clock.now() == T0 + dt.timedelta(seconds=100)
    # Woken once time is seen to flow; unwoken, the advance would take ten real days.
    wake, start = threading.Event(), clock.now()
    target = start + dt.timedelta(days=10_000)

    def waker():
        while clock.now() == start:
            time.sleep(0.005)
        wake.set()

    t = threading.Thread(target=waker)
    t.start()
    assert clock.advance_to(target, wake) is False
    t.join()
    assert start < clock.now() < target
    with pytest.raises(ValueError):
        VirtualClock(T0, speed=-1)


@pytest.fixture
def timers():
    clock, lock = VirtualClock(T0), threading.Lock()
    service = TimerService(clock, lock)
    service.start()
    yield clock, lock, service
    service.stop()


def test_timers_run_once_in_due_order_on_their_thread_holding_the_lock(timers):
    clock, lock, service = timers
    seen = []

    def timer(name):
        def callback():
            seen.append((name, clock.now(), threading.current_thread().name, lock.locked()))
        callback.__name__ = name
        return callback

    for name, seconds in (("c", 90), ("a", 30), ("late", -5), ("b", 60)):
        service.add(int(seconds * 1e9), timer(name))
    for second in (0, 30, 60, 60, 120):
        clock.advance_to(T0 + dt.timedelta(seconds=second))
        service.run_due(clock.now())
    assert [s[0] for s in seen] == ["late", "a", "b", "c"]
    assert all(thread == "pyvela-timer" and held for _, _, thread, held in seen)
    assert [when for _, when, _, _ in seen] == sorted(when for _, when, _, _ in seen)
    assert service.next_due() is None and [f[1] for f in service.fired] == ["late", "a", "b", "c"]


def test_a_timer_armed_by_a_timer_for_the_same_time_runs_in_the_same_turn_and_errors_are_kept(timers):
    clock, _, service = timers
    ran = []

    def boom():
        raise RuntimeError("boom")

    service.add(0, lambda: (ran.append(1), service.add(0, lambda: ran.append(2))))
    service.add(0, boom)
    assert service.run_due(clock.now()) == 3
    assert ran == [1, 2] and [(name, str(e)) for _, name, e in service.errors] == [("boom", "boom")]
    with pytest.raises(TypeError):
        service.add(1, "not callable")


def test_run_due_needs_the_thread():
    service = TimerService(VirtualClock(T0), threading.Lock())
    service.add(0, lambda: None)
    with pytest.raises(RuntimeError):
        service.run_due(T0)


def test_the_bridge_module_follows_the_virtual_clock():
    class Module:
        datetime, np = dt.datetime, np

    clock = VirtualClock(T0)
    restore = live_clock.follow(Module, clock)
    clock.advance_to(T0 + dt.timedelta(days=1, hours=1))
    assert Module.datetime.now() == clock.now() and Module.datetime.today() == clock.now()
    assert Module.datetime(2020, 1, 2).year == 2020 and issubclass(Module.datetime, dt.datetime)
    assert Module.np.datetime64("today", "D") == np.datetime64("2024-03-16")
    assert Module.np.datetime64("today") in [np.datetime64("2024-03-16", "D")]
    assert Module.np.datetime64("2001-01-01", "D") == np.datetime64("2001-01-01")
    assert Module.np.arange(3).sum() == 3
    restore()
    assert Module.datetime is dt.datetime and Module.np is np
