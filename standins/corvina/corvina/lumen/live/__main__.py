"""`python -m corvina.lumen.live`: a simulated trading day with a progress line and
a summary. Part of the stand-in for the engine's live-run side."""
import argparse
import datetime as dt
import os
import sys

from corvina.lumen.live.day import DEFAULT_STRATEGY, load_strategy, parse_speed, run_day
from corvina.lumen.live.report import failed, progress_line, summary
from pyvela.sim import FeedLatency
from pyvela.sim.faults import parse as parse_faults


def window(text):
    """HH:MM-HH:MM -> (start ms, end ms) after midnight."""
    try:
        ends = [dt.datetime.strptime(part.strip(), "%H:%M").time() for part in text.split("-")]
        start, end = ends
    except ValueError:
        raise argparse.ArgumentTypeError(f"not HH:MM-HH:MM: {text!r}") from None
    if end <= start:
        raise argparse.ArgumentTypeError(f"the window {text!r} ends before it starts")
    return tuple((t.hour * 60 + t.minute) * 60_000 for t in (start, end))


def faults(text):
    try:
        return parse_faults(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def feed_latency(text):
    try:
        return FeedLatency.parse(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m corvina.lumen.live",
                                     description="Runs a simulated trading day on the bridge and prints a summary.")
    parser.add_argument("--data", help="sample day to replay (default: the one shipped with the gateway stand-in)")
    parser.add_argument("--speed", type=parse_speed, default=0.0,
                        help="virtual seconds per real second, or max (default: max, as fast as possible)")
    parser.add_argument("--strategy", default=DEFAULT_STRATEGY,
                        help=f"module name or .py file defining class Strategy (default: {DEFAULT_STRATEGY})")
    parser.add_argument("--window", type=window, action="append", metavar="HH:MM-HH:MM",
                        help="replay only the market data inside this part of the day (repeatable); the clock, "
                             "timers and orders still run through the whole day")
    parser.add_argument("--quiet", action="store_true", help="no progress line")
    parser.add_argument("--record", metavar="FILE",
                        help="record the bridge's calls into FILE, a new file readable by its owner alone (replay: "
                             "python -m corvina.lumen.live.replay FILE)")
    parser.add_argument("--overwrite", action="store_true",
                        help="with --record: replace FILE when it exists (a symbolic link is replaced, not followed)")
    parser.add_argument("--faults", type=faults, nargs="?", const="all", metavar="KIND,...",
                        help="the simulated gateway injects faults and the summary holds the bridge's counts "
                             "against them: resend (order reports sent again), cancel-match (cancellation "
                             "reports repeating the latest match), unknown (reports for orders never sent), "
                             "overflow (the engine stalled before the open until a smaller queue overflows); "
                             "all of them without a list")
    parser.add_argument("--feed-latency", type=feed_latency, metavar="MEDIAN,P99",
                        help="the simulated gateway stamps market data with the real exchange time that much "
                             "earlier, delays drawn from a log-normal with that median and 99th percentile "
                             "(seconds, or with s, ms or us: 20ms,80ms); the day itself stays the same")
    parser.add_argument("--plot", metavar="FILE",
                        help="draw the day into FILE, a PNG: prices and fills, equity, the queue's depth, the "
                             "callback times and message ages (needs matplotlib)")
    args = parser.parse_args(argv)
    try:
        strategy = load_strategy(args.strategy)
    except (ImportError, OSError, SyntaxError) as e:
        parser.error(f"--strategy {args.strategy}: {e}")
    if args.record and not os.path.isdir(os.path.dirname(os.path.abspath(args.record))):
        parser.error(f"--record {args.record}: no such folder")
    if args.overwrite and not args.record:
        parser.error("--overwrite goes with --record FILE")
    if args.feed_latency and args.record:
        parser.error("--feed-latency and --record: a replay would take the real stamps for the day's times")
    if args.plot:
        if not os.path.isdir(os.path.dirname(os.path.abspath(args.plot))):
            parser.error(f"--plot {args.plot}: no such folder")
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            parser.error("--plot needs matplotlib (pip install 'corvina-engine-standin[plot]')")

    tty = sys.stdout.isatty()
    shown = {"slot": None}

    def progress(engine, gateway):
        line = progress_line(engine, gateway)
        if tty:
            print("\r" + line.ljust(100), end="", flush=True)
            return
        # Not a terminal: one line per half hour of the day.
        now = gateway.clock.now()
        slot = (now.hour, now.minute // 30)
        if slot != shown["slot"]:
            shown["slot"] = slot
            print(line, flush=True)

    trace = None
    if args.plot:
        from corvina.lumen.live.plot import DayTrace
        from corvina.lumen.utils import ferrule

        trace = DayTrace(ferrule)
    try:
        result = run_day(data=args.data, speed=args.speed, strategy=strategy, windows=args.window,
                         progress=None if args.quiet else progress, record=args.record, overwrite=args.overwrite,
                         faults=args.faults, feed_latency=args.feed_latency, latency=True, trace=trace)
    except FileExistsError as e:
        if e.filename != args.record:
            raise
        print(f"{parser.prog}: --record {args.record}: the file exists (--overwrite replaces it)", file=sys.stderr)
        return 2
    if tty and not args.quiet:
        print("\r" + progress_line(result.engine, result.gateway).ljust(100))
    print(summary(result))
    if trace is not None:
        from corvina.lumen.live.plot import draw

        draw(trace, result, args.plot)
        print(f"Picture of the day: {args.plot}")
    return 1 if failed(result) else 0


if __name__ == "__main__":
    sys.exit(main())
