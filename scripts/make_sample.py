#!/usr/bin/env python3
"""Writes the sample trading day that the simulated gateway replays.

A small exchange is simulated with a fixed seed: random order flow around a
drifting fair value, an opening call auction (09:15-09:25), continuous
matching with price-time priority (09:30-11:30, 13:00-14:57) and a closing
call auction (14:57-15:00). What is written is the tick-by-tick feed of a
Shenzhen-style channel: orders (side "1"/"2", type "1" market, "2" limit,
"U" best of own side) and trades (type "F" fill, "4" cancel). The gateway
rebuilds the book from it for its 3-second snapshots and one-minute bars.

File: gzip'd JSON lines. The first line is the header; then one array per
message, in time order:

    ["O", ms, instrument, seq, side, price, volume, type]
    ["T", ms, instrument, seq, bid_seq, offer_seq, price, volume, type]

ms counts milliseconds since midnight, instrument indexes the header's list,
seq is the instrument's channel sequence (orders and trades share it; an
order's seq is its order number). The output depends on the seed alone: run it
twice and the bytes are the same.

    python scripts/make_sample.py [--out FILE] [--seed N]
"""
import argparse
import gzip
import heapq
import io
import json
import math
import os
import random
import sys
from collections import deque

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_OUT = os.path.join(HERE, "..", "standins", "pyvela", "pyvela", "sim", "data", "sample.jsonl.gz")

DATE = "2024-03-15"
SEED = 20240315
# security_id, previous close, order arrivals per second, drift over the day
INSTRUMENTS = [
    ("000001", 10.52, 0.30, 0.012),
    ("000858", 142.30, 0.22, -0.008),
    ("002415", 31.85, 0.25, 0.020),
    ("300750", 178.60, 0.20, 0.004),
]
TICK = 0.01


def hms(h, m, s=0):
    return ((h * 60 + m) * 60 + s) * 1000


OPEN_AUCTION = (hms(9, 15), hms(9, 25))
NO_CANCEL_FROM = hms(9, 20)  # the last five minutes of the opening auction take no cancels
CONTINUOUS = [(hms(9, 30), hms(11, 30)), (hms(13, 0), hms(14, 57))]
CLOSE_AUCTION = (hms(14, 57), hms(15, 0))


def to_ticks(price):
    return int(round(price / TICK))


def from_ticks(ticks):
    return round(ticks * TICK, 2)


