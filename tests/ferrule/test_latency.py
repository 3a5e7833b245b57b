"""The latency histograms: callback times and market-data ages, bounded by
clock reads taken around each call, so no bound is a guess about speed."""
import datetime as dt
import math
import time
import zoneinfo
from types import SimpleNamespace

import pytest
from message_support import STAMP, make_bar, make_snapshot, make_tick_order, make_tick_trade
from pyvela.sim.latency import exchange_stamp

ERROR = 1 / 64  # a bucket's width relative to its lower bound
SHANGHAI = dt.timezone(dt.timedelta(hours=8))

KINDS = [
    ("snapshot", "on_snapshot", lambda t: make_snapshot(orig_time=t)),
    ("tick_order", "on_tick_order", lambda t: make_tick_order(order_time=t)),
    ("tick_trade", "on_tick_trade", lambda t: make_tick_trade(trade_time=t)),
    ("bar", "on_bar", lambda t: make_bar(end_time=t)),
]


def stamp_at(t, zone=SHANGHAI):
    """The exchange's stamp (whole milliseconds) of wall time t, and the time it stands for."""
    ms = math.floor(t * 1000)
    return exchange_stamp(ms, zone), ms / 1000


def send_aged(strategy, callback, make, delay, zone=SHANGHAI):
    """Calls callback with a message stamped delay seconds ago: the age lies in the returned bounds."""
    before = time.time()
    stamp, sent = stamp_at(before - delay, zone)
    getattr(strategy, callback)(make(stamp))
    return before - sent, time.time() - sent


@pytest.mark.parametrize("kind, callback, make", KINDS)
def test_ages_are_found_within_the_histograms_error(strategy, ferrule, universe, drain, kind, callback, make):
    ferrule.set_latency(True)
    low, high = [], []
    for delay in [0.002, 0.03, 0.4, 2.5, 40.0] * 3:
        lo, hi = send_aged(strategy, callback, make, delay)
        low.append(lo)
        high.append(hi)
    row = ferrule.stats()["latency"]["ages"][kind]
    assert (row["count"], row["negative"], row["unstamped"]) == (15, 0, 0)
    low.sort()
    high.sort()
    for q, rank in [("p50", 8), ("p90", 14), ("p99", 15), ("p99.9", 15)]:
        assert low[rank - 1] * (1 - ERROR) <= row[q] <= high[rank - 1] * (1 + ERROR), q
    assert low[-1] <= row["max"] <= high[-1]
    calls = ferrule.stats()["latency"]["callbacks"][callback]
    assert calls["count"] == 15 and 0 < calls["p50"] <= calls["max"]


def test_off_by_default_and_off_again(strategy, ferrule, universe, drain):
    assert not ferrule.latency_enabled()
    strategy.on_snapshot(make_snapshot())
    assert ferrule.stats()["latency"]["callbacks"]["on_snapshot"]["count"] == 0
    ferrule.set_latency(1)
    assert ferrule.latency_enabled() is True and ferrule.stats()["latency"]["enabled"] is True
    strategy.on_snapshot(make_snapshot())
    ferrule.set_latency(False)
    strategy.on_snapshot(make_snapshot())
    assert ferrule.stats()["latency"]["callbacks"]["on_snapshot"]["count"] == 1
    ferrule.reset_stats()
    row = ferrule.stats()["latency"]["callbacks"]["on_snapshot"]
    assert row == {"count": 0, "p50": None, "p90": None, "p99": None, "p99.9": None, "max": None, "negative": 0}


@pytest.mark.parametrize("stamp, negative, unstamped, refused", [
    ("future", 1, 0, None),                 # clock skew: counted apart, never in the histogram
    (20261301093000000, 0, 1, ValueError),  # month 13
    (20260230093000000, 0, 1, ValueError),  # 30 February
    (20261208250000000, 0, 1, ValueError),  # hour 25
    (2**70, 0, 1, ValueError),              # past 64 bits
    (20261208093000000.0, 0, 1, None),      # not an int
])
def test_stamps_that_give_no_age(strategy, ferrule, universe, drain, stamp, negative, unstamped, refused):
    ferrule.set_latency(True)
    if stamp == "future":
        stamp = stamp_at(time.time() + 60)[0]
    send = lambda: strategy.on_tick_trade(make_tick_trade(trade_time=stamp))  # noqa: E731
    if refused:  # the engine's conversion refuses it; the bridge still saw the message
        with pytest.raises(refused):
            send()
    else:
        send()
    row = ferrule.stats()["latency"]["ages"]["tick_trade"]
    assert (row["count"], row["negative"], row["unstamped"]) == (0, negative, unstamped)
    assert ferrule.stats()["latency"]["callbacks"]["on_tick_trade"]["count"] == 1


@pytest.mark.parametrize("zone", ["UTC", "America/New_York", zoneinfo.ZoneInfo("Europe/London"),
                                  dt.timezone(dt.timedelta(hours=-3))])
def test_stamps_are_read_in_the_configured_zone(strategy, ferrule, universe, drain, zone):
    ferrule.set_latency(True, zone)
    tz = zoneinfo.ZoneInfo(zone) if isinstance(zone, str) else zone
    lo, hi = send_aged(strategy, "on_snapshot", KINDS[0][2], 1.0, tz)
    row = ferrule.stats()["latency"]["ages"]["snapshot"]
    assert lo * (1 - ERROR) <= row["max"] <= hi
    assert ferrule.stats()["latency"]["time_zone"] == str(zone)


