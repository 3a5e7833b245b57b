"""A simulated gateway: stands in for a live broker and market-data connection
of the real gateway SDK. It replays a sample trading day (shipped in
`pyvela/sim/data`, written by scripts/make_sample.py) into a strategy's
callbacks and answers its requests from a simulated account."""
from pyvela.sim.algo import ParentStatus
from pyvela.sim.clock import VirtualClock
from pyvela.sim.feed import SAMPLE_PATH, load_sample
from pyvela.sim.gateway import SimContext, SimGateway
from pyvela.sim.latency import FeedLatency
from pyvela.sim.matching import Side

__all__ = ["SimGateway", "SimContext", "VirtualClock", "load_sample", "SAMPLE_PATH", "Side", "ParentStatus",
           "FeedLatency"]
