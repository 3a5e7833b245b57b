"""A recorded simulated day replayed through the bridge: the same event stream,
the same requests from the strategy and the same end state as the recorded run."""
import collections
import itertools
import json
import os
import struct
import subprocess
import sys
import time
import zlib
from types import SimpleNamespace

import numpy as np
import pytest

from sim_support import EventLog

from corvina.lumen.environment import Environment
from corvina.lumen.live import run_day
from corvina.lumen.live.replay import Replay, replay
from corvina.lumen.live.report import summary
from corvina.lumen.model import order as order_model
from corvina.lumen.model import trade as trade_model
from corvina.lumen.utils import ferrule, ferrule_recording
from pyvela.messages import Snapshot
from pyvela.enums import MarketType
from pyvela.sim import feed

SHORT_DAY = [(feed.hms(9, 14), feed.hms(10, 21)), (feed.hms(14, 45), feed.hms(15, 0))]
STRATEGIES = ["corvina.lumen.live.strategies.breakout", "corvina.lumen.live.strategies.tour"]
REQUESTS = {"insert_order", "cancel_order", "create_algo_parent_order", "cancel_algo_parent_order",
            "control_algo_parent_order"}


def numbered_afresh(mp):
    """The engine numbers orders and trades per process: each run starts at 1, as in a process of its own."""
    mp.setattr(order_model, "_ids", itertools.count(1))
    mp.setattr(trade_model, "_ids", itertools.count(1))


@pytest.fixture(scope="module", params=STRATEGIES, ids=lambda s: s.rsplit(".", 1)[-1])
def runs(request, tmp_path_factory):
    path = str(tmp_path_factory.mktemp("recording") / "day.rec")
    with pytest.MonkeyPatch.context() as mp:
        numbered_afresh(mp)
        recorded = EventLog(mp)
        day = run_day(strategy=request.param, windows=SHORT_DAY, record=path)
    with pytest.MonkeyPatch.context() as mp:
        numbered_afresh(mp)
        replayed = EventLog(mp)
        again = replay(path, strategy=request.param)
    return SimpleNamespace(day=day, again=again, recorded=recorded, replayed=replayed, path=path)


def test_the_replay_publishes_the_recorded_event_stream(runs):
    recorded, replayed = runs.recorded.events, runs.replayed.events
    assert len(recorded) > 1000 and not runs.day.engine.errors
    first_difference = next((i for i, (a, b) in enumerate(zip(recorded, replayed)) if a != b), None)
    assert first_difference is None, (recorded[first_difference], replayed[first_difference])
    assert len(replayed) == len(recorded)
    assert runs.replayed.digest() == runs.recorded.digest()


def end_state(engine):
    return {
        "orders": [(o.client_order_id, o.market_code, o.side, o.quantity, o.price, o.status, o.filled_quantity,
                    o.avg_price, o.message) for o in engine.orders.values()],
        "fills": [(t.trade_id, t.order_id, t.amount, t.price) for t, _ in engine.trades],
        "child fills": [(code, side, t.sys_quote_id, t.trade_qty, t.trade_price) for code, side, t in
                        engine.child_trades],
        "parents": {k: vars(p) for k, p in engine.parents.items()},
        "positions": {c: (h.quantity, h.sellable, h.avg_price, h.last_price) for c, h in engine.account.holdings.items()},
        "cash": (engine.account.cash, engine.account.start_equity),
        "notes": engine.notes,
    }


def test_the_replay_ends_where_the_recorded_day_did(runs):
    again, day = runs.again, runs.day
    assert not again.engine.errors and not again.gateway.error_counts and not again.gateway.timers.errors
    assert end_state(again.engine) == end_state(day.engine)
    assert day.engine.orders and again.gateway.syncs > 100
    assert summary(again).splitlines()[1:] == summary(day).splitlines()[1:]
    # The strategy asked for the same things, in the same order, though nothing received them.
    asked = [(name, args) for name, args in day.gateway.context.requests if name in REQUESTS]
    assert asked and [(n, a) for n, a in again.requests if n in REQUESTS] == asked


def test_the_recording_holds_every_call_the_gateway_made(runs):
    gw = runs.day.gateway
    expected = collections.Counter(gw.delivered) + collections.Counter(name for _, name in gw.timers.fired)
    expected["initialize"] += 1
    with ferrule_recording.open(runs.path) as rec:
        assert rec.meta["universe"] == runs.day.universe and rec.meta["lockstep"]
        calls = collections.Counter(r.name for r in rec if not r.nested)
    syncs = calls.pop("mark")
    assert calls == expected and syncs == runs.again.gateway.syncs + runs.again.gateway.merged


