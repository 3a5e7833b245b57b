import builtins

import pytest

from bridge_support import summary
from pyvela.enums import MarketType
from pyvela.messages import AssetRes, LoginRes, PositionEntry


def entry(security_id="000001", **fields):
    fields.setdefault("market_id", MarketType.SZSE)
    return PositionEntry(security_id=security_id, **fields)


def test_successful_login_publishes_then_queries_assets_before_positions(strategy, drain, logs):
    strategy.on_login(LoginRes(fund_account_id="F1", error_code=0, client_seq_id=3, error_msg="ok"))
    (event,) = drain()
    assert list(event.payload.items()) == [("rid", 3), ("account_id", "F1"), ("code", 0), ("msg", "ok")]
    assert event.event_type.name == "LOGIN" and strategy.logged_in is True
    assert strategy.context.requests == [("query_asset", ("F1",)), ("query_position", ("F1",))]
    assert logs() == [("corvina.system", "INFO", "on_login fund_account_id:F1, error_code:0")]


@pytest.mark.parametrize("code", [7, None, "0", 0.5])
def test_only_the_number_zero_is_success(strategy, drain, code):
    strategy.on_login(LoginRes(fund_account_id="F1", error_code=code))
    strategy.on_query_asset(AssetRes(fund_account_id="F1"), 4, code, "bad")
    strategy.on_query_position([entry()], 5, code, "bad")
    events = drain()
    assert summary(events) == [("LOGIN", ["rid", "account_id", "code", "msg"]),
                               ("QUERY_ACCOUNT", ["rid", "account_id", "code", "msg"]),
                               ("QUERY_POSITION", ["rid", "code", "msg"])]
    assert [e.code for e in events] == [code] * 3
    assert strategy.logged_in is False and strategy.context.requests == []


def test_failing_asset_request_keeps_login_and_skips_positions(strategy, drain, monkeypatch):
    monkeypatch.setattr(strategy.context, "query_asset", lambda account: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        strategy.on_login(LoginRes(fund_account_id="F1", error_code=0))
    assert strategy.logged_in is True and len(drain()) == 1 and strategy.context.requests == []


def test_asset_answer(strategy, drain, logs):
    res = AssetRes(fund_account_id="F1", leaves_value=1, available_t1=2, frozen_all=3, market_value=4,
                   total_asset=5, init_leaves_value=6)
    strategy.on_query_asset(res, 9, 0, "")
    (event,) = drain()
    assert list(event.payload) == ["rid", "account_id", "asset"] and (event.rid, event.account_id) == (9, "F1")
    assert [getattr(event.asset, f) for f in type(event.asset).__slots__] == ["F1", 2, 3, 4, 5, 1, 6]
    assert logs()[-1][2] == "on_query_asset, F1, leaves_value:1 code 0  ms "


@pytest.mark.parametrize("answer", [[], (entry(),), type("Entries", (list,), {})([entry()])])
def test_positions_need_a_non_empty_list(strategy, drain, logs, answer):
    strategy.on_query_position(answer, 1, 0, "ok")
    assert drain() == [] and logs() == [("corvina.system", "INFO", "on_query_position: code:0, msg:ok")]


def test_positions_are_long_and_loaded_with_their_state(ferrule, strategy, drain):
    e = entry("600000", market_id=MarketType.SSE, init_qty=10, leaves_qty=8, available_qty=6, cost_price=1.5,
              last_price=2.5, market_value=20, profit_loss=-1)
    strategy.on_query_position([e], 2, 0, "")
    (event,) = drain()
    assert list(event.payload) == ["rid", "positions"]
    (p,) = event.positions
    assert (p.market_code, p.direction, p.init_qty) == ("600000.XSHG", ferrule.POSITION_DIRECTION.LONG, 10)
    assert (p.quantity, p.available_qty, p.avg_price, p.last_price, p.market_value, p.daily_pnl) == (
        8, 6, 1.5, 2.5, 20, -1)


def test_entries_that_fail_are_warned_left_out_and_counted(ferrule, strategy, drain, logs):
    ferrule.reset_stats()
    entries = [entry("A", market_id=99), entry(None), entry("C", leaves_qty=3)]
    strategy.on_query_position(entries, 2, 0, "")
    assert ferrule.stats()["skipped_positions"] == 2
    (event,) = drain()
    assert [p.quantity for p in event.positions] == [3]
    assert [line for name, level, line in logs() if level == "WARNING"] == [
        "on_query_position position do not add: A  exception: unknown market type: 99",
        "on_query_position position do not add: None  exception: unsupported operand type(s) for +: "
        "'NoneType' and 'str'"]
    strategy.on_query_position(entries[:2], 3, 0, "")
    assert drain()[0].positions == []


class Unnamed:
    market_id = MarketType.SZSE

    @property
    def security_id(self):
        raise RuntimeError("unreadable")


class Interrupting:
    def __hash__(self):
        raise KeyboardInterrupt


@pytest.mark.parametrize("first, hide_user_log, error", [
    (entry(market_id=Interrupting()), False, KeyboardInterrupt),  # not an Exception: never caught
    (Unnamed(), False, RuntimeError),  # the warning itself cannot name the entry
    (entry(None), True, NameError),
])
def test_errors_that_end_the_positions_answer(strategy, drain, monkeypatch, first, hide_user_log, error):
    if hide_user_log:
        monkeypatch.delattr(builtins, "user_system_log")
    with pytest.raises(error) as info:
        strategy.on_query_position([first, entry()], 1, 0, "")
    if error is not KeyboardInterrupt:
        assert isinstance(info.value.__context__, (RuntimeError, TypeError))  # the entry's own error
    assert drain() == []


def test_entries_survive_the_list_changing_under_them(ferrule, strategy, drain, logs, monkeypatch):
    answer = [entry("A"), entry("B")]

    class Clearing(ferrule.Position):
        def set_state(self, state):
            answer.clear()  # drops the last reference to the entry being converted
            raise ValueError("gone")
    monkeypatch.setattr(ferrule, "Position", Clearing)
    strategy.on_query_position(answer, 1, 0, "")
    assert drain()[0].positions == []
    assert logs()[-1][2] == "on_query_position position do not add: A  exception: gone"
