"""Stand-in for the engine's time-number conversions.

Gateway time stamps are integers YYYYMMDDHHMMSSmmm (17 digits, milliseconds last).
The bridge divides them by 1000, so what arrives here is YYYYMMDDHHMMSS with the
fraction of a second after the point. A float of that size only carries about a
few milliseconds of precision: the fraction is kept as the nearest microsecond of
the number received, and a quotient that rounded up to second 60 carries into the
next minute.
"""
import datetime as _dt
import math


def _split(number):
    if isinstance(number, bool) or not isinstance(number, (int, float)):
        raise TypeError(f"time number must be int or float, not {type(number).__name__}")
    if isinstance(number, float) and not math.isfinite(number):
        raise ValueError(f"time number is not finite: {number!r}")
    whole = int(number)
    us = round((number - whole) * 1_000_000) if isinstance(number, float) else 0
    return whole, us


def _from_whole(whole):
    if not 10**13 <= whole < 10**14:
        raise ValueError(f"not a YYYYMMDDHHMMSS number: {whole!r}")
    s = str(whole)
    seconds = int(s[12:14])
    if seconds > 60:
        raise ValueError(f"not a YYYYMMDDHHMMSS number: {whole!r}")
    minute = _dt.datetime(int(s[:4]), int(s[4:6]), int(s[6:8]), int(s[8:10]), int(s[10:12]))
    return minute + _dt.timedelta(seconds=seconds)


def convert_int_to_datetime(number):
    """YYYYMMDDHHMMSS[.ffffff] -> naive datetime, the fraction kept as microseconds."""
    whole, us = _split(number)
    return _from_whole(whole) + _dt.timedelta(microseconds=us)


def convert_int_to_whole_date(number):
    """Integer YYYYMMDDHHMMSS -> naive datetime of those whole seconds (second 60 carries)."""
    if isinstance(number, bool) or not isinstance(number, int):
        raise TypeError(f"whole date must be int, not {type(number).__name__}")
    return _from_whole(number)
