"""Fixtures for the gateway bridge: a clean module state per test, the events
it published, a configurable clock, and a strategy on a recording gateway."""
import datetime as _dt
import logging
import numpy as _np
import pytest

from bridge_support import drain as drain_queue, make_config, reset_state

from corvina.lumen.utils import ferrule as _ferrule


@pytest.fixture
def ferrule():
    return _ferrule


@pytest.fixture(autouse=True)
def clean_state(monkeypatch):
    reset_state()
    yield
    reset_state()


@pytest.fixture
def universe(monkeypatch):
    """universe(codes) installs a stand-in engine environment with that universe."""
    from corvina.lumen.environment import Environment

    def install(codes=("000001.XSHE",)):
        env = Environment(codes)
        monkeypatch.setattr(Environment, "_instance", env)
        return env
    install()
    return install


@pytest.fixture
def drain():
    """Returns (and removes) every event published so far."""
    return drain_queue


@pytest.fixture
def config():
    return make_config


class FakeClock:
    """Stands in for the module's `datetime` and `np` so a test chooses 'now'."""

    def __init__(self, now):
        self.now = now
        clock = self

        class FakeDatetime(_dt.datetime):
            @classmethod
            def now(cls, tz=None):
                return clock.now

        class FakeNp:
            def datetime64(self, *args):
                if args == ("today", "D"):
                    return _np.datetime64(clock.now.date(), "D")
                return _np.datetime64(*args)

        self.datetime = FakeDatetime
        self.np = FakeNp()


@pytest.fixture
def clock(monkeypatch):
    """clock(dt) makes dt the module's current local time."""

    def set_clock(now):
        fake = FakeClock(now)
        monkeypatch.setattr(_ferrule, "datetime", fake.datetime)
        monkeypatch.setattr(_ferrule, "np", fake.np)
        return fake

    return set_clock


@pytest.fixture
def strategy(config):
    return _ferrule.VelaStrategy(config())


@pytest.fixture
def logs(caplog):
    """The engine's log lines written during the test: logs() -> [(logger, level, text)]."""
    caplog.set_level(logging.DEBUG, logger="corvina")
    return lambda: [(r.name, r.levelname, r.getMessage()) for r in caplog.records]
