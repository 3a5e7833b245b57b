"""Market data of the simulated gateway: the sample day's tick-by-tick feed,
replayed in time order, with the level-2 snapshots (every 3 s, ten levels) and
one-minute bars that the gateway derives from the book it rebuilds.

The sample (written by scripts/make_sample.py) is gzip'd JSON lines: a header,
then ["O", ms, instrument, seq, side, price, volume, type] for orders and
["T", ms, instrument, seq, bid_seq, offer_seq, price, volume, type] for trades
(type "F") and cancels (type "4"); ms counts milliseconds since midnight.

Part of the gateway SDK stand-in."""
import datetime as _dt
import gzip
import heapq
import json
import os

from pyvela.enums import MarketType
from pyvela.messages import Bar, Snapshot, TickOrder, TickTrade

SAMPLE_PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "sample.jsonl.gz")
LEVELS = 10


def hms(h, m, s=0):
    return ((h * 60 + m) * 60 + s) * 1000


# Shenzhen-style day: opening call auction, two continuous sessions, closing call auction.
OPEN_AUCTION = (hms(9, 15), hms(9, 25))
CONTINUOUS = ((hms(9, 30), hms(11, 30)), (hms(13, 0), hms(14, 57)))
CLOSE_AUCTION = (hms(14, 57), hms(15, 0))
CLOSE = hms(15, 0)
SNAPSHOT_SESSIONS = ((hms(9, 15), hms(11, 30)), (hms(13, 0), hms(15, 0)))  # both ends included
BAR_SESSIONS = ((hms(9, 30), hms(11, 30)), (hms(13, 0), hms(15, 0)))


def phase_code(ms):
    """The trading phase code of a snapshot at ms (second character 0: not halted)."""
    if ms < OPEN_AUCTION[0]:
        return "S0"
    if ms < OPEN_AUCTION[1]:
        return "O0"
    if any(a <= ms < b for a, b in CONTINUOUS):
        return "T0"
    if CLOSE_AUCTION[0] <= ms < CLOSE_AUCTION[1]:
        return "C0"
    return "E0" if ms >= CLOSE else "B0"


def continuous(ms):
    return any(a <= ms < b for a, b in CONTINUOUS)


def stamp(day, ms):
    """The gateway's time stamp YYYYMMDDHHMMSSmmm of ms after midnight of day."""
    seconds, milli = divmod(ms, 1000)
    h, rest = divmod(seconds, 3600)
    m, s = divmod(rest, 60)
    return ((day.year * 10000 + day.month * 100 + day.day) * 1000000 + h * 10000 + m * 100 + s) * 1000 + milli


def at(day, ms):
    return _dt.datetime.combine(day, _dt.time()) + _dt.timedelta(milliseconds=ms)


def ms_of(moment):
    """Milliseconds since midnight of a date-time (sub-millisecond part dropped)."""
    return ((moment.hour * 60 + moment.minute) * 60 + moment.second) * 1000 + moment.microsecond // 1000


class Instrument:
    __slots__ = ("security_id", "pre_close", "high_limited", "low_limited")

    def __init__(self, security_id, pre_close, limit):
        self.security_id = security_id
        self.pre_close = pre_close
        self.high_limited = round(pre_close * (1 + limit), 2)
        self.low_limited = round(pre_close * (1 - limit), 2)


class Sample:
    def __init__(self, header, records, path):
        self.path = path
        self.date = _dt.date.fromisoformat(header["date"])
        self.market_type = MarketType[header.get("market", "SZSE")]
        self.snapshot_interval_ms = int(header.get("snapshot_interval_ms", 3000))
        self.instruments = [Instrument(i["security_id"], i["pre_close"], i.get("limit", 0.1))
                            for i in header["instruments"]]
        self.records = records


