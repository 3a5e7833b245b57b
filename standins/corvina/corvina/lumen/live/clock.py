"""The bridge's clock on a virtual clock: the bridge reads the time through
its module attributes `datetime` (`datetime.now()`) and `np`
(`np.datetime64("today", "D")`), so replacing those two moves its trading-day
events onto the simulated day.

Part of the stand-in for the engine's live-run side."""
import datetime as _dt

import numpy as _np


def virtual_datetime(clock):
    """A datetime subclass whose now() and today() read clock (naive local time)."""

    class VirtualDatetime(_dt.datetime):
        @classmethod
        def now(cls, tz=None):
            t = clock.now()
            return t if tz is None else t.astimezone(tz)

        @classmethod
        def today(cls):
            return clock.now()

    return VirtualDatetime


class VirtualNumpy:
    """numpy, except that datetime64("today", ...) is the clock's date."""

    def __init__(self, clock):
        self._clock = clock

    def datetime64(self, *args, **kwargs):
        if args and isinstance(args[0], str) and args[0] == "today":
            return _np.datetime64(self._clock.today(), *(args[1:] or ("D",)), **kwargs)
        return _np.datetime64(*args, **kwargs)

    def __getattr__(self, name):
        return getattr(_np, name)


def follow(module, clock):
    """Makes module's `datetime` and `np` read clock; returns a function that puts the old ones back."""
    saved = module.datetime, module.np
    module.datetime, module.np = virtual_datetime(clock), VirtualNumpy(clock)

    def restore():
        module.datetime, module.np = saved

    return restore
