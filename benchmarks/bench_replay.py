"""Replay speed and recording overhead, in one process (valgrind in a child).

    .venv/bin/python benchmarks/bench_replay.py [--repeats 5] [--callgrind]

1. A market-data session: the shipped sample day's feed (level-2 snapshots,
   tick-by-tick orders and trades, bars) delivered straight to a VelaStrategy
   on the stand-in engine while recording, into a temporary file. No gateway
   and no syncs: a live engine that drains as it goes.
2. Its replay end to end (read, decode, bridge, stand-in engine, ring buffer
   drained by the engine's thread, the default strategy on the events):
   market-data messages/s and ns per message, median of the repeats, and
   where the time goes: decoding alone, and the calls without the engine.
3. The exact replay of the simulated day (a recording of
   `python -m corvina.lumen.live --record`): its engine catches up at every
   recorded sync, as the live run did.
4. The recorder's cost on the calling thread: the same market-data callbacks
   with and without recording, repeats alternating, thread CPU time; with
   --callgrind, instructions per message inside the recorder's observer.

Wall times on a shared 2-core machine swing by a third; thread CPU times and
instruction counts less so.
"""
import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse  # noqa: E402
import gc  # noqa: E402
import platform  # noqa: E402
import re  # noqa: E402
import shutil  # noqa: E402
import statistics  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402
from types import SimpleNamespace  # noqa: E402

import numpy as np  # noqa: E402

from corvina.lumen.environment import Environment  # noqa: E402
from corvina.lumen.live import replay as live_replay  # noqa: E402
from corvina.lumen.live import run_day  # noqa: E402
from corvina.lumen.live.day import universe_of  # noqa: E402
from corvina.lumen.utils import ferrule, ferrule_recording  # noqa: E402
from pyvela.sim import feed, load_sample  # noqa: E402

CALLBACKS = {"snapshot": "on_snapshot", "tick_order": "on_tick_order", "tick_trade": "on_tick_trade",
             "bar": "on_bar"}
SHORT_DAY = [(feed.hms(9, 14), feed.hms(10, 21)), (feed.hms(14, 45), feed.hms(15, 0))]


def feed_messages(sample, limit=None):
    """[(callback name, message)] of the sample day (the first limit of them), in feed order."""
    r = feed.Replay(sample)
    out = []
    while r.peek() is not None and (limit is None or len(out) < limit):
        kind, _, message = r.pop()
        out.append((CALLBACKS[kind], message))
    return out


def config_of(sample):
    return SimpleNamespace(base=SimpleNamespace(md_type="AMD", accounts={"stock": "100001_sim"},
                                                trading_calendar=[np.datetime64(sample.date, "D")]))


def fresh_strategy(sample):
    Environment.set_instance(Environment(universe_of(sample)))
    for name in ("history_tick", "history_bar", "orders_dict"):
        getattr(ferrule, name).clear()
    drain()
    return ferrule.VelaStrategy(config_of(sample))


def drain():
    """Empties event_queue and lets go of what its slots still hold (popleft leaves them referenced)."""
    q = ferrule.event_queue
    while len(q):
        q.popleft()
    q._arr[:] = None


def record_session(sample, messages, path):
    vela = fresh_strategy(sample)
    meta = {"source": "benchmark", "date": sample.date.isoformat(), "universe": universe_of(sample),
            "feed_messages": len(sample.records)}
    ferrule.start_recording(path, meta, overwrite=True)
    vela.initialize(config_of(sample))
    for name, message in messages:
        getattr(vela, name)(message)
    stats = ferrule.stop_recording()
    drain()
    return stats


def replay_once(path):
    gc.collect()
    cpu = time.process_time()
    result = live_replay.replay(path)
    cpu = time.process_time() - cpu
    assert not result.engine.errors and not result.gateway.error_counts, result.engine.errors
    return result.gateway.market_data, result.replay_seconds, cpu


def decode_only(path):
    with ferrule_recording.open(path) as rec:
        shapes, memo = live_replay.message_shapes(rec.header), {}
        raws = [raw for raw, _ in rec.blocks()]
    gc.disable()  # as in a replay
    start = time.thread_time()
    n = sum(len(ferrule.decode_records(raw, shapes, live_replay.resolve, memo)) for raw in raws)
    spent = time.thread_time() - start
    gc.enable()
    return n, spent


def calls_only(sample, path):
    """Decode and call the callbacks, no engine: the queue is emptied between blocks."""
    vela = fresh_strategy(sample)
    with ferrule_recording.open(path) as rec:
        shapes, memo = live_replay.message_shapes(rec.header), {}
        methods = [getattr(vela, name, None) for name in rec.callbacks]
        market = {i for i, name in enumerate(rec.callbacks) if name in CALLBACKS.values()}
        gc.disable()  # as in a replay
        n, start = 0, time.thread_time()
        for raw, _ in rec.blocks():
            for callback, flags, _, _, _, args in ferrule.decode_records(raw, shapes, live_replay.resolve, memo):
                if callback in market:
                    methods[callback](*args)
                    n += 1
        spent = time.thread_time() - start
        gc.enable()
        drain()
        return n, spent


