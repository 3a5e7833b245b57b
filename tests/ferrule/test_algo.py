import threading

import pytest
import pyvela.enums

from pyvela.enums import AlgoControlType as Control
from pyvela.messages import (AlgoChildOrderMsg, AlgoChildTradeMsg, AlgoLoginRes, AlgoParentOrderMsg,
                             CancelParentOrderRes, ControlParentOrderRes, CreateParentOrderRes)

ANSWER = {"sys_quote_id": 8, "error_code": 3, "error_msg": "no"}
PARENT_ANSWER = [("parent_order_id", 8), ("code", 3), ("msg", "no")]


@pytest.mark.parametrize("method, message, event, payload", [
    ("on_algo_login", AlgoLoginRes(client_seq_id=1, trader_id="T", error_code=0, error_msg=""), "ALGO_LOGIN",
     [("req_id", 1), ("algo_account", "T"), ("code", 0), ("msg", "")]),
    # a failed answer is forwarded like a successful one
    ("on_create_algo_parent_order_res", CreateParentOrderRes(client_seq_id=2, **ANSWER), "PARENT_ORDER_CREATE",
     [("req_id", 2)] + PARENT_ANSWER),
    ("on_cancel_algo_parent_order_res", CancelParentOrderRes(**ANSWER), "PARENT_ORDER_CANCEL", PARENT_ANSWER),
    ("on_control_algo_parent_order_res", ControlParentOrderRes(control_type=Control.Pause, **ANSWER),
     "PARENT_ORDER_PAUSE", PARENT_ANSWER),
    ("on_control_algo_parent_order_res",
     ControlParentOrderRes(control_type=Control.Cancel, algo_control_type=Control.Resume, **ANSWER),
     "PARENT_ORDER_RESUME", PARENT_ANSWER),
    # each test reads its own attribute
    ("on_control_algo_parent_order_res",
     ControlParentOrderRes(control_type=Control.Resume, algo_control_type=Control.Pause), None, None),
    ("on_control_algo_parent_order_res", ControlParentOrderRes(control_type=Control.Cancel), None, None),
])
def test_answers_are_forwarded_field_by_field(strategy, drain, method, message, event, payload):
    getattr(strategy, method)(message)
    expected = [(event, payload)] if event else []
    assert [(e.event_type.name, list(e.payload.items())) for e in drain()] == expected


def test_control_type_is_taken_from_the_gateway_enums_at_each_call(ferrule, strategy, drain, monkeypatch):
    monkeypatch.setattr(pyvela.enums, "AlgoControlType", type("Fake", (), {"Pause": "p", "Resume": "r"}))
    strategy.on_control_algo_parent_order_res(ControlParentOrderRes(control_type="p"))
    assert [e.event_type.name for e in drain()] == ["PARENT_ORDER_PAUSE"]
    monkeypatch.delattr(pyvela.enums, "AlgoControlType")
    with pytest.raises(ImportError, match="cannot import name 'AlgoControlType'"):
        strategy.on_control_algo_parent_order_res(ControlParentOrderRes())


STATES = [
    ("on_algo_parent_order_update", AlgoParentOrderMsg, "algo_parent_orders", "AlgoParentOrder",
     "PARENT_ORDER_UPDATE", "algo_parent_order"),
    ("on_algo_child_order_update", AlgoChildOrderMsg, "algo_child_orders", "AlgoChildOrder",
     "CHILD_ORDER_UPDATE", "algo_child_order"),
    ("on_algo_child_order_trade", AlgoChildTradeMsg, "algo_child_trades", "AlgoChildTrade",
     "CHILD_ORDER_TRADE", "algo_child_trade"),
]


