"""Tools around the engine: the command line, the credential store and their helpers."""