def overhead(sample, messages, repeats, path):
    """Thread CPU ns per market-data message with recording off and on: each repeat runs both, in
    alternating order; returns the medians of off, on and of the paired differences."""
    vela = fresh_strategy(sample)
    calls = [(getattr(vela, name), message) for name, message in messages]
    off, on, diffs = [], [], []
    for r in range(repeats):
        spent = {}
        for recording in ((False, True) if r % 2 == 0 else (True, False)):
            drain()
            if recording:
                ferrule.start_recording(path, overwrite=True)
            gc.disable()
            start = time.thread_time_ns()
            for method, message in calls:
                method(message)
            spent[recording] = (time.thread_time_ns() - start) / len(calls)
            gc.enable()
            if recording:
                ferrule.stop_recording()
        off.append(spent[False])
        on.append(spent[True])
        diffs.append(spent[True] - spent[False])
    drain()
    return statistics.median(off), statistics.median(on), statistics.median(diffs)


def callgrind(n):
    """Instructions per market-data message on the calling thread: the callbacks alone, and what recording
    adds. Three runs of a child under valgrind (--separate-threads: the writer thread's compression is
    left out), the same but for the number of calls and the switch; differences divided by the calls."""
    valgrind = shutil.which("valgrind")
    if not valgrind:
        return None
    totals = {}
    with tempfile.TemporaryDirectory() as tmp:
        for mode, calls in (("off", 0), ("off", n), ("on", n)):
            dump = os.path.join(tmp, f"{mode}-{calls}.out")
            subprocess.run([valgrind, "--tool=callgrind", "--separate-threads=yes", f"--callgrind-out-file={dump}",
                            sys.executable, __file__, "--child", mode, str(calls), os.path.join(tmp, "child.rec")],
                           check=True, capture_output=True, env=dict(os.environ, PYTHONHASHSEED="0"))
            with open(dump + "-01") as f:  # the main thread
                totals[mode, calls] = int(re.search(r"^(?:summary|totals):\s+(\d+)", f.read(), re.M).group(1))
    return {"callback": (totals["off", n] - totals["off", 0]) / n, "recording": (totals["on", n] - totals["off", n]) / n}


def child(mode, n, path):
    """The same work in every mode: the messages, a warm-up recording; then n calls, recorded or not."""
    sample = load_sample()
    messages = feed_messages(sample, limit=8000)
    vela = fresh_strategy(sample)
    calls = [(getattr(vela, name), message) for name, message in messages]
    ferrule.start_recording(path, overwrite=True)
    for method, message in calls[:10]:
        method(message)
    ferrule.stop_recording()
    drain()
    if mode == "on":
        ferrule.start_recording(path, overwrite=True)
    for i in range(n):
        method, message = calls[i % len(calls)]
        method(message)
    ferrule.stop_recording()


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(sys.argv[2], int(sys.argv[3]), sys.argv[4])
        return
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--callgrind", action="store_true", help="also count instructions under valgrind")
    parser.add_argument("--callgrind-messages", type=int, default=20000)
    args = parser.parse_args()
    print(f"interpreter: {platform.python_version()} ({platform.python_implementation()}, {sys.executable})")
    print(f"processor:   {platform.processor() or platform.machine()}, {os.cpu_count()} cores")

    sample = load_sample()
    messages = feed_messages(sample)
    with tempfile.TemporaryDirectory() as tmp:
        session = os.path.join(tmp, "session.rec")
        stats = record_session(sample, messages, session)
        print(f"\nRecorded session: {len(messages):,} market-data messages, {stats['records']:,} records, "
              f"{stats['raw_bytes']:,} bytes encoded, {stats['bytes']:,} bytes in the file "
              f"({stats['bytes'] / max(stats['raw_bytes'], 1):.0%}), {stats['dropped']} dropped")

        runs = [replay_once(session) for _ in range(args.repeats)]
        n = runs[0][0]
        wall = statistics.median(r[1] for r in runs)
        cpu = statistics.median(r[2] for r in runs)
        print(f"\nReplay end to end (median of {args.repeats}): {n / wall:,.0f} market-data messages/s, "
              f"{wall / n * 1e9:,.0f} ns/message wall, {cpu / n * 1e9:,.0f} ns/message process CPU "
              f"(both threads)")
        decoded, spent = decode_only(session)
        print(f"  of which decoding the file:    {spent / decoded * 1e9:8,.0f} ns/record (thread CPU)")
        called, spent = calls_only(sample, session)
        print(f"  decoding + the bridge's calls: {spent / called * 1e9:8,.0f} ns/message (thread CPU, no engine)")

        day = os.path.join(tmp, "day.rec")
        run_day(windows=SHORT_DAY, record=day)
        exact = [replay_once(day) for _ in range(max(1, args.repeats // 2))]
        n, wall = exact[0][0], statistics.median(r[1] for r in exact)
        with ferrule_recording.open(day) as rec:
            syncs = sum(1 for r in rec if r.callback == ferrule_recording.MARK)
        print(f"\nExact replay of a shortened simulated day ({syncs:,} syncs): {n / wall:,.0f} market-data "
              f"messages/s, {wall / n * 1e9:,.0f} ns/message wall")

        off, on, diff = overhead(sample, messages, args.repeats, os.path.join(tmp, "overhead.rec"))
        print(f"\nRecording overhead on the calling thread (thread CPU, medians of {args.repeats} repeats of "
              f"{len(messages):,} messages, off and on in alternating order): {off:,.0f} ns/message off, "
              f"{on:,.0f} on, paired difference {diff:+,.0f} ns/message")
        if args.callgrind:
            counts = callgrind(args.callgrind_messages)
            if counts is None:
                print("  (valgrind not found: no instruction counts)")
            else:
                print(f"  instructions per message on the calling thread (callgrind, {args.callgrind_messages:,} "
                      f"messages): the callback {counts['callback']:,.0f}, recording adds "
                      f"{counts['recording']:,.0f} ({counts['recording'] / counts['callback']:.1%})")


if __name__ == "__main__":
    main()
