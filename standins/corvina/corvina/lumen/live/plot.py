"""One picture of a simulated day (`python -m corvina.lumen.live --plot FILE`):
each instrument's price with the day's fills, the account's equity, the
depth of the event queue, and the bridge's callback times and message ages.

DayTrace samples on the runner's side, at each catch-up of the engine: the
queue's depth just before the engine drains it (the deepest it got since the
last one), then, with the engine caught up, the prices the bridge last
published, the equity and the new fills. The distributions come from
ferrule.latency_histograms() at the end of the day. Needs matplotlib (the
`plot` extra).

Part of the stand-in for the engine's live-run side."""
import math

from corvina.lumen.const import SIDE
from corvina.lumen.live.report import duration


class DayTrace:
    """What the picture shows, gathered while the day runs (run_day(trace=...))."""

    def __init__(self, ferrule):
        self.ferrule = ferrule
        self.universe = None            # the engine's, from the first catch-up on
        self.times = []                 # virtual time of each catch-up
        self.depth = []                 # the queue's length just before it
        self.equity = []                # nan before the account is known
        self.prices = {}                # market code -> price at each catch-up, nan before the first trade
        self.fills = []                 # (virtual time, market code, side, price, quantity)
        self._trades = self._child_trades = 0
        self._depth = 0

    def before_sync(self, engine, gateway):
        self._depth = len(engine.queue)

    def after_sync(self, engine, gateway):
        if self.universe is None:
            self.universe = list(engine.universe)
            self.prices = {code: [] for code in self.universe}
        now = gateway.clock.now()
        self.times.append(now)
        self.depth.append(self._depth)
        account = engine.account
        self.equity.append(account.equity if account.cash is not None else math.nan)
        for code in self.universe:
            tick = self.ferrule.get_current_tick(code)
            price = tick["last_price"] if tick is not None else 0.0
            self.prices[code].append(price if price else math.nan)
        # Fills are stamped with the catch-up that handed them to the engine: within a sync step of the fill.
        for trade, _ in engine.trades[self._trades:]:
            self.fills.append((now, trade.market_code, trade.side, trade.price, trade.amount))
        self._trades = len(engine.trades)
        for code, side, trade in engine.child_trades[self._child_trades:]:
            self.fills.append((now, code, side, trade.trade_price, trade.trade_qty))
        self._child_trades = len(engine.child_trades)


BINS_PER_DECADE = 10
CURVES = 6  # the most frequent callbacks drawn; the legend counts the rest
MIN_VALUES = 50  # fewer values draw no shape


def _rebinned(buckets):
    """The bridge's fine buckets summed into BINS_PER_DECADE bins a decade, by each bucket's middle:
    [(bin's geometric middle, count)]."""
    bins = {}
    for lower, upper, n in buckets:
        middle = (lower + upper) / 2
        if middle <= 0:
            continue
        k = math.floor(math.log10(middle) * BINS_PER_DECADE)
        bins[k] = bins.get(k, 0) + n
    return [(10 ** ((k + 0.5) / BINS_PER_DECADE), n) for k, n in sorted(bins.items())]


def _distribution(ax, histograms, title, xlabel, absent="nothing measured (ferrule.set_latency(True) turns it on)"):
    """The share of each histogram's values per bin, against the bin's middle, on log axes: the bins are
    of equal width on the log scale, so the curve keeps the shape of the distribution there."""
    measured = sorted(((name, h) for name, h in histograms.items() if h["count"] >= MIN_VALUES and h["buckets"]),
                      key=lambda item: -item[1]["count"])
    for name, h in measured[:CURVES]:
        points = _rebinned(h["buckets"])
        ax.plot([x for x, _ in points], [n / h["count"] for _, n in points], marker=".", markersize=3,
                linewidth=1.2, label=f"{name} ({h['count']:,})")
    ax.set_title(title)
    ax.set_xlabel(xlabel)
    ax.set_ylabel(f"share of values (bins of 1/{BINS_PER_DECADE} decade)")
    if measured:
        ax.set_xscale("log")
        ax.set_yscale("log")
        rest = sum(1 for h in histograms.values() if h["count"]) - min(len(measured), CURVES)
        if rest:
            ax.plot([], [], " ", label=f"and {rest} more, less frequent")
        ax.legend(fontsize="small", loc="upper right")
        ax.grid(True, which="major", alpha=0.3)
    else:
        ax.text(0.5, 0.5, absent, ha="center", va="center", transform=ax.transAxes)


