"""Cost of the market-data callbacks, on_order and on_algo_child_order_update:
the compiled bridge against the plain-Python yardstick in baseline.py.

    .venv/bin/python benchmarks/bench_market_data.py [--repeats 31] [--calls 2000]
    .venv/bin/python benchmarks/bench_market_data.py --instructions [--profile on_tick_order]
    .venv/bin/python benchmarks/bench_market_data.py --latency-cost   # Ir with the latency histograms off and on

Three tables. The first two run both sides against the same near-free engine
stubs with a plain deque as the event queue (the compiled module's queue gets
stands in for the module's `event_queue`), so the ratio is what the bridge itself costs: stubs
written in Python, then stubs made of C-level objects (builtin functions, a
built-in type as `Event`, static methods as model factories). The third runs
them against the project's stand-in engine and the real ring buffer, i.e. what
a callback costs end to end. Messages are the gateway stand-in's `__slots__`
classes throughout.

Times: thread CPU time per call, median over the repeats, which alternate
between the two sides so that machine noise hits both alike; gc is off while
timing, as in timeit. --instructions runs each table once more under
valgrind's callgrind, one child process per table, collecting only inside the
measured loop (the loop runs inside `measured`, between two marker calls), and
prints instructions per call beside the times. --profile NAME adds, for
that callback, where its instructions go by function on each side.
"""
import os

# numpy's BLAS threads spin after start-up; on a small machine they would time-share with the loop.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse  # noqa: E402
import collections  # noqa: E402
import datetime as dt  # noqa: E402
import gc  # noqa: E402
import glob  # noqa: E402
import platform  # noqa: E402
import re  # noqa: E402
import shutil  # noqa: E402
import statistics  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402
from types import SimpleNamespace  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import baseline  # noqa: E402
from numpy_ringbuffer import RingBuffer  # noqa: E402
from pyvela.enums import MarketType, OrderStatusType  # noqa: E402
from pyvela.messages import AlgoChildOrderMsg, Bar, OrderReport, Snapshot, TickOrder, TickTrade  # noqa: E402

from corvina.lumen.environment import Environment as StandInEnvironment  # noqa: E402
from corvina.lumen.model.order import Order  # noqa: E402
from corvina.lumen.utils import ferrule  # noqa: E402

N_CODES = 20
CODES = [f"{600000 + i:06d}" for i in range(N_CODES)]
UNIVERSE = [c + ".XSHE" for c in CODES]
OPEN = dt.datetime(2026, 12, 8, 9, 30)


def stamp(when):
    """YYYYMMDDHHMMSSmmm of a datetime."""
    return int(when.strftime("%Y%m%d%H%M%S")) * 1000 + when.microsecond // 1000


def snapshots(n):
    levels = [10.0 + 0.01 * k for k in range(10)]
    vols = [100 * (k + 1) for k in range(10)]
    return [Snapshot(orig_time=stamp(OPEN + dt.timedelta(milliseconds=37 * i)), security_id=CODES[i % N_CODES],
                     market_type=MarketType.SZSE, open_price=10.0, close_price=10.1, high_price=10.3,
                     low_price=9.9, total_value_trade=1.5e7 + i, total_volume_trade=1_500_000 + i,
                     pre_close_price=10.0, ask_volume=vols, ask_price=levels, bid_volume=vols, bid_price=levels,
                     high_limited=11.0, last_price=10.1, low_limited=9.0, iopv=0.0, trading_phase_code="T0")
            for i in range(n)]


def tick_orders(n):
    return [TickOrder(order_time=stamp(OPEN + dt.timedelta(milliseconds=11 * i)), security_id=CODES[i % N_CODES],
                      market_type=MarketType.SZSE, side=ord("1B2S"[i % 4]), biz_index=i, order_price=10.01,
                      order_volume=300, order_type=ord("2"), orig_order_no=i)
            for i in range(n)]


def tick_trades(n):
    return [TickTrade(trade_time=stamp(OPEN + dt.timedelta(milliseconds=13 * i)), security_id=CODES[i % N_CODES],
                      market_type=MarketType.SZSE, bid_appl_seq_num=i + (i % 3), offer_appl_seq_num=i + 1,
                      biz_index=i, trade_price=10.02, trade_volume=200, value_trade=2004.0,
                      trade_type=ord("F"))
            for i in range(n)]