def test_the_commands_record_a_day_and_replay_it_to_the_same_summary(tmp_path):
    path = str(tmp_path / "day.rec")
    day = subprocess.run([sys.executable, "-m", "corvina.lumen.live", "--quiet", "--window", "09:29-09:45",
                          "--window", "14:49-15:00", "--record", path], capture_output=True, text=True, timeout=300)
    assert day.returncode == 0, day.stderr
    again = subprocess.run([sys.executable, "-m", "corvina.lumen.live.replay", path], capture_output=True,
                           text=True, timeout=300)
    assert again.returncode == 0, again.stderr
    (day_text, day_latency), (replay_text, replay_latency) = latency_apart(day.stdout), latency_apart(again.stdout)
    assert replay_text[1:] == day_text[1:]
    # the times differ; the calls measured are the same, the ages are counted from the same stamps
    assert [row[:2] for row in replay_latency] == [row[:2] for row in day_latency]
    assert "Orders: " in again.stdout and "Replay of " in again.stderr


def latency_apart(summary):
    """The summary's lines without its latency table, and the table's rows split into columns."""
    lines = summary.splitlines()
    start = lines.index("Latency:")
    end = next((i for i in range(start + 1, len(lines)) if not lines[i].startswith("  ")), len(lines))
    rows = [line.split() for line in lines[start + 1:end] if line.startswith("    ")]
    return lines[:start] + lines[end:], rows


def test_the_day_records_over_no_file_unasked(tmp_path):
    path = tmp_path / "day.rec"
    path.write_bytes(b"the first day")
    out = subprocess.run([sys.executable, "-m", "corvina.lumen.live", "--quiet", "--record", str(path)],
                         capture_output=True, text=True, timeout=300)
    assert out.returncode == 2 and not out.stdout
    assert out.stderr.splitlines() == [f"python -m corvina.lumen.live: --record {path}: the file exists (--overwrite "
                                       f"replaces it)"]
    assert path.read_bytes() == b"the first day"


@pytest.mark.parametrize("content, message", [(None, "No such file"), (b"not a recording", "not a ferrule recording")])
def test_the_replay_command_refuses_what_it_cannot_read(tmp_path, content, message):
    path = tmp_path / "bad.rec"
    if content is not None:
        path.write_bytes(content)
    out = subprocess.run([sys.executable, "-m", "corvina.lumen.live.replay", str(path)], capture_output=True,
                         text=True, timeout=60)
    assert out.returncode == 2 and message in out.stderr


def small_recording(path, snapshots=1, pause=0.0, meta=None):
    """initialize (a configuration holding a numpy date) and snapshots (an enumeration member), recorded."""
    base = SimpleNamespace(md_type="AMD", accounts={}, trading_calendar=[np.datetime64("2024-03-15")])
    previous = Environment._instance
    Environment.set_instance(Environment(["000001.XSHE"]))
    try:
        vela = ferrule.VelaStrategy(SimpleNamespace(base=base))
        ferrule.start_recording(path, {"universe": ["000001.XSHE"], **(meta or {})})
        vela.initialize(SimpleNamespace(base=base))
        for i in range(snapshots):
            time.sleep(pause)
            vela.on_snapshot(Snapshot(orig_time=20240315093000000 + i, security_id="000001",
                                      market_type=MarketType.SZSE, last_price=10.0))
        ferrule.stop_recording()
    finally:
        Environment.set_instance(previous)


def swap_text(raw, old, new):
    """raw records with each text old (u16 length + UTF-8) made new, record sizes mended."""
    old_b, new_b = (struct.pack("<H", len(t.encode())) + t.encode() for t in (old, new))
    out, at = bytearray(), 0
    while at < len(raw):
        (size,) = struct.unpack_from("<I", raw, at)
        body = raw[at + 4:at + 4 + size].replace(old_b, new_b)
        out += struct.pack("<I", len(body)) + body
        at += 4 + size
    return bytes(out)


