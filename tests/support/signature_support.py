"""Plain-Python equivalents of compiled callables: the oracle for what a call
with wrong arguments raises."""
import inspect

import pytest


def python_equivalent(f):
    """A Python function with f's signature and qualified name."""
    ns = {}
    exec(f"def {f.__name__}{inspect.signature(f)}: pass", ns)
    ref = ns[f.__name__]
    ref.__qualname__ = f.__qualname__
    return ref


def type_error(fn, *args, **kwargs):
    """The text of the TypeError that fn(*args, **kwargs) raises."""
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    return str(info.value)
