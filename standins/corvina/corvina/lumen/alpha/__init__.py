"""Data bundle maintenance (stand-in: works on local files only, never on a network)."""
