"""Stand-in for the engine's tick."""


class TickObject:
    __slots__ = ("instrument", "_tick_dict")

    def __init__(self, instrument, tick_dict):
        self.instrument = instrument
        self._tick_dict = tick_dict

    market_code = property(lambda self: self._tick_dict["market_code"])
    datetime = property(lambda self: self._tick_dict["datetime"])
    last_price = property(lambda self: self._tick_dict["last_price"])
    volume = property(lambda self: self._tick_dict["volume"])

    def __repr__(self):
        return f"TickObject({self.market_code!r}, {self.datetime}, last={self.last_price!r})"
