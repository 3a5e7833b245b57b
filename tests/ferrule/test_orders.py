import copy
import threading
import types
from decimal import Decimal

import pytest

from bridge_support import file_order, summary
from message_support import fill, make_report
from pyvela.messages import OrderActionError

ORDER_EVENT = ["account", "order"]


@pytest.mark.parametrize("client_order_id", [99, "99", Decimal(99)])
def test_log_line_formats_each_field_and_unknown_orders_stop_there(ferrule, strategy, drain, logs, client_order_id):
    ferrule.reset_stats()
    strategy.on_order(fill("PartiallyFilled", client_order_id=client_order_id, error_msg="e"))
    # format(member, "") is the number; str() would give "OrderStatusType.PartiallyFilled".
    assert logs() == [("corvina.system", "INFO",
                       "on_order:99, symbol: 000001, price:0, status:2, order_qty:100, trade_qty:50, "
                       "total_trade_value: 520, error_msg:e, last_match_qty: 30")]
    assert drain() == [] and ferrule.orders_dict == {} and ferrule.stats()["unknown_orders"] == 1


class _Price(float):
    def __format__(self, format_spec):
        return "p" + float.__format__(self, format_spec)


@pytest.mark.parametrize("value", [10.5, 1e16, 1e-7, -0.0, float("nan"), float("-inf"), None, _Price(2.5), True])
def test_log_line_texts_are_the_f_strings(strategy, logs, value):
    strategy.on_order(fill("PartiallyFilled", order_price=value, error_msg=value))
    assert f", price:{value}, " in logs()[0][2] and logs()[0][2].endswith(f", error_msg:{value}, last_match_qty: 30")


@pytest.mark.parametrize("counter, events", [(0, []), ("", []), (-3, []), (5, ["ORDER_CREATION_PASS"])])
def test_acceptance_needs_a_positive_counter_id_and_is_published_once(ferrule, strategy, drain, counter, events):
    order = file_order()
    for status in ("UnSend", "Sended"):
        strategy.on_order(make_report(status, counter_order_id=counter, frozen_trade_value=1000))
    published = drain()
    assert [e.event_type.name for e in published] == events and all(e.order is not order for e in published)
    assert (order.secondary_order_id, order.frozen_cash) == (counter, 1000)
    assert order.status.name == ("ACTIVE" if events else "PENDING_NEW")


def test_an_order_is_accepted_once(ferrule, strategy, drain):
    """A numbered acceptance sent again after a fill (a resend after a reconnect) publishes nothing and
    leaves the status alone; it still takes over the counter's figures."""
    order = file_order()
    for report in (make_report("Sended", counter_order_id=5), fill("PartiallyFilled"),
                   make_report("Sended", counter_order_id=6, frozen_trade_value=7)):
        strategy.on_order(report)
    assert [e.event_type.name for e in drain()] == ["ORDER_CREATION_PASS", "TRADE"]
    assert (order.status.name, order.secondary_order_id, order.frozen_cash) == ("PARTIALLY_FILLED", 6, 7)


@pytest.mark.parametrize("status, filled, events, final", [
    ("Filled", 0, [], "ACTIVE"),
    ("PartiallyFilled", 0, [], "ACTIVE"),
    ("Filled", 30, [("TRADE", "FILLED")], "FILLED"),
    ("PartiallyFilled", 30, [("TRADE", "PARTIALLY_FILLED")], "PARTIALLY_FILLED"),
    # The trade shows the status from before the report, the cancellation the new one.
    ("Cancelled", 30, [("TRADE", "ACTIVE"), ("ORDER_CANCELLATION_PASS", "CANCELLED")], "CANCELLED"),
    ("PartiallyFilledPartiallyCancelled", 0, [("ORDER_CANCELLATION_PASS", "CANCELLED")], "CANCELLED"),
    ("WaitCancelled", 0, [("ORDER_PENDING_CANCEL", "ACTIVE")], "ACTIVE"),
    ("PartiallyFilledWaitCancelled", 30,
     [("TRADE", "ACTIVE"), ("ORDER_PENDING_CANCEL", "PARTIALLY_FILLED")], "PARTIALLY_FILLED"),
    ("Unknown", 30, [], "ACTIVE"),
])
def test_status_mapping(ferrule, strategy, drain, monkeypatch, status, filled, events, final):
    order = file_order(status="ACTIVE")
    env = ferrule.Environment.get_instance()
    looked_up = []
    monkeypatch.setattr(env, "get_account", lambda code: looked_up.append(code) or object())
    strategy.on_order(fill(status, qty=filled))
    published = drain()
    assert [(e.event_type.name, e.order.status.name) for e in published] == events
    assert order.status.name == final and looked_up == ["000001.XSHE"]


