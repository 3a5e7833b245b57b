"""corvina: quantitative trading. The compiled core lives in corvina.lumen.utils.ferrule,
corvina.lumen.sdk.pylon and corvina.lumen.sdk.satchel; the rest of corvina.lumen in this
repository is a small stand-in for the trading engine."""
__version__ = "0.1.0"
