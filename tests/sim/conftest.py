"""Fixtures for the simulated gateway and the live run: the shipped sample,
and a gateway driving a strategy that records every callback."""
import pytest

from pyvela.sim import load_sample
from sim_support import hm, make_sim, run_day


@pytest.fixture(scope="session")
def sample():
    return load_sample()


@pytest.fixture
def sim(sample):
    return lambda **options: make_sim(sample, **options)


@pytest.fixture
def run():
    return run_day


@pytest.fixture
def at(sample):
    """at(h, m[, s]) -> a date-time of the sample day."""
    return lambda h, m, s=0: hm(sample.date, h, m, s)


