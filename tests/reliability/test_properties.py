"""Runs the property tests (child_properties.py) in child interpreters, one per
area, so that a hard crash there fails the test here with its signal."""
import os
import re
import signal
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
CHILD = os.path.join(HERE, "child_properties.py")
TIMEOUT = int(os.environ.get("CORVINA_PROPERTY_TIMEOUT", "600"))

AREAS = ["test_market_data", "test_account", "test_orders", "test_algo", "test_callbacks_by_keyword_and_wrong_arity",
         "test_queries", "test_sequences", "test_startup", "test_recording", "test_satchel_get_license_info",
         "test_satchel_set_to_environ"]


def run_child(selection):
    cmd = [sys.executable, "-X", "faulthandler", "-m", "pytest", "-q", "-p", "no:cacheprovider", "-p",
           "no:randomly", f"{CHILD}::{selection}"]
    return subprocess.run(cmd, cwd=HERE, capture_output=True, text=True, timeout=TIMEOUT)


@pytest.mark.parametrize("area", AREAS)
def test_property_area_in_child(area):
    done = run_child(area)
    out = done.stdout + done.stderr
    if done.returncode < 0:
        pytest.fail(f"child interpreter died of {signal.Signals(-done.returncode).name}:\n{out[-6000:]}")
    assert done.returncode == 0, out[-6000:]
    summary = out.strip().splitlines()[-1]
    if re.search(r"\d+ skipped", summary) and not re.search(r"\d+ passed", summary):
        pytest.skip(f"all skipped in the child: {summary}")
    assert re.search(r"\d+ passed", summary), out[-3000:]
