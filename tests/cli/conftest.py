import os

import pytest
from click.testing import CliRunner

from cli_support import ENV, LICENSE


@pytest.fixture(autouse=True)
def home(tmp_path, monkeypatch):
    """A fresh HOME, and neither variable set; both restored afterwards."""
    home = tmp_path / "home"
    home.mkdir()
    monkeypatch.setenv("HOME", str(home))
    for name in (LICENSE, ENV):
        # setenv first so that teardown restores the variable even when the test sets it.
        monkeypatch.setenv(name, "")
        monkeypatch.delenv(name)
    return home


@pytest.fixture
def runner():
    return CliRunner()


@pytest.fixture
def recorder():
    """A list of (name, args, kwargs) and a factory of functions appending to it."""
    calls = []

    def make(name, result=None, exc=None):
        def fake(*args, **kwargs):
            calls.append((name, args, kwargs))
            if exc is not None:
                raise exc
            return result

        return fake

    make.calls = calls
    return make