def crafted(path, out, header=lambda h: None, records=lambda raw: raw):
    """The recording at path rewritten into out as someone crafting a file would: header and records
    changed, sizes and checksums recomputed."""
    with ferrule_recording.open(path) as rec:
        head = dict(rec.header)
        blocks = [(records(raw), count) for raw, count in rec.blocks()]
    header(head)
    text = json.dumps(head).encode()
    data = b"CORVREC\n" + struct.pack("<HHI", 1, 0, len(text)) + text + struct.pack("<I", zlib.crc32(text))
    for raw, count in blocks:
        packed = zlib.compress(raw)
        data += b"CVBK" + struct.pack("<IIII", len(raw), len(packed), count, zlib.crc32(packed)) + packed
    out.write_bytes(data)
    return str(out)


def rename_message(old, new):
    def header(h):
        for callback in h["callbacks"]:
            for arg in callback["args"]:
                if arg.get("message") == old:
                    arg["message"] = new
    return header


PROBE_MODULE = "corvina_replay_probe"
CRAFTED = {  # what is swapped in the file: (header change, records change)
    "as recorded": (None, None),
    "an enumeration path reaching os.getsid": (None, ("pyvela.enums.MarketType", "shlex.os.getsid")),
    "an enumeration of a module not imported": (None, ("pyvela.enums.MarketType", f"{PROBE_MODULE}.Kind")),
    "a numpy function": (None, ("numpy.datetime64", "numpy.corvina_probe")),
    "a message class that is no message": (rename_message("Snapshot", "__class__"), None),
}


@pytest.mark.parametrize("swap", CRAFTED)
def test_a_replayed_file_runs_no_code_it_names(tmp_path, monkeypatch, swap):
    """Enumeration members come only from the gateway SDK's and the engine's enumerations already imported,
    numpy values only from numpy's scalar types, message classes only from the SDK's messages; any other
    name stays an opaque value of the reader."""
    called = []
    monkeypatch.setattr(os, "getsid", lambda *a: called.append(a))
    monkeypatch.setattr(np, "corvina_probe", lambda *a: called.append(a), raising=False)
    (tmp_path / f"{PROBE_MODULE}.py").write_text("import enum\nclass Kind(enum.Enum):\n    A = 1\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    small_recording(str(tmp_path / "day.rec"))
    header, text = CRAFTED[swap]
    path = crafted(tmp_path / "day.rec", tmp_path / "crafted.rec", header or (lambda h: None),
                   (lambda raw: swap_text(raw, *text)) if text else (lambda raw: raw))
    reader = Replay(path, strategy=None)
    try:
        records = [r for batch in reader.batches() for r in batch]
    finally:
        reader.file.close()
        imported = sys.modules.pop(PROBE_MODULE, None)
    config = records[0][5][0]
    snapshot = records[-1][5][0]
    date = config["trading_calendar"][0]
    market = snapshot["market_type"] if type(snapshot) is dict else snapshot.market_type
    assert not called and imported is None
    if swap == "as recorded":
        assert type(snapshot) is Snapshot and market is MarketType.SZSE and date == np.datetime64("2024-03-15")
    elif text and text[0].startswith("pyvela"):
        assert market == ferrule_recording.EnumValue(text[1], MarketType.SZSE.value)
    elif text:
        assert date == ferrule_recording.Other(text[1], "2024-03-15")
    else:
        assert type(snapshot) is dict and market is MarketType.SZSE


def test_the_replay_command_runs_a_recorded_strategy_only_when_it_is_the_live_runs_own(tmp_path):
    marker = tmp_path / "ran"
    script = tmp_path / "named.py"
    script.write_text(f"open({str(marker)!r}, 'w').close()\nclass Strategy:\n    pass\n")
    path = str(tmp_path / "day.rec")
    small_recording(path, meta={"strategy": str(script)})
    out = subprocess.run([sys.executable, "-m", "corvina.lumen.live.replay", "--quiet", path], capture_output=True,
                         text=True, timeout=60)
    assert out.returncode == 2 and "pass --strategy" in out.stderr and not marker.exists()


def test_a_paced_replay_keeps_to_the_recorded_pace(tmp_path):
    path = str(tmp_path / "paced.rec")
    small_recording(path, snapshots=4, pause=0.1)
    shown = []
    start = time.monotonic()
    result = replay(path, speed=2.0, progress=lambda r, e: shown.append(r.feed.records), progress_every=0.01)
    assert time.monotonic() - start >= 0.3 / 2
    assert result.gateway.market_data == 4 and shown and result.engine.counts
