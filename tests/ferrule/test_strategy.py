import datetime as dt
import inspect
import types

import numpy as np
import pytest

from corvina.lumen.utils import ferrule as F
from bridge_support import make_config
from signature_support import python_equivalent, type_error

METHODS = ["__init__", "initialize", "on_initialize", "on_switch_day", "on_snapshot", "on_tick_order",
           "on_tick_trade", "on_bar", "on_login", "on_query_asset", "on_query_position", "on_order", "on_trade",
           "on_order_action_error", "on_algo_login", "on_create_algo_parent_order_res",
           "on_cancel_algo_parent_order_res", "on_control_algo_parent_order_res", "on_algo_parent_order_update",
           "on_algo_child_order_update", "on_algo_child_order_trade", "create_time_listener", "send_day_event",
           "send_before_trading_event", "send_after_trading_event", "send_open_auction_event", "set_timer"]

TRADING_DAY = dt.datetime(2026, 12, 8, 8, 30)


def test_class_shape(ferrule):
    cls = ferrule.VelaStrategy
    assert cls.__bases__ == (ferrule.strategy.VelaStrategy,)
    assert type(cls) is type(ferrule.strategy.VelaStrategy)
    assert cls.__module__ == "corvina.lumen.utils.ferrule" and cls.__qualname__ == "VelaStrategy"
    assert cls.__doc__ is None
    own = [k for k in vars(cls) if k not in ("__module__", "__qualname__", "__dict__", "__weakref__", "__doc__")]
    assert own == METHODS
    for name in METHODS:
        f = vars(cls)[name]
        assert f.__qualname__ == "VelaStrategy." + name and f.__name__ == name
        assert f.__module__ == "corvina.lumen.utils.ferrule"


def test_methods_bind_like_python_methods(ferrule, strategy):
    bound = strategy.on_switch_day
    assert isinstance(bound, types.MethodType) and bound.__self__ is strategy
    assert bound.__func__ is vars(ferrule.VelaStrategy)["on_switch_day"]
    assert ferrule.VelaStrategy.on_switch_day(strategy) is None
    assert ferrule.VelaStrategy.send_day_event(strategy, dt=1, event_type=ferrule.EVENT.OPEN_AUCTION) is None


@pytest.mark.parametrize("method, args, kwargs", [
    ("on_order", (), {}), ("on_order", (1, 2), {}), ("on_order", (), {"order": 1, "other": 2}),
    ("on_order", (1,), {"order": 1}), ("on_query_asset", (1,), {"msg": 2}), ("on_query_asset", (), {}),
    ("on_initialize", (1,), {}),
])
def test_wrong_arguments_raise_typeerror_as_a_python_method(ferrule, strategy, method, args, kwargs):
    reference = types.MethodType(python_equivalent(vars(ferrule.VelaStrategy)[method]), strategy)
    assert type_error(getattr(strategy, method), *args, **kwargs) == type_error(reference, *args, **kwargs)


def test_constructor_sets_attributes_in_order(ferrule, clock):
    clock(dt.datetime(2026, 12, 8, 8, 30, 5))
    cfg = make_config()
    s = ferrule.VelaStrategy(cfg)
    assert list(vars(s))[-6:] == ["logged_in", "order_num", "bar_cnt", "current_trade_dt", "first_dt", "config"]
    assert (s.logged_in, s.order_num, s.bar_cnt, s.current_trade_dt) == (False, 0, 0, 0)
    assert s.first_dt == dt.date(2026, 12, 8) and type(s.first_dt) is dt.date
    assert s.config is cfg and s.context is not None


def test_python_subclass_with_mixin(ferrule, config):
    class Mixin:
        def __init__(self, *args, **kwargs):
            self.mixed = True
            super().__init__(*args, **kwargs)

    class User(Mixin, ferrule.VelaStrategy):
        def __init__(self, config):
            super().__init__(config)
            self.user = True

    u = User(config())
    assert u.mixed and u.user and u.logged_in is False and u.context is not None


def requests(s, skip=("add_timer_interval",)):
    return [r for r in s.context.requests if r[0] not in skip]


