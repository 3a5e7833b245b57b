"""What a simulated day prints: a progress line while it runs, then a summary.
Part of the stand-in for the engine's live-run side."""
import collections
import math

from corvina.lumen.core.events import EVENT
from corvina.lumen.live.engine import exception_line

PROBLEMS_SHOWN = 20


def _money(x):
    return f"{x:,.2f}"


def progress_line(engine, gateway):
    # Runs on the main thread while the engine's thread fills these: read sizes and copies only.
    events = engine.handled
    return (f"[{gateway.clock.now():%H:%M:%S}] {events:,} events, {len(engine.orders)} orders, "
            f"{len(engine.trades) + len(engine.child_trades)} fills, "
            f"P&L {engine.account.pnl:+,.2f}")


def _order_line(order):
    avg = f" avg {order.avg_price:.4f}" if order.filled_quantity else ""
    why = f" ({order.message})" if order.message else ""
    return (f"  #{order.client_order_id:<4} {order.market_code} {order.side.name:<4} {order.quantity:>10,} @ "
            f"{order.price:<8} {order.status.name:<16} filled {order.filled_quantity:>7,}{avg}{why}")


def _columns(counts):
    return ["  " + "  ".join(f"{k:<24}{v:>7,}" for k, v in counts[i:i + 4]) for i in range(0, len(counts), 4)]


def handover_checks(result):
    """[(what, counted by the bridge, injected by the gateway)] of a day with faults; [] without."""
    if result.faults is None:
        return []
    expected = result.faults.expected()
    return [(k, result.handover[k], expected[k]) for k in ("repeated_fills", "unknown_orders", "overwritten")]


def failed(result):
    """True when the day (or its replay) must end with exit status 1: a callback, the engine or the strategy
    failed, or the bridge's counts differ from the faults the gateway injected."""
    e, gw = result.engine, result.gateway
    return bool(e.errors or gw.error_counts or gw.timers.errors
                or any(counted != injected for _, counted, injected in handover_checks(result)))


def handover(result):
    """The bridge's counters (ferrule.stats() at the end of the day) beside what the engine drained; on a
    day with faults, what the gateway injected beside what the bridge counted."""
    s, e = result.handover, result.engine
    rank = {member.name: i for i, member in enumerate(EVENT)}
    published = sorted(((k, v) for k, v in s["published"].items() if v), key=lambda kv: rank.get(kv[0], len(rank)))
    lines = [f"Hand-over: {sum(v for _, v in published):,} events published"]
    lines.extend(_columns(published))
    capacity = "unbounded" if e.capacity is None else f"{e.capacity:,}"
    lines.append(f"  drained {e.drained:,}, overwritten {s['overwritten']:,}, "
                 f"high-water mark {e.high_water:,} of {capacity}")
    failed = sorted((k, v) for k, v in s["failures"].items() if v)
    lines.append(f"  repeated fills {s['repeated_fills']:,}, unknown orders {s['unknown_orders']:,}, "
                 f"callback failures {sum(v for _, v in failed):,}"
                 + (" (" + ", ".join(f"{k} {v:,}" for k, v in failed) + ")" if failed else ""))
    if result.faults is None:
        return lines
    f = result.faults
    why = {"repeated_fills": f"{f.injected['resent']:,} match reports resent, {f.injected['cancel_match']:,} "
                             "cancellation reports repeating the latest match",
           "unknown_orders": "reports for orders never sent",
           "overwritten": "no stall" if f.stall is None else
                          f"engine stalled for {f.stall.delivered:,} market-data events on a queue of "
                          f"{f.queue_capacity:,}"}
    lines.append("Faults injected by the simulated gateway (counted by the bridge / injected):")
    for key, counted, injected in handover_checks(result):
        mark = "" if counted == injected else "   MISMATCH"
        lines.append(f"  {key.replace('_', ' '):<16}{counted:>7,} /{injected:>7,}  ({why[key]}){mark}")
    if f.stall is not None and f.stall.others:
        lines.append(f"  {f.stall.others:,} other callbacks ran during the stall: the overflow figure is not exact")
    return lines


def duration(seconds):
    """Seconds in a unit that reads at a glance, to three significant digits: 12.3 µs, 4.56 ms, 1.20 s, 3.50 h."""
    if seconds is None:
        return "-"
    if not seconds:
        return "0 s"
    seconds = float(f"{seconds:.3g}")  # rounded first, so 999.96 µs reads 1.00 ms
    size = abs(seconds)
    for limit, scale, unit in ((1e-6, 1e9, "ns"), (1e-3, 1e6, "µs"), (1.0, 1e3, "ms"), (120.0, 1.0, "s"), (7200.0, 1 / 60, "min"),
                               (172800.0, 1 / 3600, "h")):
        if size < limit:
            value = seconds * scale
            digits = 2 - math.floor(math.log10(abs(value)))
            return f"{value:.{max(digits, 0)}f} {unit}"
    return f"{seconds / 86400:,.0f} d"


