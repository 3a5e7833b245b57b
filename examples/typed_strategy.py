"""A small strategy written with type annotations, to show what a type checker
sees of the bridge: its query functions return the tick and bar records as
dict[str, object], or None for an instrument without data. The tests check this
file with `mypy --strict`; it runs on the simulated day with

    ./scripts/run-day.sh --strategy examples/typed_strategy.py

It buys one lot of an instrument, once, when the last price rises above the
mean close of the instrument's last five one-minute bars."""
from __future__ import annotations

import datetime as dt
from typing import Protocol

from corvina.lumen.utils import ferrule

BARS = 5
LOT = 100
SLIPPAGE = 0.003


class Context(Protocol):
    """What this strategy uses of the engine's strategy context."""

    def buy(self, market_code: str, quantity: int, price: float) -> object: ...

    def log(self, text: str) -> None: ...


class Tick(Protocol):
    market_code: str
    datetime: dt.datetime


def price(record: dict[str, object], key: str) -> float | None:
    """A positive price of the record, or None."""
    value = record.get(key)
    return float(value) if isinstance(value, (int, float)) and value > 0 else None


def mean_close(market_code: str) -> float | None:
    bars = ferrule.history_bars(market_code, BARS)
    closes = [c for c in (price(bar, "close_price") for bar in bars or []) if c is not None]
    return sum(closes) / BARS if len(closes) == BARS else None


class Strategy:
    def init(self, ctx: Context) -> None:
        self.bought: set[str] = set()

    def on_tick(self, ctx: Context, tick: Tick) -> None:
        code = tick.market_code
        record = ferrule.get_current_tick(code)
        if code in self.bought or record is None:
            return
        last, mean = price(record, "last_price"), mean_close(code)
        if last is None or mean is None or last <= mean:
            return
        limit = min(last * (1 + SLIPPAGE), price(record, "high_limited") or last)
        ctx.log(f"{code}: {last} above the mean close {mean:.2f} of {BARS} bars, buying {LOT}")
        ctx.buy(code, LOT, round(limit, 2))
        self.bought.add(code)
