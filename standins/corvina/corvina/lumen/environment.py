"""Stand-in for the engine's environment: the instruments, the universe and the accounts."""


class Instrument:
    __slots__ = ("market_code", "symbol")

    def __init__(self, market_code, symbol=""):
        self.market_code = market_code
        self.symbol = symbol or market_code

    def __repr__(self):
        return f"Instrument({self.market_code!r})"


class Account:
    """Cash and positions of one market's account, as the engine applies them."""

    def __init__(self, name, cash=0.0):
        self.name = name
        self.cash = cash
        self.positions = {}

    def __repr__(self):
        return f"Account({self.name!r}, cash={self.cash!r})"


class DataProxy:
    def __init__(self, env):
        self._env = env

    def instruments(self, market_code):
        return self._env.instrument_map.get(market_code)


class Environment:
    """The engine's singleton: `Environment.get_instance()`."""

    _instance = None

    def __init__(self, universe=()):
        self.instrument_map = {}
        self.universe = []
        self.accounts = {}
        self.data_proxy = DataProxy(self)
        self.set_universe(universe)

    @classmethod
    def get_instance(cls):
        if cls._instance is None:
            cls._instance = cls()
        return cls._instance

    @classmethod
    def set_instance(cls, env):
        cls._instance = env
        return env

    @classmethod
    def reset(cls):
        cls._instance = None

    def set_universe(self, market_codes):
        self.universe = list(market_codes)
        for code in self.universe:
            self.instrument_map.setdefault(code, Instrument(code))

    def get_universe(self):
        return self.universe

    def get_account(self, market_code):
        # Both exchanges' stocks settle in one stock account.
        key = "STOCK" if str(market_code).endswith((".XSHE", ".XSHG")) else "OTHER"
        if key not in self.accounts:
            self.accounts[key] = Account(key)
        return self.accounts[key]