@pytest.mark.parametrize("value, traded, avg", [(520, 50, 10.4), (Decimal("520.00"), 50, Decimal("10.4"))])
def test_fill_takes_over_cumulative_figures_and_builds_the_trade(ferrule, strategy, drain, value, traded, avg):
    order = file_order()
    strategy.on_order(fill("PartiallyFilled", value=value, traded=traded))
    (event,) = drain()
    assert list(event.payload) == ["account", "trade", "order"]
    assert event.account is ferrule.Environment.get_instance().get_account("000001.XSHE")
    t = event.trade
    assert (t.order_id, t.amount, t.price, t.side, t.position_effect, t.market_code, t.frozen_price) == (
        order.order_id, 30, 10.5, order.side, order.position_effect, "000001.XSHE", 10.0)
    # true division on the numbers as given, never through a C double
    assert (order.avg_price, order.filled_quantity, order.unfilled_quantity) == (avg, 50, 50)
    assert type(order.avg_price) is type(avg)


@pytest.mark.parametrize("report, error, done", [
    (fill("Filled", traded=0), "division by zero", {"avg_price": 0.0, "filled_quantity": 0}),
    (fill("Filled", ordered="100"), "unsupported operand",
     {"avg_price": 10.4, "filled_quantity": 50, "unfilled_quantity": 100}),
    (fill("Filled", qty=None), "not supported between", {"avg_price": 0.0}),
    (make_report("Reject", error_code=7, error_msg=5), r'can only concatenate str \(not "int"\) to str',
     {"message": ""}),
])
def test_bad_reports_raise_and_keep_earlier_changes(ferrule, strategy, drain, report, error, done):
    order = file_order(status="ACTIVE")
    with pytest.raises((ArithmeticError, TypeError), match=error):
        strategy.on_order(report)
    assert {k: getattr(order, k) for k in done} == done
    assert order.status.name == "ACTIVE" and drain() == []


def refile(ferrule, strategy):
    ferrule.orders_dict[11] = file_order()


def switch_day_and_refile_the_same_order(ferrule, strategy):
    order = ferrule.orders_dict[11]
    strategy.on_switch_day()
    ferrule.orders_dict[11] = order