@pytest.mark.parametrize("method, message, book, model, event, key", STATES)
def test_state_messages_keep_the_live_object_and_publish_a_copy(ferrule, strategy, drain, method, message, book,
                                                                model, event, key):
    for quote_id in (5, 5, 6):
        getattr(strategy, method)(message(sys_quote_id=quote_id))
    stored = getattr(ferrule, book)
    # the stand-in's from_vela counts the updates it was handed: None first, then the stored object
    assert {k: v.updates for k, v in stored.items()} == {5: 2, 6: 1} and type(stored[5]) is getattr(ferrule, model)
    published = drain()
    assert [(e.event_type.name, list(e.payload)) for e in published] == [(event, [key])] * 3
    copy = published[1].payload[key]
    assert copy is not stored[5] and copy.updates == 2
    stored[5].updates = 9
    assert copy.updates == 2


def test_books_are_separate(ferrule, strategy):
    strategy.on_algo_child_order_update(AlgoChildOrderMsg(sys_quote_id=1))
    strategy.on_algo_child_order_trade(AlgoChildTradeMsg(sys_quote_id=1))
    books = (ferrule.algo_parent_orders, ferrule.algo_child_orders, ferrule.algo_child_trades)
    assert [{k: type(v).__name__ for k, v in b.items()} for b in books] == [
        {}, {1: "AlgoChildOrder"}, {1: "AlgoChildTrade"}]


@pytest.mark.parametrize("result, stored", [
    (ValueError("bad message"), False),  # from_vela fails: the book is unchanged
    (threading.Lock(), True),  # the copy fails: the new object stays stored
])
def test_state_message_failures(ferrule, strategy, drain, monkeypatch, result, stored):
    def from_vela(msg, prev):
        if isinstance(result, Exception):
            raise result
        return ferrule.AlgoParentOrder(lock=result)
    monkeypatch.setattr(ferrule.AlgoParentOrder, "from_vela", from_vela)
    with pytest.raises((ValueError, TypeError)):
        strategy.on_algo_parent_order_update(AlgoParentOrderMsg(sys_quote_id=2))
    assert (2 in ferrule.algo_parent_orders) is stored and drain() == []


@pytest.mark.parametrize("method, message, book, model, event, key", STATES)
@pytest.mark.parametrize("known, reads", [(True, 3), (False, 2)])
def test_a_key_that_changes_at_each_read_is_read_as_often_as_without_threads(
        ferrule, strategy, drain, monkeypatch, method, message, book, model, event, key, known, reads):
    # membership, lookup (known keys only), store: the check before the store reuses the lookup's key
    class Shifting(message):
        n = 0

        @property
        def sys_quote_id(self):
            Shifting.n += 1
            return Shifting.n

        @sys_quote_id.setter
        def sys_quote_id(self, value):
            pass

    monkeypatch.setattr(getattr(ferrule, model), "from_vela", classmethod(lambda cls, msg, prev: (cls(), prev)[0]))
    stored = getattr(ferrule, book)
    if known:
        stored.update({1: "first", 2: "second"})
    getattr(strategy, method)(Shifting())
    assert Shifting.n == reads
    assert type(stored[reads]).__name__ == model and len(drain()) == 1


def test_a_from_vela_that_keeps_updating_its_own_key_is_taken_on_its_last_try(ferrule, strategy, drain, monkeypatch):
    # each try of the outer update finds the book changed by its own nested update, so it is built again,
    # and stored anyway on the sixteenth; another thread's updates never cut a try short
    tries, outer, nested = [], AlgoParentOrderMsg(sys_quote_id=5), AlgoParentOrderMsg(sys_quote_id=5)

    def from_vela(msg, prev):
        obj = ferrule.AlgoParentOrder()
        if msg is outer:
            tries.append(obj)
            strategy.on_algo_parent_order_update(nested)
        return obj
    monkeypatch.setattr(ferrule.AlgoParentOrder, "from_vela", from_vela)
    strategy.on_algo_parent_order_update(outer)
    assert len(tries) == 16 and ferrule.algo_parent_orders[5] is tries[-1]
    assert len(drain()) == 17
