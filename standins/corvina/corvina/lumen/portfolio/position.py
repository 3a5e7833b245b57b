"""Stand-in for the engine's position."""

_STATE_KEYS = ("quantity", "available_qty", "avg_price", "last_price", "market_value", "daily_pnl")


class Position:
    def __init__(self, market_code, direction, init_qty):
        self.market_code = market_code
        self.direction = direction
        self.init_qty = init_qty
        for key in _STATE_KEYS:
            setattr(self, key, 0)

    def set_state(self, state):
        unknown = set(state) - set(_STATE_KEYS)
        if unknown:
            raise KeyError(f"unknown position fields: {sorted(unknown)}")
        for key, value in state.items():
            setattr(self, key, value)

    def __repr__(self):
        return f"Position({self.market_code!r}, {self.direction.name}, qty={self.quantity!r})"
