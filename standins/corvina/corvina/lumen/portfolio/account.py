"""Stand-in for the engine's account asset record."""


class Asset:
    __slots__ = ("fund_account_id", "available_t1", "frozen_all", "market_value", "total_asset", "leaves_value",
                 "init_leaves_value")

    def __init__(self, fund_account_id, available_t1, frozen_all, market_value, total_asset, leaves_value,
                 init_leaves_value):
        self.fund_account_id, self.available_t1, self.frozen_all = fund_account_id, available_t1, frozen_all
        self.market_value, self.total_asset, self.leaves_value = market_value, total_asset, leaves_value
        self.init_leaves_value = init_leaves_value

    def __repr__(self):
        return f"Asset({self.fund_account_id!r}, total={self.total_asset!r})"