class Exchange:
    """One instrument's order book and the feed it writes."""

    def __init__(self, index, pre_close, out):
        self.index = index
        self.pre_close = to_ticks(pre_close)
        limit = 0.2 if INSTRUMENTS[index][0].startswith("3") else 0.1
        self.up = to_ticks(pre_close * (1 + limit))
        self.down = to_ticks(pre_close * (1 - limit))
        self.out = out
        self.seq = 0
        self.orders = {}  # seq -> [side, price ticks, remaining]
        self.levels = {"1": {}, "2": {}}  # side -> price ticks -> deque of seqs
        self.last = self.pre_close

    def _next_seq(self):
        self.seq += 1
        return self.seq

    def best(self, side):
        levels = self.levels[side]
        if not levels:
            return None
        return max(levels) if side == "1" else min(levels)

    def _rest(self, seq, side, price):
        self.levels[side].setdefault(price, deque()).append(seq)

    def _unrest(self, seq):
        side, price, _ = self.orders[seq]
        queue = self.levels[side][price]
        queue.remove(seq)
        if not queue:
            del self.levels[side][price]

    def _trade(self, ms, bid, offer, price, volume):
        self.out.append(["T", ms, self.index, self._next_seq(), bid, offer, from_ticks(price), volume, "F"])
        self.last = price
        for seq in (bid, offer):
            self.orders[seq][2] -= volume
            if self.orders[seq][2] == 0:
                if seq in self.levels[self.orders[seq][0]].get(self.orders[seq][1], ()):
                    self._unrest(seq)
                del self.orders[seq]

    def _cancel_record(self, ms, seq, volume):
        side = self.orders[seq][0]
        bid, offer = (seq, 0) if side == "1" else (0, seq)
        self.out.append(["T", ms, self.index, self._next_seq(), bid, offer, 0.0, volume, "4"])

    def order(self, ms, side, price, volume, kind, matching):
        """A new order; kind "2" limit, "1" market, "U" best of own side. Returns its seq or None."""
        if kind == "U":
            price = self.best(side)
            if price is None:
                return None
        elif kind == "2":
            price = min(max(price, self.down), self.up)
        seq = self._next_seq()
        self.out.append(["O", ms, self.index, seq, side, from_ticks(price) if kind != "1" else 0.0, volume, kind])
        self.orders[seq] = [side, price, volume]
        if not matching:
            self._rest(seq, side, price)
            return seq
        other = "2" if side == "1" else "1"
        while self.orders.get(seq) and self.levels[other]:
            best = self.best(other)
            if kind == "2" and (best > price if side == "1" else best < price):
                break
            resting = self.levels[other][best][0]
            volume = min(self.orders[seq][2], self.orders[resting][2])
            bid, offer = (seq, resting) if side == "1" else (resting, seq)
            self._trade(ms, bid, offer, best, volume)
        if seq in self.orders:
            if kind == "1":  # a market order's remainder is cancelled at once
                self._cancel_record(ms, seq, self.orders[seq][2])
                del self.orders[seq]
                return None
            self._rest(seq, side, price)
        return seq

    def cancel(self, ms, seq):
        if seq not in self.orders:
            return
        self._cancel_record(ms, seq, self.orders[seq][2])
        self._unrest(seq)
        del self.orders[seq]

    def uncross(self, ms):
        """Call auction: one price that trades the most volume, then time priority."""
        bids, asks = self.levels["1"], self.levels["2"]
        if not bids or not asks or max(bids) < min(asks):
            return

        def volume_at(side, p):
            levels = self.levels[side]
            keep = (lambda q: q >= p) if side == "1" else (lambda q: q <= p)
            return sum(self.orders[s][2] for q, queue in levels.items() if keep(q) for s in queue)

        candidates = sorted(set(bids) | set(asks))
        scored = [(min(volume_at("1", p), volume_at("2", p)), -abs(p - self.last), p) for p in candidates]
        volume, _, price = max(scored)
        if volume == 0:
            return
        while volume > 0:
            b, a = self.best("1"), self.best("2")
            if b is None or a is None or b < price or a > price:
                break
            bid, offer = bids[b][0], asks[a][0]
            qty = min(self.orders[bid][2], self.orders[offer][2], volume)
            self._trade(ms, bid, offer, price, qty)
            volume -= qty


def lots(rng):
    n = 1
    while rng.random() < 0.72 and n < 80:
        n += 1
    return 100 * n


def poisson(rng, lam):
    limit, k, p = math.exp(-lam), 0, 1.0
    while True:
        p *= rng.random()
        if p <= limit:
            return k
        k += 1