# steps: reports, or actions(ferrule, strategy); final: (status, filled_quantity, unfilled_quantity) of the
# order then filed under the id
@pytest.mark.parametrize("steps, events, repeated, final", [
    # a resent report (after a reconnect) books nothing twice
    ([fill("PartiallyFilled"), fill("PartiallyFilled")], ["TRADE"], 1, ("PARTIALLY_FILLED", 50, 50)),
    ([fill("PartiallyFilled"), fill("Filled", qty=50, traded=100, value=1045)], ["TRADE", "TRADE"], 0,
     ("FILLED", 100, 0)),
    # a cancellation report repeating the latest match: only its own event, its status still taken over
    ([fill("PartiallyFilled"), fill("PartiallyFilledPartiallyCancelled")], ["TRADE", "ORDER_CANCELLATION_PASS"], 1,
     ("CANCELLED", 50, 50)),
    ([fill("PartiallyFilled"), fill("PartiallyFilledWaitCancelled")], ["TRADE", "ORDER_PENDING_CANCEL"], 1,
     ("PARTIALLY_FILLED", 50, 50)),
    # a repeat still brings the cumulative figures and the status in line
    ([fill("PartiallyFilled"), fill("Filled", ordered=50)], ["TRADE"], 1, ("FILLED", 50, 0)),
    # a match that arrives after a later one of the same order is still new (and its figures are taken over)
    ([fill("Filled", qty=50, traded=100, value=1045), fill("PartiallyFilled"), fill("PartiallyFilled")],
     ["TRADE", "TRADE"], 1, ("PARTIALLY_FILLED", 50, 50)),
    # "the same quantity" is Python's comparison
    ([fill("PartiallyFilled", traded=Decimal("50")), fill("PartiallyFilled", traded=50.0)], ["TRADE"], 1,
     ("PARTIALLY_FILLED", 50, 50)),
    ([fill("PartiallyFilled", traded=50), fill("PartiallyFilled", qty=1, traded=50.5)], ["TRADE", "TRADE"], 0,
     ("PARTIALLY_FILLED", 50.5, 49.5)),
    # an earlier whole quantity is found behind a later one, whatever its type
    ([fill("PartiallyFilled"), fill("PartiallyFilled", qty=10, traded=60, value=625), fill("PartiallyFilled")],
     ["TRADE", "TRADE"], 1, ("PARTIALLY_FILLED", 50, 50)),
    ([fill("PartiallyFilled"), fill("PartiallyFilled", qty=10, traded=60, value=625),
      fill("PartiallyFilled", traded=Decimal(50))], ["TRADE", "TRADE"], 1, ("PARTIALLY_FILLED", 50, 50)),
    ([fill("PartiallyFilled", traded=50.0), fill("PartiallyFilled", qty=10, traded=60, value=625),
      fill("PartiallyFilled", traded=50)], ["TRADE", "TRADE"], 1, ("PARTIALLY_FILLED", 50, 50)),
    ([fill("PartiallyFilled", traded=2**70), fill("PartiallyFilled", qty=10, traded=60, value=625),
      fill("PartiallyFilled", traded=2**70)], ["TRADE", "TRADE"], 1, ("PARTIALLY_FILLED", 2**70, 100 - 2**70)),
    # another order object under the same id, or a new day, starts afresh
    ([fill("PartiallyFilled"), refile, fill("PartiallyFilled")], ["TRADE", "TRADE"], 0, ("PARTIALLY_FILLED", 50, 50)),
    ([fill("PartiallyFilled"), switch_day_and_refile_the_same_order, fill("PartiallyFilled")], ["TRADE", "TRADE"], 0,
     ("PARTIALLY_FILLED", 50, 50)),
])
def test_a_match_already_published_is_withheld(ferrule, strategy, drain, steps, events, repeated, final):
    attributes = set(vars(file_order(status="ACTIVE")))
    ferrule.reset_stats()
    for step in steps:
        step(ferrule, strategy) if callable(step) else strategy.on_order(step)
    assert [e.event_type.name for e in drain()] == events
    stats = ferrule.stats()
    assert (stats["repeated_fills"], stats["published"]["TRADE"]) == (repeated, events.count("TRADE"))
    order = ferrule.orders_dict[11]
    assert (order.status.name, order.filled_quantity, order.unfilled_quantity) == final
    assert set(vars(order)) == attributes  # the record is the module's, never the order's


def test_the_fill_record_costs_a_few_bytes_a_fill(ferrule, strategy, monkeypatch):
    import collections
    import gc
    import logging
    import tracemalloc

    # a queue that lets go of what was taken from it (the ring buffer keeps it until overwritten)
    monkeypatch.setattr(ferrule, "event_queue", collections.deque())
    order = file_order(status="ACTIVE", quantity=10**9)
    fills = 10_000
    ferrule.reset_stats()
    strategy.on_order(fill("PartiallyFilled", qty=1, traded=1, ordered=10**9))
    tracemalloc.start()
    logging.disable(logging.INFO)  # each report's log line would be kept by the test's log capture
    try:
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        for n in range(2, fills + 2):
            strategy.on_order(fill("PartiallyFilled", qty=1, traded=n, value=n, ordered=10**9))
            while len(ferrule.event_queue):
                ferrule.event_queue.popleft()
        gc.collect()  # the engine's copies are garbage in cycles
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        logging.disable(logging.NOTSET)
        tracemalloc.stop()
    assert ferrule.stats()["published"]["TRADE"] == fills + 1 and order.filled_quantity == fills + 1
    assert grown <= 16 * fills, grown


