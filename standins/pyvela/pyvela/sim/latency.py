"""How late market data reaches the gateway's client: a log-normal delay
model, and the exchange's time stamps that carry it.

With a FeedLatency the simulated gateway stamps each market-data message with
the exchange-local time (Asia/Shanghai) of the real wall clock at sending
minus a drawn delay, so a receiver that subtracts the stamp from its own wall
clock finds that delay.

Part of the gateway SDK stand-in."""
import datetime as _dt
import math
import random
import re
from statistics import NormalDist

EXCHANGE_ZONE_NAME = "Asia/Shanghai"
_Z99 = NormalDist().inv_cdf(0.99)
_UNITS = {"": 1.0, "s": 1.0, "ms": 1e-3, "us": 1e-6, "µs": 1e-6}


def exchange_zone():
    """The exchange's zone: the tz database's, else its fixed offset (UTC+8, without daylight saving since
    1991) where the machine has no tz database."""
    try:
        from zoneinfo import ZoneInfo, ZoneInfoNotFoundError
    except ImportError:  # pragma: no cover - CPython always has zoneinfo
        return _dt.timezone(_dt.timedelta(hours=8), EXCHANGE_ZONE_NAME)
    try:
        return ZoneInfo(EXCHANGE_ZONE_NAME)
    except ZoneInfoNotFoundError:
        return _dt.timezone(_dt.timedelta(hours=8), EXCHANGE_ZONE_NAME)


EXCHANGE_ZONE = exchange_zone()


def exchange_stamp(epoch_ms, zone=EXCHANGE_ZONE):
    """The gateway's stamp YYYYMMDDhhmmssmmm of a moment given in milliseconds since the epoch, in the
    exchange's local time."""
    seconds, milli = divmod(epoch_ms, 1000)
    t = _dt.datetime.fromtimestamp(seconds, zone)
    return (((t.year * 100 + t.month) * 100 + t.day) * 1_000_000 + (t.hour * 100 + t.minute) * 100
            + t.second) * 1000 + milli


def parse_duration(text):
    """'20ms', '500us', '0.02' or '0.02s' -> seconds."""
    m = re.fullmatch(r"\s*([0-9]*\.?[0-9]+(?:[eE][-+]?[0-9]+)?)\s*(s|ms|us|µs)?\s*", text)
    if m is None:
        raise ValueError(f"not a duration: {text!r} (seconds, or a number with s, ms or us)")
    return float(m.group(1)) * _UNITS[m.group(2) or ""]


class FeedLatency:
    """Log-normal delays in seconds with the given median and 99th percentile;
    seed makes the sequence of draws repeatable."""

    def __init__(self, median, p99, seed=None):
        median, p99 = float(median), float(p99)
        if not (math.isfinite(median) and math.isfinite(p99)) or median <= 0:
            raise ValueError(f"the median delay must be a positive number of seconds, not {median!r}")
        if p99 < median:
            raise ValueError(f"the 99th percentile ({p99!r} s) must not be below the median ({median!r} s)")
        self.median, self.p99, self.seed = median, p99, seed
        self.mu = math.log(median)
        self.sigma = math.log(p99 / median) / _Z99
        self._random = random.Random(seed)

    @classmethod
    def parse(cls, text, seed=None):
        """'MEDIAN,P99', each a duration as parse_duration reads it: '20ms,80ms'."""
        parts = text.split(",")
        if len(parts) != 2:
            raise ValueError(f"not MEDIAN,P99: {text!r}")
        return cls(parse_duration(parts[0]), parse_duration(parts[1]), seed)

    def draw(self):
        """The next delay, in seconds."""
        if self.sigma == 0.0:
            return self.median
        return self._random.lognormvariate(self.mu, self.sigma)

    def quantile(self, q):
        """The model's q-quantile (0 < q < 1), in seconds."""
        return math.exp(self.mu + self.sigma * NormalDist().inv_cdf(q))

    def __repr__(self):
        return f"FeedLatency(median={self.median!r}, p99={self.p99!r}, seed={self.seed!r})"