@pytest.mark.parametrize("zone, error", [(8, TypeError), ("Nowhere/Atlantis", zoneinfo.ZoneInfoNotFoundError)])
def test_a_refused_zone_changes_nothing(ferrule, zone, error):
    with pytest.raises(error):
        ferrule.set_latency(True, zone)
    assert not ferrule.latency_enabled() and ferrule.stats()["latency"]["time_zone"] == "Asia/Shanghai"


def test_a_failing_zone_leaves_the_callbacks_error_alone(strategy, ferrule, universe, drain):
    class Broken(dt.tzinfo):
        def utcoffset(self, d):
            raise RuntimeError("no offset")

    ferrule.set_latency(True, Broken())
    strategy.on_snapshot(make_snapshot())
    with pytest.raises(AttributeError, match="security_id"):  # read after the stamp
        strategy.on_snapshot(SimpleNamespace(orig_time=STAMP))
    row = ferrule.stats()["latency"]["ages"]["snapshot"]
    assert (row["count"], row["unstamped"]) == (0, 2)


def test_histograms_for_export_add_up(strategy, ferrule, universe, drain):
    ferrule.set_latency(True)
    for delay in (0.001, 0.01, 0.1):
        send_aged(strategy, "on_bar", lambda t: make_bar(end_time=t), delay)
    h = ferrule.latency_histograms()
    ages = h["ages"]["bar"]
    assert sum(n for _, _, n in ages["buckets"]) == ages["count"] == 3
    assert all(lo < hi for lo, hi, _ in ages["buckets"])
    assert [lo for lo, _, _ in ages["buckets"]] == sorted(lo for lo, _, _ in ages["buckets"])
    assert 0.111 <= ages["sum"] <= 0.111 + 3 * 0.5 and ages["max"] <= ages["sum"]
    assert h["callbacks"]["on_bar"]["count"] == 3 and h["callbacks"]["on_snapshot"]["buckets"] == []


def test_the_prometheus_collector_exports_what_stats_counts(strategy, ferrule, universe, drain):
    prometheus_client = pytest.importorskip("prometheus_client", reason="the collector needs prometheus_client")
    from prometheus_client.parser import text_string_to_metric_families

    from corvina.lumen.utils import ferrule_metrics

    ferrule.set_latency(True)
    bounds = [send_aged(strategy, "on_snapshot", KINDS[0][2], delay) for delay in (0.003, 0.03, 0.3, 3.0, 300.0)]
    strategy.on_tick_trade(make_tick_trade(trade_time=stamp_at(time.time() + 60)[0]))  # stamped in the future
    registry = prometheus_client.CollectorRegistry()
    ferrule_metrics.register(registry)
    with pytest.raises(ValueError, match="Duplicated"):
        ferrule_metrics.register(registry)
    stats, histograms = ferrule.stats(), ferrule.latency_histograms()
    families = {f.name: f for f in text_string_to_metric_families(prometheus_client.generate_latest(registry).decode())}

    def samples(name, label=None, suffix="_total"):
        return {(s.labels[label] if label else None): s.value for s in families[name].samples
                if s.name == name + suffix}

    for key, label in [("published", "event"), ("calls", "callback"), ("failures", "callback")]:
        assert families["corvina_bridge_" + key].type == "counter"
        assert samples("corvina_bridge_" + key, label) == stats[key]
    for key in ("overwritten", "repeated_fills", "unknown_orders", "skipped_positions"):
        assert samples("corvina_bridge_" + key) == {None: stats[key]}
    assert samples("corvina_bridge_message_age_negative", "kind")["tick_trade"] == 1
    assert set(samples("corvina_bridge_message_unstamped", "kind").values()) == {0}
    assert samples("corvina_bridge_queue_depth", suffix="") == {None: len(ferrule.event_queue)} != {None: 0}
    assert samples("corvina_bridge_queue_capacity", suffix="") == {None: ferrule.event_queue.maxlen}
    assert samples("corvina_bridge_latency_enabled", suffix="") == {None: 1}

    les = [*map(repr, ferrule_metrics.BOUNDS), "+Inf"]
    for name, label, part in [("corvina_bridge_callback_duration_seconds", "callback", "callbacks"),
                              ("corvina_bridge_message_age_seconds", "kind", "ages")]:
        assert families[name].type == "histogram"
        counts = samples(name, label, "_count")
        assert counts == {k: row["count"] for k, row in stats["latency"][part].items()}
        for item, count in counts.items():
            cumulative = [s for s in families[name].samples if s.name == name + "_bucket" and s.labels[label] == item]
            assert [s.labels["le"] for s in cumulative] == les
            values = [s.value for s in cumulative]
            assert values == sorted(values) and values[-1] == count
            assert samples(name, label, "_sum")[item] == pytest.approx(histograms[part][item]["sum"])
    # each age under the first bound at or above it (a bucket goes by its middle: within the error)
    snapshot = {float(s.labels["le"]): s.value for s in families["corvina_bridge_message_age_seconds"].samples
                if s.name.endswith("_bucket") and s.labels["kind"] == "snapshot"}
    for le, n in snapshot.items():
        assert sum(hi * (1 + ERROR) <= le for _, hi in bounds) <= n <= sum(lo * (1 - ERROR) <= le for lo, _ in bounds)
    assert snapshot[100.0] == 4 and snapshot[float("inf")] == 5
    assert samples("corvina_bridge_message_age_seconds", "kind", "_count")["tick_trade"] == 0
