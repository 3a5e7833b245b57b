"""Part of the stand-in for the trading engine."""
