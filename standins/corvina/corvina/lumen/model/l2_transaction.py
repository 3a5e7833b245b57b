"""Stand-in for the engine's level-2 transaction."""


class L2Transaction:
    __slots__ = ("seq", "market_code", "datetime", "side", "price", "volume", "value", "trade_type", "bid_seq",
                 "offer_seq")

    @classmethod
    def __from_create__(cls, seq, market_code, datetime, side, price, volume, value, trade_type, bid_seq,
                        offer_seq):
        t = cls.__new__(cls)
        t.seq, t.market_code, t.datetime, t.side, t.price = seq, market_code, datetime, side, price
        t.volume, t.value, t.trade_type, t.bid_seq, t.offer_seq = volume, value, trade_type, bid_seq, offer_seq
        return t
