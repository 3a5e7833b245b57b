"""Stand-in for the engine's time-number conversions.

Gateway time stamps are integers YYYYMMDDHHMMSSmmm (17 digits, milliseconds last).
The bridge divides them by 1000, so what arrives here is YYYYMMDDHHMMSS with the
fraction of a second after the point. A float of that size only carries about a
millisecond of precision, so the fraction is rounded to whole milliseconds.
"""
import datetime as _dt
import math


def _split(number):
    if isinstance(number, bool) or not isinstance(number, (int, float)):
        raise TypeError(f"time number must be int or float, not {type(number).__name__}")
    if isinstance(number, float) and not math.isfinite(number):
        raise ValueError(f"time number is not finite: {number!r}")
    whole = int(number)
    ms = int(round((number - whole) * 1000)) if isinstance(number, float) else 0
    if ms == 1000:
        whole, ms = whole + 1, 0
    return whole, ms


def _from_whole(whole):
    if not 10**13 <= whole < 10**14:
        raise ValueError(f"not a YYYYMMDDHHMMSS number: {whole!r}")
    s = str(whole)
    return _dt.datetime(int(s[:4]), int(s[4:6]), int(s[6:8]), int(s[8:10]), int(s[10:12]), int(s[12:14]))


def convert_int_to_datetime(number):
    """YYYYMMDDHHMMSS[.fff] -> naive datetime (fraction kept, to the millisecond)."""
    whole, ms = _split(number)
    # A carry from rounding can reach 60 seconds: add it as a timedelta.
    return _from_whole(whole) + _dt.timedelta(milliseconds=ms)


def convert_int_to_whole_date(number):
    """Integer YYYYMMDDHHMMSS -> naive datetime of those whole seconds."""
    if isinstance(number, bool) or not isinstance(number, int):
        raise TypeError(f"whole date must be int, not {type(number).__name__}")
    return _from_whole(number)
