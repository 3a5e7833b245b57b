"""Stand-in for the gateway SDK `pyvela`, installed on its own so that a real SDK,
where present, is never shadowed."""
