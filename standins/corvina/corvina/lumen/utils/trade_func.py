"""Stand-in for the engine's gateway-code mappings.

Exchange suffixes: the Shenzhen market maps to "XSHE", the Shanghai market to
"XSHG", so an instrument key reads like "000001.XSHE".
"""
from pyvela.enums import MarketType, TDType

from corvina.lumen.const import SIDE

_EXCHANGE = {MarketType.SZSE: "XSHE", MarketType.SSE: "XSHG"}
_L2_SIDE = {"1": SIDE.BUY, "2": SIDE.SELL, "B": SIDE.BUY, "S": SIDE.SELL}
_ORDER_TYPE = {"1": "MARKET", "2": "LIMIT", "U": "BEST_OWN"}
_L2ORDER_TYPE = {"A": "ADD", "D": "DELETE"}
_TRADE_TYPE = {"F": "FILL", "4": "CANCEL"}


def _lookup(table, code, what):
    try:
        return table[code]
    except (KeyError, TypeError):
        raise ValueError(f"unknown {what}: {code!r}") from None


def get_exchane_from_vela_mdtype(market_type):
    return _lookup(_EXCHANGE, market_type, "market type")


def get_vela_tdtype(text):
    try:
        return TDType[text]
    except KeyError:
        raise ValueError(f"unknown trading type: {text!r}") from None


def get_side_from_vela_l2_order(code, market_type):
    return _lookup(_L2_SIDE, code, "level-2 side")


def get_order_type_from_vela_l2_order(code, market_type):
    return _lookup(_ORDER_TYPE, code, "level-2 order type")


def get_l2order_type_from_vela(code, market_type):
    return _L2ORDER_TYPE.get(code, "ORDER")


def get_trade_type_from_vela(code):
    return _lookup(_TRADE_TYPE, code, "trade type")
