"""The stubs shipped with the modules say what the modules are: mypy's stubtest
against the installed modules, and a typed strategy under `mypy --strict`."""
import ast
import importlib.util
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
HERE = pathlib.Path(__file__).parent
MODULES = ["corvina.lumen.utils.ferrule", "corvina.lumen.sdk.pylon", "corvina.lumen.sdk.satchel"]

# The platform's packages carry no types: in the stubs their classes are Any.
CACHE = ROOT / "build" / "mypy-cache"
MYPY_CONFIG = f"""\
[mypy]
cache_dir = {CACHE / "stubtest"}
[mypy-pyvela.*,numpy_ringbuffer,corvina.lumen.core.*,corvina.lumen.model.*]
ignore_missing_imports = True
"""

# What each module owns, which its stub must declare (stubtest passes over
# names whose objects come from elsewhere, such as click's command objects).
OWN = {
    "corvina.lumen.utils.ferrule": [
        "get_current_bar", "get_current_tick", "history_ticks", "history_bars", "stats", "reset_stats", "start_recording", "stop_recording",
        "set_latency", "latency_enabled", "latency_histograms", "is_recording", "record_mark", "decode_records", "VelaStrategy", "vela_params",
        "event_queue", "history_bar", "history_tick", "orders_dict", "algo_parent_orders", "algo_child_orders",
        "algo_child_trades"],
    "corvina.lumen.sdk.pylon": ["cli", "license", "shell", "update_data", "check_data", "download_data"],
    "corvina.lumen.sdk.satchel": ["get_license_info", "set_to_environ"],
}


def run(args, tmp_path):
    return subprocess.run([sys.executable, "-m", *args], cwd=tmp_path, capture_output=True, text=True, timeout=300)


@pytest.fixture
def mypy_config(tmp_path):
    path = tmp_path / "mypy.ini"
    path.write_text(MYPY_CONFIG)
    return path


def test_stubtest(mypy_config, tmp_path):
    r = run(["mypy.stubtest", "--mypy-config-file", str(mypy_config),
             "--allowlist", str(HERE / "stubtest-allowlist.txt"), *MODULES], tmp_path)
    assert r.returncode == 0, r.stdout + r.stderr


def test_typed_example_strategy_passes_mypy_strict(tmp_path):
    # As a user runs it: no configuration.
    example = ROOT / "examples" / "typed_strategy.py"
    r = run(["mypy", "--strict", "--cache-dir", str(CACHE / "strict"), str(example)], tmp_path)
    assert r.returncode == 0, r.stdout + r.stderr


@pytest.mark.parametrize("module", MODULES)
def test_stub_beside_the_module_declares_what_it_owns(module):
    found = importlib.util.find_spec(module)
    stub = pathlib.Path(found.origin).parent / (module.rsplit(".", 1)[1] + ".pyi")
    tree = ast.parse(stub.read_text())
    declared = {t.id for n in tree.body if isinstance(n, ast.AnnAssign) for t in [n.target]}
    declared |= {n.name for n in tree.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))}
    assert set(OWN[module]) <= declared
    assert (stub.parent / "py.typed").is_file()