class NoEquality:
    def __eq__(self, other):
        raise TypeError("no ==")


def test_a_repeat_check_that_fails_changes_nothing_and_an_unpublished_match_is_not_recorded(ferrule, strategy,
                                                                                            drain):
    order = file_order(status="ACTIVE")
    strategy.on_order(fill("PartiallyFilled"))
    with pytest.raises(TypeError, match="no =="):
        strategy.on_order(fill("Filled", qty=50, traded=NoEquality(), value=1045))
    assert (order.status.name, order.filled_quantity, order.avg_price) == ("PARTIALLY_FILLED", 50, 10.4)
    assert [e.event_type.name for e in drain()] == ["TRADE"]
    # a TRADE that could not be published is no reason to withhold the match when it comes again
    for traded in (50, Decimal(50)):
        order = file_order(status="ACTIVE", lock=threading.Lock())
        with pytest.raises(TypeError, match="pickle"):
            strategy.on_order(fill("PartiallyFilled", traded=traded))
        del order.lock
        strategy.on_order(fill("PartiallyFilled", traded=traded))
        strategy.on_order(fill("PartiallyFilled", traded=traded))
        assert [e.event_type.name for e in drain()] == ["TRADE"]


def test_reject_marks_the_order_with_code_and_text(ferrule, strategy, drain):
    order = file_order()
    strategy.on_order(make_report("Reject", error_code=7, error_msg="no money", frozen_trade_value=0.5))
    assert (order.status.name, order.message, order.frozen_cash) == ("REJECTED", "7_no money", 0.5)
    assert summary(drain()) == [("ORDER_UNSOLICITED_UPDATE", ORDER_EVENT)]


def test_unpicklable_order_fails_after_its_change(ferrule, strategy, drain):
    order = file_order(lock=threading.Lock())
    with pytest.raises(TypeError, match="pickle"):
        strategy.on_order(make_report("Sended", counter_order_id=5))
    assert order.status.name == "ACTIVE" and drain() == []


def test_trade_reports_and_refused_actions(ferrule, strategy, drain):
    assert strategy.on_trade(object()) is None
    strategy.on_order_action_error(OrderActionError(client_order_id=12))
    assert drain() == []
    order = file_order()
    before = copy.deepcopy(vars(order))
    strategy.on_order_action_error(OrderActionError(client_order_id=11))
    assert summary(drain()) == [("ORDER_CANCELLATION_REJECT", ORDER_EVENT)] and vars(order) == before


def test_an_order_class_with_its_own_setattr_sees_every_write(strategy):
    from corvina.lumen.model.order import Order

    writes = []

    class Watched(Order):
        def __setattr__(self, name, value):
            writes.append(name)
            super().__setattr__(name, value)

    file_order()
    strategy.on_order(fill("PartiallyFilled"))  # a plain order first: its class is remembered
    order = file_order(order=Watched("000001.XSHE", 100, 10.0, client_order_id=11))
    writes.clear()
    strategy.on_order(fill("PartiallyFilled"))
    assert {"status", "avg_price", "filled_quantity", "unfilled_quantity"} <= set(writes)
    assert order.filled_quantity == 50


def test_the_copy_module_swapped_for_a_subclass_answers_itself(ferrule, strategy, drain, monkeypatch):
    module = types.ModuleType("copy")
    module.deepcopy = lambda obj: "module function"
    monkeypatch.setattr(ferrule, "copy", module)
    for cid in (11, 12):
        file_order(cid)
        strategy.on_order(make_report("Sended", client_order_id=cid, counter_order_id=5))
        module.__class__ = type("Copy", (types.ModuleType,), {"deepcopy": property(lambda m: lambda o: "subclass")})
    assert [e.order for e in drain()] == ["module function", "subclass"]
