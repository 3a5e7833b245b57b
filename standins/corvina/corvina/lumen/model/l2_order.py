"""Stand-in for the engine's level-2 order."""


class L2Order:
    __slots__ = ("seq", "market_code", "datetime", "side", "price", "volume", "order_type", "orig_order_no",
                 "l2order_type")

    @classmethod
    def __from_create__(cls, seq, market_code, datetime, side, price, volume, order_type, orig_order_no,
                        l2order_type):
        o = cls.__new__(cls)
        o.seq, o.market_code, o.datetime, o.side, o.price = seq, market_code, datetime, side, price
        o.volume, o.order_type, o.orig_order_no, o.l2order_type = volume, order_type, orig_order_no, l2order_type
        return o
