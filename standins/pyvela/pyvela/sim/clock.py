"""The simulated gateway's clock: naive local date-times that move only when
the gateway advances them, optionally paced against real time.

Part of the gateway SDK stand-in."""
import datetime as _dt
import time

# Longest real sleep between two steps of a paced advance, so readers see time flow.
_SLICE = 0.02


class VirtualClock:
    """Virtual time. speed is virtual seconds per real second; 0 runs as fast as
    the gateway can go (time jumps straight to the next thing that happens)."""

    def __init__(self, start, speed=0.0):
        if speed < 0:
            raise ValueError(f"speed must be 0 (as fast as possible) or positive, not {speed!r}")
        self._now = start
        self.speed = float(speed)

    def now(self):
        # One attribute read: other threads see either the old or the new time.
        return self._now

    def today(self):
        return self._now.date()

    def advance_to(self, target, wake=None):
        """Moves to target (never backwards). Paced, it sleeps; if wake is set
        meanwhile it stops early, at the time reached, and returns False."""
        if target <= self._now:
            return True
        if self.speed > 0:
            origin, real0 = self._now, time.monotonic()
            while True:
                reached = origin + _dt.timedelta(seconds=(time.monotonic() - real0) * self.speed)
                if reached >= target:
                    break
                self._now = max(self._now, reached)
                pause = min(_SLICE, (target - reached).total_seconds() / self.speed)
                if wake is not None:
                    if wake.wait(pause):
                        return False
                else:
                    time.sleep(pause)
        self._now = target
        return True

