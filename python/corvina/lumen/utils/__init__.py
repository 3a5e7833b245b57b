"""Utilities of the engine."""
