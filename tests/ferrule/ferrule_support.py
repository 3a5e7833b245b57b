"""Small factories shared by the bridge tests."""
from types import SimpleNamespace


def make_config(**base):
    """A live-run configuration object: config.base.<field>."""
    base.setdefault("accounts", {"stock": "acc_atx"})
    base.setdefault("trading_calendar", [])
    return SimpleNamespace(base=SimpleNamespace(**base))
