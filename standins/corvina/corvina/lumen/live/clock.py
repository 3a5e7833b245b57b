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


def follow_stamps(module, stamps):
    """Makes module's `convert_int_to_datetime` and `convert_int_to_whole_date` give the virtual time of a
    message stamped with real exchange time: stamps() is (exchange stamp, the sample's stamp) of the message
    being delivered, or None. A number from any other stamp converts as before. The bridge's event times
    then stay on the virtual day, while what it measures from the raw stamps sees the real ones. Returns a
    function that puts the old ones back."""
    saved = module.convert_int_to_datetime, module.convert_int_to_whole_date
    to_datetime, to_whole_date = saved

    def convert_int_to_datetime(number):
        pair = stamps()
        # The bridge divides the stamp by 1000 as Python does: the same quotient is the same float.
        if pair is not None and number == pair[0] / 1000:
            number = pair[1] / 1000
        return to_datetime(number)

    def convert_int_to_whole_date(number):
        pair = stamps()
        if pair is not None and number == int(pair[0] / 1000):
            number = int(pair[1] / 1000)
        return to_whole_date(number)

    module.convert_int_to_datetime, module.convert_int_to_whole_date = convert_int_to_datetime, convert_int_to_whole_date

    def restore():
        module.convert_int_to_datetime, module.convert_int_to_whole_date = saved

    return restore
