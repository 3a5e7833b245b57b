"""Property tests of the bridge and the credential store under hostile input.

Run in a child interpreter by test_properties.py, so that a segfault fails a
test instead of ending the run; the file name keeps pytest from collecting it
in the parent. CORVINA_PROPERTY_EXAMPLES sets the examples per test."""
import atexit
import collections
import json
import os
import tempfile

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import bridge_support as B
import reliability_support as R
from reliability_support import CALLBACKS, ferrule

settings.register_profile(
    "reliability", max_examples=int(os.environ.get("CORVINA_PROPERTY_EXAMPLES", "150")), deadline=None,
    database=None, suppress_health_check=list(HealthCheck), print_blob=True,
    # CI must be repeatable; by hand every run explores new inputs.
    derandomize=bool(os.environ.get("CI")))
settings.load_profile("reliability")

STATS = collections.Counter()


@atexit.register
def _write_stats():
    path = os.environ.get("CORVINA_RELIABILITY_STATS")
    if path:
        with open(path, "a") as f:
            f.write(json.dumps(dict(STATS)) + "\n")


def call(target, *args, **kwargs):
    """Calls target; any Python exception is an allowed outcome except a
    SystemError, which means the C++ broke the C-API contract."""
    STATS["calls"] += 1
    try:
        result = target(*args, **kwargs)
    except SystemError:
        raise
    except (Exception, R.HostileBaseError) as e:
        STATS["raised"] += 1
        STATS["raised:" + type(e).__name__] += 1
        return e
    STATS["returned"] += 1
    return result


# --- strategies ---------------------------------------------------------------

def awkward():
    return st.sampled_from(R.AWKWARD).map(lambda make: make())


def bad_value():
    return st.one_of(awkward(), awkward(), st.sampled_from(R.RAISERS).map(lambda make: R.Raises(make())),
                     st.just(MISSING))


MISSING = object()


@st.composite
def hostile_message(draw, cls):
    """Each field is spoilt with a chance drawn per message (none, a few, many),
    so that the deep paths run as well as the early failures."""
    percent = draw(st.sampled_from([0, 3, 10, 30, 60]))
    fields = {}
    for f in R.message_fields(cls):
        spoilt = draw(st.integers(0, 99)) < percent
        v = draw(bad_value()) if spoilt else draw(st.sampled_from(R.good_values(f)))
        if v is not MISSING:
            fields[f] = v
    return R.Message(cls.__name__, fields)


def message_or_junk(cls):
    return st.one_of(hostile_message(cls), hostile_message(cls), hostile_message(cls), awkward())


def plain_arg():
    return st.one_of(st.sampled_from([0, 0, 1, 7, "ok", ""]), awkward())


def position_answer():
    entries = st.lists(message_or_junk(R.M.PositionEntry), max_size=4)
    return st.one_of(entries, entries, entries.map(tuple), entries.map(ListSub), awkward())


class ListSub(list):
    pass


@st.composite
def callback_args(draw, name):
    cls, extra = CALLBACKS[name]
    if name == "on_query_position":
        head = draw(position_answer())
    else:
        head = draw(message_or_junk(cls))
    return (head,) + tuple(draw(plain_arg()) for _ in range(extra))


def engine_order():
    from corvina.lumen.model.order import Order

    real = st.builds(lambda: Order("000001.XSHE", 100, 10.0))
    hostile = st.fixed_dictionaries({}, optional={
        a: st.one_of(st.sampled_from([0, 10.0, "000001.XSHE"]), awkward())
        for a in ("market_code", "status", "order_id", "side", "position_effect", "price", "filled_quantity")
    }).map(lambda d: R.Message("EngineOrder", d))
    return st.one_of(real, real, hostile)


def file_orders(draw):
    filed = {}
    for cid in draw(st.lists(st.sampled_from([1, 2, 3]), unique=True, max_size=3)):
        filed[cid] = B.file_order(cid, draw(engine_order()))
    return filed


# --- the callbacks ---------------------------------------------------------------

def exercise(name, data):
    B.reset_state()
    originals = R.snapshot_globals()
    filed = file_orders(data.draw)
    s = B.new_strategy()
    args = data.draw(callback_args(name))
    call(getattr(s, name), *args)
    R.check_invariants(originals, filed)
    for e in B.drain():
        assert type(e).__name__ == "Event", e


GROUPS = {
    "market_data": R.MARKET_DATA,
    "account": ("on_login", "on_query_asset", "on_query_position"),
    "orders": ("on_order", "on_trade", "on_order_action_error"),
    "algo": tuple(n for n in CALLBACKS if "algo" in n),
}


@pytest.mark.parametrize("name", GROUPS["market_data"])
@given(data=st.data())
def test_market_data(name, data):
    exercise(name, data)


@pytest.mark.parametrize("name", GROUPS["account"])
@given(data=st.data())
def test_account(name, data):
    exercise(name, data)


@pytest.mark.parametrize("name", GROUPS["orders"])
@given(data=st.data())
def test_orders(name, data):
    exercise(name, data)


