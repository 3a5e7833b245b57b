"""Back-test data checks (stand-in)."""
