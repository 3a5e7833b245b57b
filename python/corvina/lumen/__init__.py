"""The trading engine of corvina."""
