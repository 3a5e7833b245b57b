"""Stand-in for the gateway SDK's message objects: fixed attributes (`__slots__`,
no `__dict__`), as a compiled SDK's messages have."""

__all__ = []


def _message(name, fields):
    names = tuple(field for field, _ in fields)
    defaults = dict(fields)

    def __init__(self, **values):
        unknown = set(values) - set(names)
        if unknown:
            raise TypeError(f"{name}() got unexpected fields: {', '.join(sorted(unknown))}")
        for field in names:
            value = values.get(field, defaults[field])
            setattr(self, field, list(value) if type(value) is list else value)

    def __repr__(self):
        shown = ", ".join(f"{f}={getattr(self, f, None)!r}" for f in names)
        return f"{name}({shown})"

    cls = type(name, (), {"__slots__": names, "__init__": __init__, "__repr__": __repr__, "__module__": __name__})
    globals()[name] = cls
    __all__.append(name)
    return cls


_message("Snapshot", [
    ("orig_time", 0), ("security_id", ""), ("market_type", 0), ("open_price", 0), ("close_price", 0),
    ("high_price", 0), ("low_price", 0), ("total_value_trade", 0), ("total_volume_trade", 0),
    ("pre_close_price", 0), ("ask_volume", []), ("ask_price", []), ("bid_volume", []), ("bid_price", []),
    ("high_limited", 0), ("last_price", 0), ("low_limited", 0), ("open_interest", 0), ("prev_settlement", 0),
    ("iopv", 0), ("trading_phase_code", "")])
_message("TickOrder", [
    ("order_time", 0), ("security_id", ""), ("market_type", 0), ("side", 0), ("biz_index", 0), ("order_price", 0),
    ("order_volume", 0), ("order_type", 0), ("orig_order_no", 0)])
_message("TickTrade", [
    ("trade_time", 0), ("security_id", ""), ("market_type", 0), ("bid_appl_seq_num", 0), ("offer_appl_seq_num", 0),
    ("biz_index", 0), ("trade_price", 0), ("trade_volume", 0), ("value_trade", 0), ("trade_type", 0)])
_message("Bar", [
    ("security_id", ""), ("market_type", 0), ("end_time", 0), ("open", 0), ("close", 0), ("high", 0), ("low", 0),
    ("amount", 0), ("volume", 0), ("prev_close", 0)])
_message("LoginRes", [("fund_account_id", ""), ("error_code", 0), ("client_seq_id", 0), ("error_msg", "")])
_message("AssetRes", [
    ("fund_account_id", ""), ("leaves_value", 0), ("available_t1", 0), ("frozen_all", 0), ("market_value", 0),
    ("total_asset", 0), ("init_leaves_value", 0)])
_message("PositionEntry", [
    ("security_id", ""), ("market_id", 0), ("init_qty", 0), ("leaves_qty", 0), ("available_qty", 0),
    ("cost_price", 0), ("last_price", 0), ("market_value", 0), ("profit_loss", 0)])
_message("OrderReport", [
    ("client_order_id", 0), ("security_id", ""), ("order_price", 0), ("order_status", 0), ("order_qty", 0),
    ("trade_qty", 0), ("total_trade_value", 0), ("error_msg", ""), ("last_match_qty", 0), ("last_match_price", 0),
    ("counter_order_id", 0), ("frozen_trade_value", 0), ("error_code", 0)])
_message("TradeReport", [("client_order_id", 0), ("security_id", ""), ("trade_qty", 0), ("trade_price", 0)])
_message("OrderActionError", [("client_order_id", 0), ("error_code", 0), ("error_msg", "")])
_message("AlgoLoginRes", [("client_seq_id", 0), ("trader_id", ""), ("error_code", 0), ("error_msg", "")])
_message("CreateParentOrderRes", [("client_seq_id", 0), ("sys_quote_id", 0), ("error_code", 0), ("error_msg", "")])
_message("CancelParentOrderRes", [("sys_quote_id", 0), ("error_code", 0), ("error_msg", "")])
# The pause test reads control_type, the resume test algo_control_type; a real answer sets both.
_message("ControlParentOrderRes", [
    ("control_type", 0), ("algo_control_type", 0), ("sys_quote_id", 0), ("error_code", 0), ("error_msg", "")])
_message("AlgoParentOrderMsg", [
    ("sys_quote_id", 0), ("client_seq_id", 0), ("security_id", ""), ("market_type", 0), ("side", 0),
    ("order_qty", 0), ("trade_qty", 0), ("status", 0), ("start_time", 0), ("end_time", 0)])
_message("AlgoChildOrderMsg", [
    ("sys_quote_id", 0), ("parent_sys_quote_id", 0), ("security_id", ""), ("order_qty", 0), ("order_price", 0),
    ("trade_qty", 0), ("status", 0)])
_message("AlgoChildTradeMsg", [
    ("sys_quote_id", 0), ("parent_sys_quote_id", 0), ("child_sys_quote_id", 0), ("security_id", ""),
    ("trade_qty", 0), ("trade_price", 0)])