def simulate(index, rng, out):
    security_id, pre_close, rate, drift = INSTRUMENTS[index]
    ex = Exchange(index, pre_close, out)
    fair = math.log(pre_close)
    sigma = 0.018 / math.sqrt(4 * 3600)
    cancels = []  # heap of (ms, seq)

    def phase(ms):
        if OPEN_AUCTION[0] <= ms < OPEN_AUCTION[1]:
            return "auction"
        if CLOSE_AUCTION[0] <= ms < CLOSE_AUCTION[1]:
            return "closing"
        if any(a <= ms < b for a, b in CONTINUOUS):
            return "continuous"
        return None

    seconds = [s for s in range(OPEN_AUCTION[0] // 1000, CLOSE_AUCTION[1] // 1000) if phase(s * 1000)]
    steps = len([s for s in seconds if phase(s * 1000) == "continuous"])
    for second in seconds:
        start = second * 1000
        kind_of_phase = phase(start)
        if kind_of_phase == "continuous":
            fair += drift / steps + sigma * rng.gauss(0, 1)
        value = to_ticks(math.exp(fair))
        matching = kind_of_phase == "continuous"
        # Cancels due this second and new orders, in time order, so the channel sequence follows time.
        due = []
        while cancels and cancels[0][0] < start + 1000:
            due.append(heapq.heappop(cancels))
        arrivals = sorted([(start + rng.randrange(1000), 0) for _ in range(poisson(rng, rate))] + due)
        for ms, seq in arrivals:
            if seq:
                if kind_of_phase == "continuous" or (kind_of_phase == "auction" and ms < NO_CANCEL_FROM):
                    ex.cancel(ms, seq)
                continue
            bid, ask = ex.best("1"), ex.best("2")
            mid = (bid + ask) / 2 if bid and ask else ex.last
            lean = max(-0.3, min(0.3, (value - mid) / max(mid, 1) * 200))
            side = "1" if rng.random() < 0.5 + lean else "2"
            sign = 1 if side == "1" else -1
            spread = max(1, int(value * 0.0012))
            r = rng.random()
            if matching and r < 0.06:
                kind, price = "1", 0
            elif matching and r < 0.10:
                kind, price = "U", 0
            elif matching and r < 0.38:
                opposite = ask if side == "1" else bid
                kind, price = "2", (opposite if opposite else value) + sign * rng.randrange(0, 3)
            elif matching:
                kind, price = "2", value - sign * (1 + int(rng.expovariate(1 / spread)))
            else:  # auction orders scatter around the fair value on both sides, so the book crosses
                kind, price = "2", value + int(round(rng.gauss(0, 3 * spread)))
            seq = ex.order(ms, side, price, lots(rng), kind, matching)
            if seq is not None and seq in ex.orders and rng.random() < 0.55:
                heapq.heappush(cancels, (ms + 1000 + int(rng.expovariate(1 / 90_000)), seq))
        if start + 1000 == OPEN_AUCTION[1] or start + 1000 == CLOSE_AUCTION[1]:
            ex.uncross(start + 1000)


def generate(seed=SEED):
    """The sample's lines (header first), as text."""
    rng = random.Random(seed)
    records = []
    for index in range(len(INSTRUMENTS)):
        out = []
        simulate(index, random.Random(rng.getrandbits(64)), out)
        records.extend(out)
    records.sort(key=lambda r: (r[1], r[2], r[3]))
    header = {
        "kind": "corvina-sample-day", "version": 1, "date": DATE, "seed": seed, "market": "SZSE",
        "snapshot_interval_ms": 3000,
        "instruments": [{"security_id": s, "pre_close": p, "limit": 0.2 if s.startswith("3") else 0.1}
                        for s, p, _, _ in INSTRUMENTS],
    }
    lines = [json.dumps(header, separators=(",", ":"))]
    lines.extend(json.dumps(r, separators=(",", ":")) for r in records)
    return lines


def write(path, lines):
    raw = io.BytesIO()
    # mtime 0 and no file name in the gzip header: the same input gives the same bytes.
    with gzip.GzipFile(filename="", mode="wb", fileobj=raw, mtime=0, compresslevel=9) as gz:
        gz.write(("\n".join(lines) + "\n").encode())
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with open(path, "wb") as f:
        f.write(raw.getvalue())
    return len(raw.getvalue())


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default=DEFAULT_OUT, help="where to write (default: the gateway's sample)")
    parser.add_argument("--seed", type=int, default=SEED)
    args = parser.parse_args(argv)
    lines = generate(args.seed)
    size = write(args.out, lines)
    print(f"{os.path.normpath(args.out)}: {len(lines) - 1} messages, {size} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