@pytest.mark.parametrize("name", GROUPS["algo"])
@given(data=st.data())
def test_algo(name, data):
    exercise(name, data)


@pytest.mark.parametrize("how", ["positional", "keyword"])
@given(data=st.data())
def test_callbacks_by_keyword_and_wrong_arity(how, data):
    """The argument binding itself: missing, extra and unknown arguments."""
    B.reset_state()
    s = B.new_strategy()
    name = data.draw(st.sampled_from(sorted(CALLBACKS)))
    args = data.draw(st.lists(plain_arg(), max_size=6))
    kwargs = data.draw(st.dictionaries(st.sampled_from(["order", "bar", "snapshot", "msg", "code", "x", "self"]),
                                       plain_arg(), max_size=3))
    fn = getattr(s, name) if how == "positional" else getattr(ferrule.VelaStrategy, name)
    if how == "keyword":
        args = [data.draw(st.sampled_from([s, None, object()]))] + args
    call(fn, *args, **kwargs)
    B.drain()


# --- recording -------------------------------------------------------------------------

RECORDING = os.path.join(tempfile.mkdtemp(prefix="corvina-recording-"), "hostile.rec")


def outcome(name, args):
    B.reset_state()
    result = call(getattr(B.new_strategy(), name), *args)
    raised = type(result).__name__ if isinstance(result, BaseException) else None
    return raised, [e.event_type.name for e in B.drain()]


@pytest.mark.parametrize("group", sorted(GROUPS))
@given(data=st.data())
def test_recording(group, data):
    """Recording a hostile call changes nothing the call does, and both readers read what was written."""
    from corvina.lumen.live.replay import message_shapes, resolve
    from corvina.lumen.utils import ferrule_recording

    name = data.draw(st.sampled_from(GROUPS[group]))
    args = data.draw(callback_args(name))
    plain = outcome(name, args)
    ferrule.start_recording(RECORDING, overwrite=True)
    try:
        recorded = outcome(name, args)
    finally:
        stats = ferrule.stop_recording()
    assert recorded == plain
    assert stats["error"] is None and stats["dropped"] == 0 and stats["records"] == 1
    with ferrule_recording.open(RECORDING) as rec:
        assert [r.name for r in rec] == [name]
    with ferrule_recording.open(RECORDING) as rec:
        shapes = message_shapes(rec.header)
        decoded = [ferrule.decode_records(raw, shapes, resolve, {}) for raw, _ in rec.blocks()]
    assert [len(records) for records in decoded] == [1]


# --- the query functions -------------------------------------------------------------

def record(key, kind, i):
    size = 20 if kind == "tick" else 9
    r = {"market_code": key}
    r.update((f"f{j}", i) for j in range(size - 1))
    return r


@given(data=st.data())
def test_queries(data):
    from collections import deque

    B.reset_state()
    originals = R.snapshot_globals()
    keys = ["000001.XSHE", "600000.XSHG"]
    for kind, history, maxlen in (("tick", ferrule.history_tick, 60), ("bar", ferrule.history_bar, None)):
        for key in data.draw(st.lists(st.sampled_from(keys), unique=True)):
            n = data.draw(st.integers(1, 80))
            history[key] = deque((record(key, kind, i) for i in range(n)), maxlen)
    name = data.draw(st.sampled_from(R.QUERIES))
    code = data.draw(st.one_of(st.sampled_from(keys + ["missing.XSHE"]), awkward()))
    fn = getattr(ferrule, name)
    if name.startswith("history_"):
        count = data.draw(st.one_of(st.integers(-100, 100), st.sampled_from([10**30, -10**30, 2**63]), awkward()))
        how = data.draw(st.sampled_from(["pos", "kw"]))
        result = call(fn, code, count) if how == "pos" else call(fn, market_code=code, count=count)
        history = ferrule.history_tick if name == "history_ticks" else ferrule.history_bar
        if type(code) is str and type(count) is int:
            want = list(history[code])[-count:] if code in history else None
            if count == 0 and want is not None:
                want = list(history[code])
            assert result == want
    else:
        result = call(fn, code)
        history = ferrule.history_tick if name == "get_current_tick" else ferrule.history_bar
        if type(code) is str:
            assert result is (history[code][-1] if code in history else None)
    R.check_invariants(originals)


# --- sequences of calls, day switches and timers included ------------------------------

STEP_KINDS = ["callback"] * 6 + ["switch_day", "query", "file_order", "timer"]
TIMERS = ["send_before_trading_event", "send_open_auction_event", "send_after_trading_event", "on_initialize"]
CALLBACK_NAMES = list(CALLBACKS)