def load_sample(path=None):
    """Reads a sample day (default: the one shipped with the gateway)."""
    path = path or SAMPLE_PATH
    opener = gzip.open if path.endswith(".gz") else open
    with opener(path, "rt", encoding="utf-8") as f:
        header = json.loads(f.readline())
        if header.get("kind") != "corvina-sample-day":
            raise ValueError(f"{path}: not a sample day (header {header.get('kind')!r})")
        records = [json.loads(line) for line in f if line.strip()]
    if any(a[1] > b[1] for a, b in zip(records, records[1:])):
        raise ValueError(f"{path}: messages are not in time order")
    return Sample(header, records, path)


class Book:
    """One instrument's book rebuilt from the feed, with the day's and the
    current bar's figures."""

    def __init__(self, instrument):
        self.instrument = instrument
        self.orders = {}  # seq -> [side, price, remaining, rests]
        self.levels = {"1": {}, "2": {}}  # side -> price -> volume
        self.open = self.high = self.low = self.last = 0.0
        self.volume = 0
        self.value = 0.0
        self.reset_bar()

    def reset_bar(self):
        self.bar_open = self.bar_high = self.bar_low = self.bar_close = None
        self.bar_volume = 0
        self.bar_amount = 0.0

    def _take(self, seq, volume):
        order = self.orders.get(seq)
        if order is None:
            return
        side, price, remaining, rests = order
        volume = min(volume, remaining)
        if rests:
            left = self.levels[side][price] - volume
            if left > 0:
                self.levels[side][price] = left
            else:
                del self.levels[side][price]
        if remaining - volume > 0:
            order[2] = remaining - volume
        else:
            del self.orders[seq]

    def apply_order(self, seq, side, price, volume, kind):
        rests = kind != "1"  # market orders trade or are cancelled at once
        self.orders[seq] = [side, price, volume, rests]
        if rests:
            self.levels[side][price] = self.levels[side].get(price, 0) + volume

    def apply_trade(self, bid, offer, price, volume, kind):
        if kind == "4":
            self._take(bid or offer, volume)
            return
        self._take(bid, volume)
        self._take(offer, volume)
        if not self.open:
            self.open = self.high = self.low = price
        self.high, self.low, self.last = max(self.high, price), min(self.low, price), price
        self.volume += volume
        self.value = round(self.value + price * volume, 2)
        if self.bar_open is None:
            self.bar_open = self.bar_high = self.bar_low = price
        self.bar_high, self.bar_low, self.bar_close = max(self.bar_high, price), min(self.bar_low, price), price
        self.bar_volume += volume
        self.bar_amount = round(self.bar_amount + price * volume, 2)

    def bids(self, depth=LEVELS):
        """[(price, volume)], best first."""
        return [(p, self.levels["1"][p]) for p in heapq.nlargest(depth, self.levels["1"])]

    def asks(self, depth=LEVELS):
        return [(p, self.levels["2"][p]) for p in heapq.nsmallest(depth, self.levels["2"])]

    def reference_price(self):
        return self.last or self.instrument.pre_close


def _padded(levels):
    prices = [p for p, _ in levels] + [0.0] * (LEVELS - len(levels))
    volumes = [v for _, v in levels] + [0] * (LEVELS - len(levels))
    return prices, volumes


