"""Cost of the market-data callbacks: the compiled bridge against the
plain-Python yardstick in baseline.py, in one process.

    .venv/bin/python benchmarks/bench_market_data.py [--repeats 31] [--calls 2000]

Table 1 runs both against the same near-free engine stubs with a plain deque
as the event queue (the compiled module's queue gets that deque's `append`);
table 2 runs them against the project's stand-in engine and the real ring
buffer, i.e. what a callback costs end to end. Repeats alternate between the
two sides so that machine noise hits both alike; gc is off while timing, as
in timeit. Callbacks without a baseline print n/a in its columns.
"""
import os

# numpy's BLAS threads spin after start-up; on a small machine they would time-share with the loop.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse  # noqa: E402
import collections  # noqa: E402
import datetime as dt  # noqa: E402
import gc  # noqa: E402
import platform  # noqa: E402
import statistics  # noqa: E402
import sys  # noqa: E402
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


def file_orders(reports):
    ferrule.orders_dict.clear()
    for r in reports:
        ferrule.orders_dict[r.client_order_id] = Order("000001.XSHE", 100, 10.0, client_order_id=r.client_order_id)


# (callback, messages, reset before each repeat or None)
def cases(calls):
    reports = fill_reports(calls)
    return [
        ("on_snapshot", snapshots(calls), None),
        ("on_tick_order", tick_orders(calls), None),
        ("on_tick_trade", tick_trades(calls), None),
        ("on_bar", bars(calls), None),
        ("on_order", reports, lambda: file_orders(reports)),
        ("on_algo_child_order_update", child_orders(calls), None),
    ]


def reset_state(compiled, yardstick):
    for d in (ferrule.history_tick, ferrule.history_bar, baseline.history_tick, baseline.history_bar):
        d.clear()
    ferrule.algo_child_orders.clear()
    for s in (compiled, yardstick):
        s.bar_cnt = 0
        s.current_trade_dt = 0


def per_call_ns(cb, msgs):
    gc.disable()
    try:
        t0 = time.perf_counter_ns()
        for m in msgs:
            cb(m)
        return (time.perf_counter_ns() - t0) / len(msgs)
    finally:
        gc.enable()


def measure(name, msgs, reset, repeats, compiled, yardstick):
    runs = {"compiled": [], "baseline": []}
    sides = [("compiled", getattr(compiled, name))]
    if hasattr(yardstick, name):
        sides.append(("baseline", getattr(yardstick, name)))
    for cb in (cb for _, cb in sides):  # warm-up: specialise the bytecode, create the histories
        reset_state(compiled, yardstick)
        if reset:
            reset()
        per_call_ns(cb, msgs)
    for _ in range(repeats):
        for side, cb in sides:
            reset_state(compiled, yardstick)
            if reset:
                reset()
            runs[side].append(per_call_ns(cb, msgs))
    return runs


def spread(xs):
    q = statistics.quantiles(xs, n=4)
    return q[2] - q[0]


def table(title, results):
    print(f"\n{title}")
    print(f"{'callback':<28}{'compiled ns':>12}{'IQR':>8}{'baseline ns':>13}{'IQR':>8}{'ratio':>8}")
    for name, runs in results:
        c = statistics.median(runs["compiled"])
        line = f"{name:<28}{c:>12.0f}{spread(runs['compiled']):>8.0f}"
        if runs["baseline"]:
            b = statistics.median(runs["baseline"])
            line += f"{b:>13.0f}{spread(runs['baseline']):>8.0f}{c / b:>8.2f}"
        else:
            line += f"{'n/a':>13}{'n/a':>8}{'n/a':>8}"
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


def run(title, calls, repeats, compiled, yardstick):
    results = []
    for name, msgs, reset in cases(calls):
        results.append((name, measure(name, msgs, reset, repeats, compiled, yardstick)))
    table(title, results)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--repeats", type=int, default=31, help="timed repeats per callback and side")
    ap.add_argument("--calls", type=int, default=2000, help="messages per repeat")
    args = ap.parse_args()

    print(f"interpreter: {sys.version.split()[0]} ({platform.python_implementation()}, {sys.executable})")
    print(f"processor:   {processor()}, {os.cpu_count()} cores")
    print(f"ns per call: median over {args.repeats} repeats of {args.calls} calls; IQR = spread of the repeats")

    names = [k for k in baseline.stubs(UNIVERSE)]
    standins = {k: getattr(ferrule, k) for k in names}
    StandInEnvironment.set_instance(StandInEnvironment(UNIVERSE))
    compiled = ferrule.VelaStrategy(SimpleNamespace(base=SimpleNamespace(accounts={}, trading_calendar=[])))
    yardstick = baseline.VelaStrategy()

    # 1: near-free stubs, a plain deque as the queue on both sides.
    stubs = baseline.stubs(UNIVERSE)
    sink = collections.deque(maxlen=4096)
    for k, v in stubs.items():
        setattr(ferrule, k, v)
    ferrule.event_queue.append = sink.append
    baseline.install(stubs, sink)
    try:
        run("Near-free engine stubs, plain deque as the queue", args.calls, args.repeats, compiled, yardstick)
    finally:
        for k, v in standins.items():
            setattr(ferrule, k, v)
        del ferrule.event_queue.append

    # 2: the stand-in engine and the ring buffer, end to end.
    baseline.install(standins, RingBuffer(capacity=1_000_000, dtype=object))
    run("Stand-in engine, ring buffer as the queue (end to end)", args.calls, args.repeats, compiled, yardstick)


if __name__ == "__main__":
    main()
