"""Market data on two gateway threads, each on instruments of its own, against
the same messages on one thread: the throughput the second thread adds, for
the compiled callbacks and for the plain-Python yardstick, side by side.

    .venv-3.13t/bin/python benchmarks/bench_threads.py [--calls 20000] [--rounds 7]

Both sides run against the engine stubs written in Python (baseline.stubs)
and a deque as the queue (its append is safe beside another thread's on
every build). Each round runs, per callback and side, alternating: all the
messages on one thread, then half on each of two threads started together.
`x2` is the one-thread wall time over the two-thread wall time (2.0: the
second thread doubles the throughput), median of the rounds, with the range.
With a GIL the threads take turns and x2 stays near 1; without one it shows
what runs in parallel. Wall time, so the machine's other load moves it.
"""
import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse  # noqa: E402
import collections  # noqa: E402
import gc  # noqa: E402
import statistics  # noqa: E402
import sys  # noqa: E402
import sysconfig  # noqa: E402
import threading  # noqa: E402
import time  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import bench_market_data as B  # noqa: E402

CALLBACKS = [("on_snapshot", B.snapshots), ("on_tick_order", B.tick_orders), ("on_tick_trade", B.tick_trades)]


def split(msgs):
    """Two halves on disjoint instruments."""
    codes = sorted({m.security_id for m in msgs})
    mine = set(codes[::2])
    return [m for m in msgs if m.security_id in mine], [m for m in msgs if m.security_id not in mine]


def wall(cb, parts):
    """Seconds to deliver each part on a thread of its own, started together."""
    start = threading.Barrier(len(parts) + 1)

    def run(msgs):
        start.wait()
        for m in msgs:
            cb(m)
    threads = [threading.Thread(target=run, args=(p,)) for p in parts]
    for t in threads:
        t.start()
    start.wait()
    t0 = time.perf_counter()
    for t in threads:
        t.join()
    return time.perf_counter() - t0


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--calls", type=int, default=20000)
    ap.add_argument("--rounds", type=int, default=7)
    args = ap.parse_args()
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"CPython {sys.version.split()[0]}{'t' if sysconfig.get_config_var('Py_GIL_DISABLED') else ''}, "
          f"GIL {'on' if gil else 'off'}, {os.cpu_count()} CPUs; {args.calls} calls per round, "
          f"{args.rounds} rounds; x2 = one-thread time / two-thread time, median [min-max]")
    bench = B.Bench()
    undo = bench.bind("python")
    try:
        print(f"{'callback':<16}{'side':<10}{'1 thread us/call':>18}{'x2':>8}  range")
        for name, make in CALLBACKS:
            msgs = make(args.calls)
            halves = split(msgs)
            out = collections.defaultdict(lambda: {"one": [], "two": []})
            for _ in range(args.rounds):
                for side, cb in B.sides(name, bench.compiled, bench.yardstick):
                    for parts, key in (([msgs], "one"), (halves, "two")):
                        B.reset_state(bench.compiled, bench.yardstick)
                        gc.collect()
                        out[side][key].append(wall(cb, parts))
            for side, t in out.items():
                ratios = [a / b for a, b in zip(t["one"], t["two"])]
                per_call = statistics.median(t["one"]) / len(msgs) * 1e6
                print(f"{name:<16}{side:<10}{per_call:>18.2f}{statistics.median(ratios):>8.2f}  "
                      f"[{min(ratios):.2f}-{max(ratios):.2f}]")
    finally:
        undo()


if __name__ == "__main__":
    main()