def latency(result):
    """The bridge's latency figures (ferrule.stats()["latency"]): p50, p99 and max of each callback that ran
    and of each kind of message that arrived."""
    stats = result.handover.get("latency")
    if not stats or not (stats["enabled"] or any(r["count"] for part in ("callbacks", "ages")
                                                 for r in stats[part].values())):
        return ["Latency: not measured (ferrule.set_latency(True) turns it on)"]
    lines = ["Latency" + ("" if stats["enabled"] else " (measuring is off now)") + ":"]
    for title, rows in (("callback time", stats["callbacks"]), ("message age", stats["ages"])):
        shown = [(name, row) for name, row in rows.items() if row["count"] or row.get("unstamped")]
        lines.append(f"  {title:<34}{'count':>9}{'p50':>10}{'p99':>10}{'max':>10}")
        if not shown:
            lines.append("    none")
        for name, row in shown:
            odd = [f"{row[k]:,} {k}" for k in ("negative", "unstamped") if row.get(k)]
            lines.append(f"    {name:<32}{row['count']:>9,}{duration(row['p50']):>10}{duration(row['p99']):>10}"
                         f"{duration(row['max']):>10}" + (f"  ({', '.join(odd)})" if odd else ""))
    if getattr(result, "path", None) is not None:
        lines.append("  (a replay's message ages run from the recorded stamps to the replay's wall clock)")
    elif getattr(result.gateway, "feed_latency", 0) is None:
        lines.append(f"  (the sample's stamps are of {result.sample.date}: --feed-latency MEDIAN,P99 stamps the "
                     f"market data with real time)")
    return lines


def summary(result):
    e, gw = result.engine, result.gateway
    speed = "as fast as possible" if not result.speed else f"{result.speed:g}x"
    lines = [f"Simulated trading day {result.sample.date} ({len(result.universe)} instruments, "
             f"{len(result.sample.records):,} feed messages), clock {speed}: {result.real_seconds:.1f} s"]

    lines.append("Day events: " + ", ".join(f"{k.name} {dt:%H:%M:%S}" for k, dt in e.day_events))
    lines.append("Events by type:")
    order = {member: i for i, member in enumerate(EVENT)}
    counts = sorted(e.counts.items(), key=lambda kv: order[kv[0]])
    for i in range(0, len(counts), 4):
        lines.append("  " + "  ".join(f"{k.name:<24}{v:>7,}" for k, v in counts[i:i + 4]))

    finals = collections.Counter(o.status.name for o in e.orders.values())
    lines.append(f"Orders: {len(e.orders)} (" + ", ".join(f"{n} {k}" for k, n in sorted(finals.items())) + ")")
    lines.extend(_order_line(o) for o in e.orders.values())
    if e.parents:
        lines.append(f"Algorithmic orders: {len(e.parents)}")
        for p in e.parents.values():
            lines.append(f"  parent {p.sys_quote_id} {p.security_id} side {int(p.side)} {p.order_qty:,}: "
                         f"{getattr(p.status, 'name', p.status)}, filled {p.trade_qty:,} "
                         f"({p.updates} updates)")

    qty = sum(t.amount for t, _ in e.trades) + sum(t.trade_qty for _, _, t in e.child_trades)
    value = sum(t.amount * t.price for t, _ in e.trades) + sum(t.trade_qty * t.trade_price
                                                                for _, _, t in e.child_trades)
    lines.append(f"Fills: {len(e.trades)} order fills, {len(e.child_trades)} child-order fills, "
                 f"{qty:,} shares, {_money(value)} traded")

    if e.notes:
        lines.append("Strategy notes:")
        lines.extend(f"  {when:%H:%M:%S} {text}" for when, text in e.notes[:20])
        if len(e.notes) > 20:
            lines.append(f"  ... and {len(e.notes) - 20} more")
    lines.append("Positions:")
    for h in sorted(e.account.holdings.values(), key=lambda h: h.market_code):
        lines.append(f"  {h.market_code} {h.quantity:>8,} (sellable {h.sellable:,}) last {h.last_price:<8} "
                     f"value {_money(h.market_value)}")
    acct = e.account
    lines.append(f"Cash: {_money(acct.cash or 0.0)}   market value: {_money(acct.market_value)}   "
                 f"equity: {_money(acct.equity)}")
    lines.append(f"P&L: {acct.pnl:+,.2f} (equity at the start {_money(acct.start_equity or 0.0)})")
    lines.extend(handover(result))
    lines.extend(latency(result))
    problems = _problems(e, gw)
    if problems:
        lines.append("Problems:")
        lines.extend(problems)
    return "\n".join(lines)


def _problems(e, gw):
    """Each problem once, with how often it happened, the most frequent first."""
    counts = collections.Counter()
    for where, text in e.errors:
        counts[f"engine: {where}: {exception_line(text)}"] += 1
    for name, n in gw.error_counts.items():
        counts[f"gateway: {name} failed"] += n
    for _, name, err in gw.timers.errors:
        counts[f"timer: {name}: {err!r}"] += 1
    lines = [f"  {problem}" + (f" ({n:,} times)" if n > 1 else "")
             for problem, n in counts.most_common(PROBLEMS_SHOWN)]
    if len(counts) > PROBLEMS_SHOWN:
        rest = counts.most_common()[PROBLEMS_SHOWN:]
        lines.append(f"  ... and {len(rest):,} more kinds ({sum(n for _, n in rest):,} times)")
    return lines