def draw(trace, result, path):
    """Writes the picture of the day to path (a PNG, or what matplotlib makes of the file's suffix)."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.dates import DateFormatter
    from matplotlib.figure import Figure
    from matplotlib.ticker import FuncFormatter

    codes = trace.universe or []
    price_rows = math.ceil(len(codes) / 2)
    fig = Figure(figsize=(14, 4 * (price_rows + 2)), layout="constrained")
    FigureCanvasAgg(fig)
    grid = fig.add_gridspec(price_rows + 2, 2)
    hours = DateFormatter("%H:%M")
    feed = result.gateway.feed_latency
    delays = f", feed latency {duration(feed.median)} median, {duration(feed.p99)} p99" if feed else ""
    fig.suptitle(f"Simulated trading day {result.sample.date} ({len(codes)} instruments, "
                 f"P&L {result.engine.account.pnl:+,.2f}{delays})", fontsize="x-large")
    thousands = FuncFormatter(lambda y, _: f"{y:,.0f}")

    for i, code in enumerate(codes):
        ax = fig.add_subplot(grid[i // 2, i % 2])
        ax.plot(trace.times, trace.prices[code], color="tab:gray", linewidth=0.8, label="last price")
        for side, marker, colour, label in ((SIDE.BUY, "^", "tab:green", "our buys"),
                                            (SIDE.SELL, "v", "tab:red", "our sells")):
            fills = [(t, p, q) for t, c, s, p, q in trace.fills if c == code and s == side]
            if fills:
                sizes = [20 + 60 * math.sqrt(q / max(f[2] for f in fills)) for _, _, q in fills]
                ax.scatter([f[0] for f in fills], [f[1] for f in fills], s=sizes, marker=marker, color=colour,
                           edgecolors="black", linewidths=0.4, zorder=3, label=f"{label} ({len(fills)})")
        ax.set_title(f"{code}")
        ax.set_ylabel("price")
        ax.xaxis.set_major_formatter(hours)
        ax.grid(True, alpha=0.3)
        ax.legend(fontsize="small", loc="best")

    ax = fig.add_subplot(grid[price_rows, 0])
    ax.plot(trace.times, trace.equity, color="tab:blue", linewidth=1.0)
    start = result.engine.account.start_equity
    if start:
        ax.axhline(start, color="tab:gray", linestyle="--", linewidth=0.8, label="equity at the start")
        ax.legend(fontsize="small", loc="best")
    ax.set_title("account equity (cash + holdings at the last price)")
    ax.yaxis.set_major_formatter(thousands)
    ax.xaxis.set_major_formatter(hours)
    ax.grid(True, alpha=0.3)

    ax = fig.add_subplot(grid[price_rows, 1])
    ax.plot(trace.times, trace.depth, drawstyle="steps-pre", color="tab:purple", linewidth=0.6)
    ax.yaxis.set_major_formatter(thousands)
    ax.set_title(f"event_queue depth before each catch-up (high-water mark {result.engine.high_water:,})")
    ax.set_ylabel("events waiting")
    ax.xaxis.set_major_formatter(hours)
    ax.grid(True, alpha=0.3)

    histograms = result.latency_histograms or {"callbacks": {}, "ages": {}}
    _distribution(fig.add_subplot(grid[price_rows + 1, 0]), histograms["callbacks"], "callback time",
                  "seconds from entry to return")
    # Without feed latency the stamps are of the sample's day: their age says nothing about the feed.
    _distribution(fig.add_subplot(grid[price_rows + 1, 1]), histograms["ages"] if feed else {}, "message age",
                  "seconds from the exchange's stamp to the bridge",
                  absent="the sample's stamps are of its own day: --feed-latency MEDIAN,P99 stamps real time")
    fig.savefig(path, dpi=100)