@pytest.mark.parametrize("md_type, expected", [("VeMD", "VeMD"), ("vemd", "AMD"), ("AMD", "AMD"), (None, "AMD"), (..., "AMD")])
def test_market_data_gateway(ferrule, clock, md_type, expected):
    clock(TRADING_DAY)
    base = {} if md_type is ... else {"md_type": md_type}
    s = ferrule.VelaStrategy(make_config(**base))
    s.initialize(None)
    md = getattr(ferrule.MDType, expected)
    assert requests(s)[0] == ("add_md_broker", (md,))
    assert ferrule.vela_params["vela_md"] is md


def test_initialize_calls_in_order(ferrule, clock, monkeypatch):
    clock(TRADING_DAY)
    monkeypatch.setattr(ferrule, "get_vela_tdtype", lambda text: "td:" + text)
    s = ferrule.VelaStrategy(make_config(md_type="VeMD", order_way="fast", accounts={"a": "a_atx", "b": "b_xyz"},
                                         algo_account="x_atx", trading_calendar=[np.datetime64(TRADING_DAY, "D")]))
    s.initialize("ignored")
    E = ferrule
    assert requests(s) == [
        ("add_md_broker", (E.MDType.VeMD,)), ("set_order_way", ("fast",)),
        ("add_td_broker", ("td:ATX",)), ("add_td_broker", ("td:XYZ",)),
        ("add_algo_broker", (E.AlgoType.ATX,)),
        ("subscribe", (E.MDType.VeMD, E.MarketType.SZSE, E.SubscribeDataType.Bar, [], "1m")),
    ]
    assert ferrule.vela_params == {"vela_md": E.MDType.VeMD, "vela_td": "td:XYZ", "vela_context": s.context}
    assert len(s.context.timers) == 4  # three day events and the next morning's run


@pytest.mark.parametrize("extra, registered", [
    ({"accounts": {}}, []), ({"algo_account": None}, []), ({"algo_account": "x_y"}, []),
])
def test_optional_gateways(ferrule, clock, extra, registered):
    clock(TRADING_DAY)
    s = ferrule.VelaStrategy(make_config(**extra))
    s.initialize(None)
    names = [r[0] for r in requests(s)]
    assert "add_algo_broker" not in names
    if extra.get("accounts") == {}:
        assert "add_td_broker" not in names and "vela_td" not in ferrule.vela_params
    assert names[-1] == "subscribe"


@pytest.mark.parametrize("extra, message", [
    ({"accounts": {"a": "noseparator"}}, "not enough values to unpack (expected 2, got 1)"),
    ({"accounts": {"a": "a_b_c"}}, "too many values to unpack (expected 2)"),
    ({"algo_account": "x_y_atx"}, "too many values to unpack (expected 2)"),
])
def test_bad_account_text_stops_initialize(ferrule, clock, extra, message):
    clock(TRADING_DAY)
    s = ferrule.VelaStrategy(make_config(**extra))
    with pytest.raises(ValueError) as info:
        s.initialize(None)
    assert str(info.value) == message
    names = [r[0] for r in s.context.requests]
    assert names[0] == "add_md_broker" and "subscribe" not in names and not s.context.timers


def test_md_type_whose_lookup_fails_is_an_error(ferrule, clock):
    class Base:
        accounts = {}
        trading_calendar = []

        @property
        def md_type(self):
            raise RuntimeError("broken config")

    s = ferrule.VelaStrategy(types.SimpleNamespace(base=Base()))
    with pytest.raises(RuntimeError, match="broken config"):
        s.initialize(None)


def test_on_switch_day_empties_the_books(ferrule, strategy):
    for name in ("orders_dict", "history_bar", "history_tick", "algo_parent_orders", "algo_child_orders",
                 "algo_child_trades"):
        getattr(ferrule, name)["k"] = 1
    ferrule.vela_params["keep"] = 1
    ferrule.event_queue.append("keep")
    assert strategy.on_switch_day() is None and strategy.on_initialize() is None
    assert not any((ferrule.orders_dict, ferrule.history_bar, ferrule.history_tick, ferrule.algo_parent_orders,
                    ferrule.algo_child_orders, ferrule.algo_child_trades))
    assert ferrule.vela_params == {"keep": 1} and len(ferrule.event_queue) == 1
    strategy.on_switch_day()