@given(data=st.data())
def test_sequences(data):
    B.reset_state()
    originals = R.snapshot_globals()
    s = B.new_strategy()
    filed = {}
    for _ in range(data.draw(st.integers(1, 25))):
        kind = data.draw(st.sampled_from(STEP_KINDS))
        if kind == "callback":
            name = data.draw(st.sampled_from(CALLBACK_NAMES))
            good = data.draw(st.booleans())
            args = R.good_args(name, data.draw(st.integers(0, 9))) if good else data.draw(callback_args(name))
            call(getattr(s, name), *args)
        elif kind == "switch_day":
            call(s.on_switch_day)
            filed.clear()
            for name in B.BOOKS:
                assert not getattr(ferrule, name), name
        elif kind == "query":
            name = data.draw(st.sampled_from(R.QUERIES))
            args = (data.draw(st.sampled_from(["000001.XSHE", "600000.XSHG"])),)
            if name.startswith("history_"):
                args += (data.draw(st.integers(-70, 70)),)
            call(getattr(ferrule, name), *args)
        elif kind == "file_order":
            cid = data.draw(st.sampled_from([1, 2, 3]))
            filed[cid] = B.file_order(cid, data.draw(engine_order()))
        else:
            call(getattr(s, data.draw(st.sampled_from(TIMERS))))
            if not ferrule.orders_dict:
                filed.clear()
        R.check_invariants(originals, filed)
    for e in B.drain():
        assert type(e).__name__ == "Event", e


# --- construction and start-up with a hostile configuration -------------------------------

@given(data=st.data())
def test_startup(data):
    from types import SimpleNamespace

    B.reset_state()
    originals = R.snapshot_globals()
    base = {}
    for field, good in (("md_type", ["VeMD", "AMD"]), ("order_way", [1]), ("accounts", [{"s": "a_atx"}, {}]),
                        ("algo_account", ["x_atx", None, "x_y_atx"]), ("trading_calendar", [[]])):
        v = data.draw(st.one_of(st.sampled_from(good), st.sampled_from(good), awkward(), st.just(MISSING)))
        if v is not MISSING:
            base[field] = v
    config = SimpleNamespace(base=R.Message("base", base))
    s = call(ferrule.VelaStrategy, config)
    if isinstance(s, ferrule.VelaStrategy):
        call(s.initialize, config)
        call(s.set_timer)
    R.check_invariants(originals)
    B.drain()


# --- the credential store -------------------------------------------------------------

@pytest.fixture(scope="module")
def satchel():
    from corvina.lumen.sdk import satchel

    return satchel


def env_value():
    """A factory of a value: awkward objects are made only after hypothesis has
    finished drawing, because a str subclass whose hash raises upsets its
    bookkeeping of drawn text."""
    plain = st.one_of(st.text(max_size=20), st.text(alphabet=":ab\x00 ", max_size=8))
    return st.one_of(plain.map(lambda v: (lambda: v)), st.sampled_from(R.AWKWARD))


class Environ:
    """Restores os.environ after each example."""

    def __enter__(self):
        self.saved = dict(os.environ)
        return self

    def __exit__(self, *exc):
        for k in set(os.environ) - set(self.saved):
            del os.environ[k]
        os.environ.update(self.saved)


@given(data=st.data())
def test_satchel_get_license_info(satchel, data, capsys):
    with Environ():
        name = data.draw(st.sampled_from(["CORVINA_LICENSE", "RELIABILITY_VAR"]))
        stored = data.draw(st.one_of(st.none(), st.text(max_size=20)))
        os.environ.pop(name, None)
        if stored is not None and "\x00" in stored:
            stored = None  # no environment variable holds a NUL: this one stays unset
        if stored is not None:
            try:
                os.environ[name] = stored
            except (ValueError, UnicodeEncodeError):
                stored = None
        arg = data.draw(st.one_of(st.just(lambda: name), st.sampled_from(R.AWKWARD)))()
        result = call(satchel.get_license_info, arg) if data.draw(st.booleans()) else call(
            satchel.get_license_info, license_name=arg)
        if arg is name and not isinstance(result, BaseException):
            assert type(result) is tuple and len(result) == 2
            if stored and ":" in stored:
                assert result == tuple(stored.split(":", 1))
    capsys.readouterr()


@given(data=st.data())
def test_satchel_set_to_environ(satchel, data, capsys, monkeypatch):
    calls = []

    def update_bash_file(names, value):
        calls.append((list(names), value))
        if failing:
            raise PermissionError("read-only")

    monkeypatch.setattr(satchel, "update_bash_file", update_bash_file)
    with Environ():
        failing = data.draw(st.booleans())
        name = st.sampled_from(["CORVINA_LICENSE", "RELIABILITY_A", "RELIABILITY_B"])
        make_variables = data.draw(st.one_of(
            name.map(lambda n: (lambda: n)), st.lists(name, max_size=3).map(lambda ns: (lambda: ns)),
            st.lists(env_value(), max_size=2).map(lambda makes: (lambda: [m() for m in makes])),
            st.sampled_from(R.AWKWARD)))
        make_value = data.draw(env_value())
        variables, value = make_variables(), make_value()
        result = call(satchel.set_to_environ, variables, value)
        if not isinstance(result, BaseException):
            assert result is None
            names = variables if isinstance(variables, list) else [variables]
            for n in names:
                assert str.__eq__(os.environ[n], value)  # value may be a str whose == raises
    capsys.readouterr()
