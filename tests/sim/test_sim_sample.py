"""The shipped sample and its replay: repeatable, in time order, and the
snapshots and bars agree with the tick-by-tick feed they are built from."""
import collections
import gzip
import importlib.util
import json
from pathlib import Path

import pytest

from pyvela.sim import feed

ROOT = Path(__file__).resolve().parents[2]


def replay_all(sample, windows=None):
    replay, out = feed.Replay(sample, windows), []
    while replay.peek() is not None:
        when = replay.peek()
        out.append((when,) + replay.pop())
    return replay, out


@pytest.fixture(scope="module")
def day(sample):
    return replay_all(sample)


def test_the_script_writes_the_shipped_sample_byte_for_byte(tmp_path):
    loader_def = importlib.util.spec_from_file_location("make_sample", ROOT / "scripts" / "make_sample.py")
    make_sample = importlib.util.module_from_spec(loader_def)
    loader_def.loader.exec_module(make_sample)
    out = tmp_path / "sample.jsonl.gz"
    make_sample.write(str(out), make_sample.generate())
    shipped = ROOT / "standins" / "pyvela" / "pyvela" / "sim" / "data" / "sample.jsonl.gz"
    assert out.read_bytes() == shipped.read_bytes()
    assert shipped.stat().st_size < 400_000


def test_channel_sequences_follow_time(sample):
    last = {}
    for record in sample.records:
        _, ms, index, seq = record[:4]
        assert seq > last.get(index, 0)
        last[index] = seq
    assert {r[0] for r in sample.records} == {"O", "T"}


def test_messages_come_in_time_order_with_the_gateways_codes(day):
    _, items = day
    times = [when for when, *_ in items]
    assert times == sorted(times)
    for _, kind, _, msg in items:
        if kind == "tick_order":
            assert chr(msg.side) in "12" and chr(msg.order_type) in "12U"
        elif kind == "tick_trade":
            assert chr(msg.trade_type) in "F4"
            assert (msg.bid_appl_seq_num and msg.offer_appl_seq_num) if chr(msg.trade_type) == "F" else \
                bool(msg.bid_appl_seq_num) != bool(msg.offer_appl_seq_num)


def test_snapshots_every_three_seconds_with_ten_uncrossed_levels(day, sample):
    _, items = day
    snaps = [(when, m) for when, kind, _, m in items if kind == "snapshot"]
    per_instrument = collections.Counter(m.security_id for _, m in snaps)
    assert set(per_instrument) == {i.security_id for i in sample.instruments}
    assert len(set(per_instrument.values())) == 1
    for when, m in snaps:
        assert m.orig_time == feed.stamp(sample.date, feed.ms_of(when)) and feed.ms_of(when) % 3000 == 0
        for prices, volumes in ((m.bid_price, m.bid_volume), (m.ask_price, m.ask_volume)):
            assert len(prices) == len(volumes) == 10
            shown = [p for p in prices if p]
            assert all(volumes[: len(shown)]) and not any(volumes[len(shown):])
        bids, asks = [p for p in m.bid_price if p], [p for p in m.ask_price if p]
        assert bids == sorted(bids, reverse=True) and asks == sorted(asks)
        if m.trading_phase_code == "T0" and bids and asks:
            assert bids[0] < asks[0]
        assert m.low_limited <= (m.last_price or m.pre_close_price) <= m.high_limited


def test_bars_cover_every_minute_of_every_instrument_and_every_fill(day, sample):
    replay, items = day
    bars = [m for _, kind, _, m in items if kind == "bar"]
    ends = collections.Counter(m.end_time for m in bars)
    assert len(ends) == 240 and set(ends.values()) == {len(sample.instruments)}
    filled = collections.Counter()
    for r in sample.records:
        if r[0] == "T" and r[8] == "F":
            filled[sample.instruments[r[2]].security_id] += r[7]
    for sid, book in replay.books.items():
        mine = [b for b in bars if b.security_id == sid]
        assert sum(b.volume for b in mine) == filled[sid] == book.volume
        assert all(b.low <= min(b.open, b.close) and b.high >= max(b.open, b.close) for b in mine)


@pytest.mark.parametrize("windows", [[(feed.hms(9, 14), feed.hms(9, 45))],
                                     [(feed.hms(10, 0), feed.hms(10, 1)), (feed.hms(14, 59), feed.hms(15, 0))]])
def test_a_shortened_day_delivers_only_its_windows_but_keeps_the_prices(sample, day, windows):
    replay, items = replay_all(sample, windows)
    assert items and all(any(a <= feed.ms_of(w) <= b for a, b in windows) for w, *_ in items)
    full = {(when, kind, sid): m for when, kind, sid, m in day[1] if kind in ("snapshot", "bar")}
    built = [(when, kind, sid, m) for when, kind, sid, m in items if kind in ("snapshot", "bar")]
    assert built
    for when, kind, sid, msg in built:
        assert repr(msg) == repr(full[when, kind, sid])


@pytest.mark.parametrize("ms, code", [(feed.hms(9, 0), "S0"), (feed.hms(9, 15), "O0"), (feed.hms(9, 27), "B0"),
                                      (feed.hms(9, 30), "T0"), (feed.hms(12, 0), "B0"), (feed.hms(14, 57), "C0"),
                                      (feed.hms(15, 0), "E0")])
def test_phase_codes(ms, code):
    assert feed.phase_code(ms) == code
    assert feed.continuous(ms) == (code == "T0")


def test_a_file_that_is_not_a_sample_is_refused(tmp_path):
    bad = tmp_path / "x.jsonl.gz"
    with gzip.open(bad, "wt") as f:
        f.write(json.dumps({"kind": "other"}) + "\n")
    with pytest.raises(ValueError, match="not a sample day"):
        feed.load_sample(str(bad))
