"""Stand-in for the gateway SDK's strategy base class and its context."""
import contextlib

# Makes the context of each new strategy; None means the recording Context.
# The simulated gateway (pyvela.sim) installs its own while it builds a strategy.
context_factory = None


class Context:
    """Accepts every request a strategy makes and records them in order."""

    def __init__(self, strategy):
        self.strategy = strategy
        self.requests = []  # (method name, args)
        self.timers = []    # (interval in ns, callback), armed but not run

    def _record(self, name, *args):
        self.requests.append((name, args))

    def add_md_broker(self, md_type):
        self._record("add_md_broker", md_type)

    def set_order_way(self, order_way):
        self._record("set_order_way", order_way)

    def add_td_broker(self, td_type):
        self._record("add_td_broker", td_type)

    def add_algo_broker(self, algo_type):
        self._record("add_algo_broker", algo_type)

    def subscribe(self, md_type, market, data_type, codes, period):
        self._record("subscribe", md_type, market, data_type, codes, period)

    def add_timer_interval(self, interval_ns, callback):
        self._record("add_timer_interval", interval_ns, callback)
        self.timers.append((interval_ns, callback))

    def query_asset(self, fund_account_id):
        self._record("query_asset", fund_account_id)

    def query_position(self, fund_account_id):
        self._record("query_position", fund_account_id)


class VelaStrategy:
    """The gateway drives a strategy through its on_* callbacks."""

    def __init__(self):
        self.context = (context_factory or Context)(self)


@contextlib.contextmanager
def installed_context(factory):
    """Strategies built inside the block get their context from factory(strategy)."""
    global context_factory
    previous, context_factory = context_factory, factory
    try:
        yield factory
    finally:
        context_factory = previous
