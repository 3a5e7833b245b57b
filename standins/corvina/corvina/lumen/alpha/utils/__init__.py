"""Helpers of the data bundle maintenance."""
