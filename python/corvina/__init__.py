"""corvina: quantitative trading."""