def bars(n):
    """Whole minutes of one bar per instrument: every N_CODES-th bar completes a minute."""
    return [Bar(security_id=CODES[i % N_CODES], market_type=MarketType.SZSE,
                end_time=stamp(OPEN + dt.timedelta(minutes=1 + i // N_CODES)), open=10.0, close=10.1,
                high=10.2, low=9.9, amount=1.0e6, volume=100_000, prev_close=10.0)
            for i in range(n - n % N_CODES)]


def fill_reports(n):
    return [OrderReport(client_order_id=1000 + i, security_id="000001", order_price=10.0,
                        order_status=OrderStatusType.PartiallyFilled, order_qty=100, trade_qty=30,
                        total_trade_value=300.0, last_match_qty=30, last_match_price=10.0, counter_order_id=i)
            for i in range(n)]


def child_orders(n):
    return [AlgoChildOrderMsg(sys_quote_id=i % 50, parent_sys_quote_id=1, security_id="000001", order_qty=100,
                              order_price=10.0, trade_qty=i % 100, status=1)
            for i in range(n)]


def file_orders(reports, compiled):
    """A new day: both sides forget the fills they published, and an engine order is filed for each report.
    (Otherwise the compiled side's record of published fills, keyed by the engine order, would grow by an
    order per call in every repeat while the yardstick's, keyed by the report's id, stays the same size.)"""
    compiled.on_switch_day()
    baseline.published_fills.clear()
    for r in reports:
        ferrule.orders_dict[r.client_order_id] = Order("000001.XSHE", 100, 10.0, client_order_id=r.client_order_id)


# (callback, messages, reset before each repeat or None)
def cases(calls, compiled):
    reports = fill_reports(calls)
    return [
        ("on_snapshot", snapshots(calls), None),
        ("on_tick_order", tick_orders(calls), None),
        ("on_tick_trade", tick_trades(calls), None),
        ("on_bar", bars(calls), None),
        ("on_order", reports, lambda: file_orders(reports, compiled)),
        ("on_algo_child_order_update", child_orders(calls), None),
    ]


def reset_state(compiled, yardstick):
    for d in (ferrule.history_tick, ferrule.history_bar, baseline.history_tick, baseline.history_bar,
              ferrule.algo_child_orders, baseline.algo_child_orders):
        d.clear()
    for s in (compiled, yardstick):
        s.bar_cnt = 0
        s.current_trade_dt = 0


def loop(cb, msgs):
    for m in msgs:
        cb(m)


def per_call_ns(cb, msgs):
    gc.disable()
    try:
        t0 = time.thread_time_ns()
        loop(cb, msgs)
        return (time.thread_time_ns() - t0) / len(msgs)
    finally:
        gc.enable()


def sides(name, compiled, yardstick):
    out = [("compiled", getattr(compiled, name))]
    if hasattr(yardstick, name):
        out.append(("baseline", getattr(yardstick, name)))
    return out


def measure(name, msgs, reset, repeats, compiled, yardstick):
    runs = {"compiled": [], "baseline": []}
    pairs = sides(name, compiled, yardstick)
    for cb in (cb for _, cb in pairs):  # warm-up: specialise the bytecode, create the histories
        reset_state(compiled, yardstick)
        if reset:
            reset()
        per_call_ns(cb, msgs)
    for _ in range(repeats):
        for side, cb in pairs:
            reset_state(compiled, yardstick)
            if reset:
                reset()
            runs[side].append(per_call_ns(cb, msgs))
    return runs


def spread(xs):
    if len(xs) < 2:
        return 0.0
    q = statistics.quantiles(xs, n=4)
    return q[2] - q[0]


def print_table(title, results, instructions=None):
    print(f"\n{title}")
    head = f"{'callback':<28}{'compiled ns':>12}{'IQR':>7}{'baseline ns':>12}{'IQR':>7}{'ratio':>7}"
    if instructions is not None:
        head += f"{'compiled Ir':>13}{'baseline Ir':>13}{'ratio':>7}"
    print(head)
    for name, runs in results:
        c = statistics.median(runs["compiled"])
        line = f"{name:<28}{c:>12.0f}{spread(runs['compiled']):>7.0f}"
        if runs["baseline"]:
            b = statistics.median(runs["baseline"])
            line += f"{b:>12.0f}{spread(runs['baseline']):>7.0f}{c / b:>7.2f}"
        else:
            line += f"{'n/a':>12}{'n/a':>7}{'n/a':>7}"
        if instructions is not None:
            ic, ib = instructions.get((name, "compiled")), instructions.get((name, "baseline"))
            line += f"{ic:>13.0f}" if ic else f"{'n/a':>13}"
            line += f"{ib:>13.0f}{ic / ib:>7.2f}" if ic and ib else f"{'n/a':>13}{'n/a':>7}"
        print(line)


def processor():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


TABLES = [
    ("python", "Near-free engine stubs written in Python, plain deque as the queue"),
    ("c", "Near-free C-level engine stubs (builtins, built-in Event type, static-method factories), "
          "plain deque as the queue"),
    ("standin", "Stand-in engine, ring buffer as the queue (end to end)"),
]


class Bench:
    """The two strategies and the engine names each table binds."""

    def __init__(self):
        self.standins = {k: getattr(ferrule, k) for k in baseline.stubs(UNIVERSE)}
        StandInEnvironment.set_instance(StandInEnvironment(UNIVERSE))
        self.compiled = ferrule.VelaStrategy(SimpleNamespace(base=SimpleNamespace(accounts={}, trading_calendar=[])))
        self.yardstick = baseline.VelaStrategy()
        self.sink = None

    def bind(self, table):
        """Binds the table's engine names on both sides; returns what undoes it."""
        self.sink = None
        if table == "standin":
            baseline.install(self.standins, RingBuffer(capacity=1_000_000, dtype=object), ferrule.orders_dict)
            return lambda: None
        names = baseline.stubs(UNIVERSE) if table == "python" else baseline.c_stubs(UNIVERSE)
        sink = self.sink = collections.deque(maxlen=4096)
        queue = ferrule.event_queue
        for k, v in names.items():
            setattr(ferrule, k, v)
        ferrule.event_queue = sink
        baseline.install(names, sink, ferrule.orders_dict)

        def undo():
            for k, v in self.standins.items():
                setattr(ferrule, k, v)
            ferrule.event_queue = queue
        return undo

    def times(self, table, calls, repeats):
        undo = self.bind(table)
        try:
            return [(name, measure(name, msgs, reset, repeats, self.compiled, self.yardstick))
                    for name, msgs, reset in cases(calls, self.compiled)]
        finally:
            undo()

    def counted(self, table, calls, latency=False):
        """Runs each callback and side once inside `measured`, which the callgrind run counts.
        Prints which dump is which. With latency, the compiled side runs a second time with the
        latency histograms on, as side "latency"."""
        undo = self.bind(table)
        try:
            for name, msgs, reset in cases(calls, self.compiled):
                runs = sides(name, self.compiled, self.yardstick)
                if latency:
                    runs.append(("latency", runs[0][1]))
                for side, cb in runs:
                    if latency:
                        ferrule.set_latency(side == "latency")
                    for collect in (False, True):  # the first run warms up: bytecode, histories
                        reset_state(self.compiled, self.yardstick)
                        if self.sink is not None:
                            self.sink.clear()  # a full sink would free an old event at every append
                        if reset:
                            reset()
                        gc.disable()
                        if collect:
                            measured(loop, cb, msgs)
                            print(f"dump {name} {side}", flush=True)
                        else:
                            loop(cb, msgs)
                        gc.enable()
                if latency:
                    ferrule.set_latency(False)
        finally:
            undo()


# What callgrind counts: from the entry of getppid to the entry of getpgrp, two C library functions nothing
# else here calls. Markers rather than a function of the interpreter's around the loop: an interpreter
# without debug symbols (Debian's) has no name for its internal functions, and the exported ones are
# entered inside the loops too.
MARKS = ("getppid", "getpgrp")


def measured(fn, *args):
    """fn(*args), counted under callgrind."""
    os.getppid()
    try:
        return fn(*args)
    finally:
        os.getpgrp()


def callgrind_loops(out, child_args, env=None):
    """Runs `python child_args...` under callgrind, counting only inside calls of `measured` (one measured
    loop each, announced on standard output as "dump LABEL..."): (label words, dump file) per loop."""
    cmd = ["valgrind", "--tool=callgrind", f"--zero-before={MARKS[0]}", f"--dump-before={MARKS[1]}",
           f"--callgrind-out-file={out}", sys.executable, *child_args]
    # Bound at start, so that no marker's first call pays the dynamic linker's lookup.
    env = {**os.environ, "PYTHONHASHSEED": "0", "LD_BIND_NOW": "1", **(env or {})}
    run = subprocess.run(cmd, capture_output=True, text=True, env=env)
    if run.returncode != 0:
        sys.exit(f"callgrind run failed:\n{run.stderr[-3000:]}")
    labels = [tuple(line.split()[1:]) for line in run.stdout.splitlines() if line.startswith("dump ")]
    dumps = sorted(glob.glob(out + ".*"), key=lambda p: int(p.rsplit(".", 1)[1]))
    # One dump per loop: fewer, a marker was never seen; more, something else called it.
    if len(dumps) != len(labels):
        sys.exit(f"callgrind wrote {len(dumps)} dumps for {len(labels)} loops")
    return list(zip(labels, dumps))


def dump_total(path):
    """The instructions a callgrind dump counted."""
    with open(path) as f:
        return next(int(m.group(1)) for m in (re.match(r"(?:totals|summary):\s*(\d+)", line) for line in f) if m)


def callgrind(table, calls, profile, latency=False):
    """Instructions per call of each callback and side of one table, from a child under callgrind."""
    if not shutil.which("valgrind"):
        sys.exit("--instructions needs valgrind")
    with tempfile.TemporaryDirectory() as tmp:
        keep = os.environ.get("BENCH_CALLGRIND_DIR")
        out = os.path.join(keep or tmp, f"cg.{table}.out")
        counts = {}
        child = [__file__, "--child", table, "--calls", str(calls)] + (["--latency-cost"] if latency else [])
        for label, path in callgrind_loops(out, child):
            counts[label] = dump_total(path) / calls
            if profile and label[0] == profile:
                by_function(label, path, calls)
        return counts


def by_function(label, path, calls, top=40):
    """The functions a callback's instructions went to: self and inclusive, per call."""
    ann = shutil.which("callgrind_annotate")
    if not ann:
        return
    print(f"\n{label[0]}, {label[1]}: instructions per call by function (self, inclusive)")
    for inclusive in ("no", "yes"):
        out = subprocess.run([ann, f"--inclusive={inclusive}", "--threshold=100", path],
                             capture_output=True, text=True).stdout
        rows = [m for m in (re.match(r"\s*([\d,]+)\s+\(\s*([\d.]+)%\)\s+(.*)", line) for line in out.splitlines()) if m]
        # Leave out the totals and the frames around the toggle (the interpreter's own start-up and main).
        rows = [m for m in rows if float(m.group(2)) < 99.5 and "PROGRAM TOTALS" not in m.group(3)]
        print(f"  {'inclusive' if inclusive == 'yes' else 'self'}:")
        for m in rows[:top]:
            n = int(m.group(1).replace(",", "")) / calls
            name = re.sub(r"^\S*/(Python-3[^/]*/)?", "", m.group(3).split(" [")[0])
            print(f"  {n:>10.1f}  {name[:100]}")


def latency_cost(tables, calls):
    """The compiled side's callgrind instructions per call, latency histograms off and on."""
    print(f"interpreter: {sys.version.split()[0]} ({sys.executable})")
    print(f"Ir per call: callgrind instructions inside the loop of {calls} calls, compiled side, "
          f"latency histograms off and on (set_latency)")
    for table, title in TABLES:
        if table not in tables:
            continue
        counts = callgrind(table, calls, None, latency=True)
        print(f"\n{title}\n{'callback':<28}{'off':>10}{'on':>10}{'cost':>9}")
        for name, *_ in cases(1, None):
            off, on = counts[(name, "compiled")], counts[(name, "latency")]
            print(f"{name:<28}{off:>10.0f}{on:>10.0f}{(on / off - 1) * 100:>+8.1f}%")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--repeats", type=int, default=31, help="timed repeats per callback and side")
    ap.add_argument("--calls", type=int, default=2000, help="messages per repeat")
    ap.add_argument("--instructions", action="store_true", help="callgrind instruction counts per call beside the times")
    ap.add_argument("--instruction-calls", type=int, default=400, help="messages per callgrind loop")
    ap.add_argument("--profile", metavar="CALLBACK", help="with --instructions: where that callback's instructions go")
    ap.add_argument("--tables", default=",".join(t for t, _ in TABLES), help="which tables, comma-separated")
    ap.add_argument("--latency-cost", action="store_true",
                    help="only the compiled side's instructions per call with the latency histograms off and on")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.child:
        Bench().counted(args.child, args.calls, args.latency_cost)
        return
    if args.latency_cost:
        latency_cost(args.tables.split(","), args.instruction_calls)
        return

    print(f"interpreter: {sys.version.split()[0]} ({platform.python_implementation()}, {sys.executable})")
    print(f"processor:   {processor()}, {os.cpu_count()} cores")
    print(f"ns per call: thread CPU time, median over {args.repeats} repeats of {args.calls} calls; "
          f"IQR = spread of the repeats")
    if args.instructions:
        print(f"Ir per call: callgrind instructions inside the loop of {args.instruction_calls} calls "
              f"(after one warm-up loop), divided by the calls")

    bench = Bench()
    wanted = args.tables.split(",")
    for table, title in TABLES:
        if table not in wanted:
            continue
        counts = callgrind(table, args.instruction_calls, args.profile) if args.instructions else None
        table_results = bench.times(table, args.calls, args.repeats)
        print_table(title, table_results, counts)


if __name__ == "__main__":
    main()
