"""The simulated gateway's timer service: each armed callback runs once, after
its interval of virtual time, on the service's own thread.

Part of the gateway SDK stand-in."""
import datetime as _dt
import heapq
import itertools
import logging
import queue
import threading

log = logging.getLogger("pyvela.sim")


class TimerService:
    """Timers on a VirtualClock. The gateway's scheduler owns the clock: when it
    reaches a due time it calls run_due, which hands the callbacks to the timer
    thread and waits for them, so a timer never overtakes the market data
    around it. Callbacks run holding `lock`, the lock the gateway holds around
    its own callbacks: the strategy never sees two callbacks at once."""

    def __init__(self, clock, lock):
        self.clock = clock
        self.lock = lock
        self._heap = []  # (due, seq, callback)
        self._seq = itertools.count()
        self._guard = threading.Lock()
        self._jobs = queue.SimpleQueue()
        self._thread = None
        self.fired = []   # (virtual time, callback name)
        self.errors = []  # (virtual time, callback name, exception)

    def add(self, interval_ns, callback):
        """Arms callback to run once after interval_ns nanoseconds of virtual time.
        A negative or zero interval runs it at the next turn of the scheduler."""
        if not callable(callback):
            raise TypeError(f"timer callback must be callable, not {type(callback).__name__}")
        delay = _dt.timedelta(microseconds=max(int(interval_ns), 0) // 1000)
        with self._guard:
            heapq.heappush(self._heap, (self.clock.now() + delay, next(self._seq), callback))

    def next_due(self):
        with self._guard:
            return self._heap[0][0] if self._heap else None

    def pending(self):
        with self._guard:
            return [(due, _name(cb)) for due, _, cb in sorted(self._heap)]

    def start(self):
        if self._thread is None:
            self._thread = threading.Thread(target=self._loop, name="pyvela-timer", daemon=True)
            self._thread.start()

    def stop(self):
        if self._thread is not None:
            self._jobs.put(None)
            self._thread.join()
            self._thread = None

    def run_due(self, until):
        """Runs, in due order, every timer due at or before `until` (including
        those that the callbacks arm for that span). Returns how many ran."""
        if self._thread is None:
            raise RuntimeError("the timer service is not started")
        ran = 0
        while True:
            with self._guard:
                if not self._heap or self._heap[0][0] > until:
                    return ran
                _, _, callback = heapq.heappop(self._heap)
            done = threading.Event()
            self._jobs.put((callback, done))
            done.wait()
            ran += 1

    def _loop(self):
        while True:
            job = self._jobs.get()
            if job is None:
                return
            callback, done = job
            try:
                with self.lock:
                    self.fired.append((self.clock.now(), _name(callback)))
                    callback()
            except Exception as e:  # a real SDK logs a failing callback and goes on
                self.errors.append((self.clock.now(), _name(callback), e))
                log.exception("timer callback %s failed", _name(callback))
            finally:
                done.set()


def _name(callback):
    return getattr(callback, "__name__", type(callback).__name__)
