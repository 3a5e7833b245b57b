# Types of corvina.lumen.utils.ferrule, the bridge between the gateway SDK and
# the engine. The gateway's messages and the engine's configuration are read
# by attribute only, whatever their classes: they are typed Any.
import datetime
import os
from collections import deque
from collections.abc import Callable
from typing import Any, TypeAlias, TypedDict

import pyvela.strategy as strategy
from corvina.lumen.core.events import EVENT
from corvina.lumen.model.algo_child_order import AlgoChildOrder
from corvina.lumen.model.algo_child_trade import AlgoChildTrade
from corvina.lumen.model.algo_parent_order import AlgoParentOrder
from numpy_ringbuffer import RingBuffer

# A tick or bar record as the histories keep it and the queries hand it out.
_Record: TypeAlias = dict[str, object]

# Module state, created empty at load and never rebound.
vela_params: dict[str, Any]
event_queue: RingBuffer  # of the engine's Event records, newest last
history_bar: dict[str, deque[_Record]]  # by market_code
history_tick: dict[str, deque[_Record]]  # by market_code, at most 60 each
orders_dict: dict[Any, Any]  # the engine's orders by client order id
algo_parent_orders: dict[Any, AlgoParentOrder]  # by sys_quote_id
algo_child_orders: dict[Any, AlgoChildOrder]
algo_child_trades: dict[Any, AlgoChildTrade]

# Queries: the stored records themselves; None for an instrument without history.
def get_current_bar(market_code: str) -> _Record | None: ...
def get_current_tick(market_code: str) -> _Record | None: ...
def history_ticks(market_code: str, count: int) -> list[_Record] | None: ...
def history_bars(market_code: str, count: int) -> list[_Record] | None: ...

# The hand-over's counters since load or the last reset_stats().
class _Stats(TypedDict):
    published: dict[str, int]  # by EVENT member name
    overwritten: int  # events that overwrote an unread entry of a full event_queue
    calls: dict[str, int]  # by callback name
    failures: dict[str, int]  # by callback name
    repeated_fills: int
    unknown_orders: int
    skipped_positions: int
    recording: _RecordingStats
    latency: _LatencyStats

# The recorder's state: the current recording, else the last one.
class _RecordingStats(TypedDict):
    active: bool
    path: str | None
    records: int
    bytes: int  # written to the file, compressed
    raw_bytes: int
    blocks: int
    dropped: int  # records not kept because the writer fell behind
    error: str | None

# Latency, in seconds; the quantiles and max are None before the first value.
_LatencyRow = TypedDict(
    "_LatencyRow",
    {"count": int, "p50": float | None, "p90": float | None, "p99": float | None, "p99.9": float | None,
     "max": float | None, "negative": int},
)
_AgeRow = TypedDict(
    "_AgeRow",
    {"count": int, "p50": float | None, "p90": float | None, "p99": float | None, "p99.9": float | None,
     "max": float | None, "negative": int, "unstamped": int},
)

class _LatencyStats(TypedDict):
    enabled: bool
    time_zone: str
    callbacks: dict[str, _LatencyRow]  # by callback name: time from entry to return
    ages: dict[str, _AgeRow]  # snapshot, tick_order, tick_trade, bar: receive time minus exchange stamp

# One histogram for export; buckets are the non-empty ones, (lower, upper, count), values in [lower, upper).
class _Histogram(TypedDict):
    count: int
    sum: float
    max: float | None
    negative: int
    buckets: list[tuple[float, float, int]]

class _AgeHistogram(_Histogram):
    unstamped: int

class _Histograms(TypedDict):
    callbacks: dict[str, _Histogram]
    ages: dict[str, _AgeHistogram]

def stats() -> _Stats: ...
def reset_stats() -> None: ...
def set_latency(enabled: bool, time_zone: str | datetime.tzinfo | None = None) -> None: ...
def latency_enabled() -> bool: ...
def latency_histograms() -> _Histograms: ...

# Recording of every call into VelaStrategy (corvina.lumen.utils.ferrule_recording reads the file).
def start_recording(path: str | bytes | os.PathLike[str], meta: object = None, *, overwrite: bool = False) -> None: ...
def stop_recording() -> _RecordingStats | None: ...
def is_recording() -> bool: ...
def record_mark(label: str, value: object = None) -> bool: ...
def decode_records(
    data: bytes, messages: dict[int, Any], resolve: Callable[[str, str, object], object], memo: dict[Any, Any]
) -> list[tuple[int, int, int, int, object, tuple[object, ...]]]: ...

class VelaStrategy(strategy.VelaStrategy):
    logged_in: bool
    order_num: int
    bar_cnt: int
    current_trade_dt: float  # 0 until the first bar, then its end time in seconds
    first_dt: datetime.date
    config: Any

    def __init__(self, config: Any) -> None: ...
    def initialize(self, config: Any) -> None: ...
    def on_initialize(self) -> None: ...
    def on_switch_day(self) -> None: ...
    # Market data
    def on_snapshot(self, snapshot: Any) -> None: ...
    def on_tick_order(self, tick_order: Any) -> None: ...
    def on_tick_trade(self, tick_trade: Any) -> None: ...
    def on_bar(self, bar: Any) -> None: ...
    # Account
    def on_login(self, login_res: Any) -> None: ...
    def on_query_asset(self, asset_res: Any, request_id: Any, code: Any, msg: Any) -> None: ...
    def on_query_position(self, query_position_res: Any, request_id: Any, code: Any, msg: Any) -> None: ...
    # Orders
    def on_order(self, order: Any) -> None: ...
    def on_trade(self, trade: Any) -> None: ...
    def on_order_action_error(self, order_action_error: Any) -> None: ...
    # Algorithmic orders
    def on_algo_login(self, algo_login_res: Any) -> None: ...
    def on_create_algo_parent_order_res(self, create_parent_order_res: Any) -> None: ...
    def on_cancel_algo_parent_order_res(self, cancel_parent_order_res: Any) -> None: ...
    def on_control_algo_parent_order_res(self, control_parent_order_res: Any) -> None: ...
    def on_algo_parent_order_update(self, parent_order: Any) -> None: ...
    def on_algo_child_order_update(self, child_order: Any) -> None: ...
    def on_algo_child_order_trade(self, child_trade: Any) -> None: ...
    # Trading-day clock
    def create_time_listener(self) -> None: ...
    def send_day_event(self, event_type: EVENT, dt: datetime.datetime) -> None: ...
    def send_before_trading_event(self) -> None: ...
    def send_after_trading_event(self) -> None: ...
    def send_open_auction_event(self) -> None: ...
    def set_timer(self) -> None: ...