class Replay:
    """The feed in time order. peek() gives the time of the next message that
    is delivered, pop() applies everything up to it to the books and returns
    (kind, security_id, message), kind one of "snapshot", "tick_order",
    "tick_trade", "bar". With windows [(start, end), ...] (date-times or ms)
    only messages inside them are delivered; the books still follow the whole
    feed, so a shortened day sees the same prices."""

    def __init__(self, sample, windows=None):
        self.sample = sample
        self.day = sample.date
        self.books = {i.security_id: Book(i) for i in sample.instruments}
        self._windows = [tuple(w if isinstance(w, int) else ms_of(w) for w in pair) for pair in windows or ()]
        self._items = self._merged()
        self._silent = []
        self._next = None
        self._scan()

    def _merged(self):
        n = len(self.sample.instruments)
        step = self.sample.snapshot_interval_ms
        records = ((r[1], 0, r[2], r[3], r) for r in self.sample.records)
        snaps = ((ms, 1, i, 0, None) for a, b in SNAPSHOT_SESSIONS for ms in range(a, b + 1, step) for i in range(n))
        bars = ((ms, 2, i, 0, None) for a, b in BAR_SESSIONS for ms in range(a + 60000, b + 1, 60000)
                for i in range(n))
        return heapq.merge(records, snaps, bars, key=lambda item: item[:4])

    def _delivered(self, item):
        return not self._windows or any(a <= item[0] <= b for a, b in self._windows)

    def _scan(self):
        # Looks ahead to the next delivered item; the ones passed over are applied later, at pop.
        self._next = None
        for item in self._items:
            if self._delivered(item):
                self._next = item
                return
            self._silent.append(item)

    def peek(self):
        return at(self.day, self._next[0]) if self._next is not None else None

    def pop(self):
        for item in self._silent:
            self._apply(item, deliver=False)
        self._silent.clear()
        item = self._next
        if item is None:
            raise IndexError("the replay is over")
        out = self._apply(item, deliver=True)
        self._scan()
        return out

    def _apply(self, item, deliver):
        ms, rank, index, _, record = item
        instrument = self.sample.instruments[index]
        book = self.books[instrument.security_id]
        if rank == 0 and record[0] == "O":
            _, _, _, seq, side, price, volume, kind = record
            book.apply_order(seq, side, price, volume, kind)
            if deliver:
                return "tick_order", instrument.security_id, TickOrder(
                    order_time=stamp(self.day, ms), security_id=instrument.security_id,
                    market_type=self.sample.market_type, side=ord(side), biz_index=seq, order_price=price,
                    order_volume=volume, order_type=ord(kind), orig_order_no=seq)
        elif rank == 0:
            _, _, _, seq, bid, offer, price, volume, kind = record
            book.apply_trade(bid, offer, price, volume, kind)
            if deliver:
                return "tick_trade", instrument.security_id, TickTrade(
                    trade_time=stamp(self.day, ms), security_id=instrument.security_id,
                    market_type=self.sample.market_type, bid_appl_seq_num=bid, offer_appl_seq_num=offer,
                    biz_index=seq, trade_price=price, trade_volume=volume, value_trade=round(price * volume, 2),
                    trade_type=ord(kind))
        elif rank == 1:
            if deliver:
                return "snapshot", instrument.security_id, self._snapshot(ms, book)
        else:
            bar = self._bar(ms, book) if deliver else None
            book.reset_bar()
            if deliver:
                return "bar", instrument.security_id, bar
        return None

    def _snapshot(self, ms, book):
        ins = book.instrument
        bid_price, bid_volume = _padded(book.bids())
        ask_price, ask_volume = _padded(book.asks())
        return Snapshot(
            orig_time=stamp(self.day, ms), security_id=ins.security_id, market_type=self.sample.market_type,
            open_price=book.open, close_price=book.last if ms >= CLOSE else 0.0, high_price=book.high,
            low_price=book.low, total_value_trade=book.value, total_volume_trade=book.volume,
            pre_close_price=ins.pre_close, ask_volume=ask_volume, ask_price=ask_price, bid_volume=bid_volume,
            bid_price=bid_price, high_limited=ins.high_limited, last_price=book.last, low_limited=ins.low_limited,
            open_interest=0, prev_settlement=0.0, iopv=0.0, trading_phase_code=phase_code(ms))

    def _bar(self, ms, book):
        ins = book.instrument
        if book.bar_open is None:  # a minute without trades: a flat bar at the last price
            price = book.reference_price()
            o = h = lo = c = price
        else:
            o, h, lo, c = book.bar_open, book.bar_high, book.bar_low, book.bar_close
        return Bar(security_id=ins.security_id, market_type=self.sample.market_type, end_time=stamp(self.day, ms),
                   open=o, close=c, high=h, low=lo, amount=book.bar_amount, volume=book.bar_volume,
                   prev_close=ins.pre_close)
