"""Stand-in for the engine's live-run side: runs the bridge (`ferrule`) on a
gateway, drains its event queue on the engine's own thread, keeps the orders
and the account, and runs a strategy. Here the gateway is the simulated one of
the gateway SDK stand-in, so a whole trading day runs without a broker:

    python -m corvina.lumen.live [--data FILE] [--speed X] [--strategy MODULE]
"""
from corvina.lumen.live.day import DEFAULT_STRATEGY, run_day

__all__ = ["run_day", "DEFAULT_STRATEGY"]
