"""The bridge's counters and latency histograms as Prometheus metrics:

    from corvina.lumen.utils import ferrule_metrics
    ferrule_metrics.register()            # into prometheus_client's default registry

Each scrape reads ferrule.stats() and ferrule.latency_histograms() once and
the queue's length once. Counters are cumulative since the module was loaded
or since ferrule.reset_stats(): a reset shows as a counter reset, which
Prometheus's rate() takes in its stride. The bridge's buckets are finer than
the exposition's: each is counted under the first bound at or above its
middle. Needs prometheus_client (the core's `metrics` extra).

Installed beside ferrule as corvina.lumen.utils.ferrule_metrics."""
from __future__ import annotations

import bisect
from collections.abc import Iterator, Mapping
from typing import Any

try:
    from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily, HistogramMetricFamily, Metric
    from prometheus_client.registry import REGISTRY, CollectorRegistry
except ImportError as e:  # pragma: no cover - depends on the environment
    raise ImportError("corvina.lumen.utils.ferrule_metrics needs prometheus_client: "
                      "pip install 'corvina-core[metrics]'") from e

__all__ = ["BOUNDS", "FerruleCollector", "register"]

PREFIX = "corvina_bridge_"
# The histograms' upper bounds in seconds: 1, 2.5 and 5 of each decade from 1 µs to 100 s.
BOUNDS: tuple[float, ...] = tuple(
    float(f"{m}e{e}") for e in range(-6, 2) for m in (1, 2.5, 5)) + (100.0,)

# stats() key (the metric's name before _total), help, and the label of a per-name dict.
_COUNTERS = (
    ("published", "Events appended to event_queue, by EVENT member.", "event"),
    ("overwritten", "Events appended to a full event_queue, each overwriting the oldest unread one.", None),
    ("calls", "Calls into VelaStrategy, by callback.", "callback"),
    ("failures", "Calls into VelaStrategy that raised, by callback.", "callback"),
    ("repeated_fills", "Order reports whose match was published already: no second TRADE.", None),
    ("unknown_orders", "Order reports and refused actions for client order ids not in orders_dict.", None),
    ("skipped_positions", "Position entries that failed to convert.", None),
)
_CALLBACK_SECONDS = PREFIX + "callback_duration_seconds"
_AGE_SECONDS = PREFIX + "message_age_seconds"


def _le(bound: float) -> str:
    return repr(bound)


def _cumulative(h: Mapping[str, Any]) -> tuple[list[tuple[str, float]], int]:
    """([(le, cumulative count), ..., ("+Inf", total)], total) of the bridge's histogram h."""
    counts = [0] * (len(BOUNDS) + 1)
    for lower, upper, n in h["buckets"]:
        counts[bisect.bisect_left(BOUNDS, (lower + upper) / 2)] += n
    out, running = [], 0
    for bound, n in zip(BOUNDS, counts):
        running += n
        out.append((_le(bound), running))
    running += counts[-1]
    out.append(("+Inf", running))
    return out, running


class FerruleCollector:
    """A prometheus_client collector of the bridge: register it once per registry."""

    def __init__(self, bridge: Any = None) -> None:
        if bridge is None:
            from corvina.lumen.utils import ferrule as bridge
        self.bridge = bridge

    def describe(self) -> Iterator[Metric]:
        # The names alone, so that registering twice into one registry is refused.
        yield from self._families({}, {}, None)

    def collect(self) -> Iterator[Metric]:
        bridge = self.bridge
        stats = bridge.stats()
        histograms = bridge.latency_histograms()
        queue = getattr(bridge, "event_queue", None)  # the queue the bridge publishes to now
        yield from self._families(stats, histograms, queue)

    @staticmethod
    def _families(stats: Mapping[str, Any], histograms: Mapping[str, Any], queue: Any) -> Iterator[Metric]:
        for key, doc, label in _COUNTERS:
            family = CounterMetricFamily(PREFIX + key, doc, labels=[label] if label else None)
            value = stats.get(key)
            if label is not None:
                for item, n in sorted((value or {}).items()):
                    family.add_metric([item], n)
            elif value is not None:
                family.add_metric([], value)
            yield family

        latency = stats.get("latency") or {}
        enabled = GaugeMetricFamily(PREFIX + "latency_enabled", "1 while the bridge measures latency, else 0.")
        if latency:
            enabled.add_metric([], 1 if latency["enabled"] else 0)
        yield enabled

        for name, doc, label, part in (
                (_CALLBACK_SECONDS, "Time from entry to return of each VelaStrategy callback.", "callback",
                 "callbacks"),
                (_AGE_SECONDS, "The bridge's receive time minus the exchange's stamp of each market-data "
                 "message, ages below zero left out.", "kind", "ages")):
            family = HistogramMetricFamily(name, doc, labels=[label])
            for item, h in sorted((histograms.get(part) or {}).items()):
                buckets, count = _cumulative(h)
                # The buckets hold what the bridge measured at zero or above; sum and count are theirs.
                family.add_metric([item], buckets, sum_value=h["sum"] if count else 0.0)
            yield family

        negative = CounterMetricFamily(PREFIX + "message_age_negative",
                                       "Market-data messages stamped later than the bridge received them "
                                       "(clocks apart).", labels=["kind"])
        unstamped = CounterMetricFamily(PREFIX + "message_unstamped",
                                        "Market-data messages whose stamp could not be read as a time.",
                                        labels=["kind"])
        for kind, row in sorted((latency.get("ages") or {}).items()):
            negative.add_metric([kind], row["negative"])
            unstamped.add_metric([kind], row.get("unstamped", 0))
        yield negative
        yield unstamped

        depth = GaugeMetricFamily(PREFIX + "queue_depth", "Events waiting in event_queue.")
        capacity = GaugeMetricFamily(PREFIX + "queue_capacity", "Entries event_queue holds before it overwrites.")
        if queue is not None:
            depth.add_metric([], len(queue))
            maxlen = getattr(queue, "maxlen", None)
            if maxlen is not None:
                capacity.add_metric([], maxlen)
        yield depth
        yield capacity


def register(registry: CollectorRegistry | None = None) -> FerruleCollector:
    """Registers a FerruleCollector into registry (prometheus_client's default one when None) and returns it;
    a second one into the same registry raises prometheus_client's ValueError."""
    collector = FerruleCollector()
    (REGISTRY if registry is None else registry).register(collector)
    return collector
