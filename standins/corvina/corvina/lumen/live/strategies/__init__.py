"""Sample strategies for the simulated day: each module defines a class Strategy."""
