"""The core wheel installs without a compiler and next to an engine: it adds
the three modules, their stubs and markers, and the `corvina` script, and
replaces no file of an existing `corvina` package.

The wheels are built once per session from the usual build directory, or,
with CORVINA_WHEELHOUSE=DIR, taken from DIR (the release wheels of
scripts/build-dist.sh, the core one of the running interpreter). Each
fresh environment reaches the third-party dependencies through a .pth file
naming a directory that links to just those distributions of this
environment, so pip finds them installed and needs no index."""
import hashlib
import importlib.metadata
import os
import pathlib
import re
import subprocess
import sys
import sysconfig
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
DEPENDENCIES = ["click", "numpy", "numpy-ringbuffer"]
SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")
CORE_FILES = sorted([
    f"corvina/lumen/utils/ferrule{SUFFIX}", "corvina/lumen/utils/ferrule.pyi", "corvina/lumen/utils/py.typed",
    "corvina/lumen/utils/ferrule_recording.py", "corvina/lumen/utils/ferrule_metrics.py",
    f"corvina/lumen/sdk/pylon{SUFFIX}", "corvina/lumen/sdk/pylon.pyi",
    f"corvina/lumen/sdk/satchel{SUFFIX}", "corvina/lumen/sdk/satchel.pyi", "corvina/lumen/sdk/py.typed",
])
# An engine already installed: its package files, as they must stay.
ENGINE_MARKERS = {
    "corvina/__init__.py": "# the engine's own\n__version__ = '9.9'\n",
    "corvina/py.typed": "",
    "corvina/lumen/__init__.py": "# the engine's lumen\n",
    "corvina/lumen/utils/__init__.py": "# the engine's utils\n",
    "corvina/lumen/sdk/__init__.py": "# the engine's sdk\n",
    "corvina/lumen/sdk/const.py": "DEFAULT_BUNDLE_PATH = 'engine'\n",
}


def pip_env():
    # No configuration or index of this machine: only what the test hands over.
    env = {k: v for k, v in os.environ.items() if not k.startswith("PIP_")}
    env.update(PIP_CONFIG_FILE=os.devnull, PIP_DISABLE_PIP_VERSION_CHECK="1", PIP_NO_INPUT="1")
    return env


def pip(*args, python=sys.executable):
    cmd = [sys.executable, "-m", "pip", "--python", str(python), *args]
    r = subprocess.run(cmd, capture_output=True, text=True, env=pip_env(), timeout=600)
    assert r.returncode == 0, f"{cmd}\n{r.stdout}\n{r.stderr}"
    return r.stdout


RELEASE = os.environ.get("CORVINA_WHEELHOUSE")
PY_TAG = f"cp{sys.version_info.major}{sys.version_info.minor}"
ABI = PY_TAG + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "")  # a free-threaded build's wheels


@pytest.fixture(scope="session")
def wheelhouse(tmp_path_factory):
    out = tmp_path_factory.mktemp("wheels")
    if RELEASE:
        for wheel in pathlib.Path(RELEASE).glob("*.whl"):
            if not wheel.name.startswith("corvina_core-") or f"-{PY_TAG}-{ABI}-" in wheel.name:
                (out / wheel.name).symlink_to(wheel.resolve())
    else:
        pip("wheel", "--no-deps", "--no-build-isolation", "-w", out, ROOT,
            ROOT / "standins" / "pyvela", ROOT / "standins" / "corvina")
    return out


@pytest.fixture(scope="session")
def core_wheel(wheelhouse):
    (wheel,) = wheelhouse.glob("corvina_core-*.whl")
    return wheel


@pytest.fixture(scope="session")
def dependencies(tmp_path_factory):
    """A directory of links to the installed files of the third-party dependencies."""
    out = tmp_path_factory.mktemp("deps")
    for name in DEPENDENCIES:
        dist = importlib.metadata.distribution(name)
        for top in {f.parts[0] for f in dist.files if f.parts[0] != ".."}:
            if not (out / top).exists():
                (out / top).symlink_to(dist.locate_file(top))
    return out


def fresh_venv(path, dependencies):
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", path], check=True, timeout=120)
    python = path / "bin" / "python"
    site = pathlib.Path(subprocess.run([python, "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"],
                                       capture_output=True, text=True, check=True).stdout.strip())
    (site / "dependencies.pth").write_text(f"{dependencies}\n")
    return python, site


def snapshot(site):
    return {rel: (hashlib.sha256((site / rel).read_bytes()).hexdigest(), (site / rel).stat().st_mtime_ns)
            for rel in ENGINE_MARKERS}


def test_the_core_wheel_holds_the_modules_stubs_and_script_only(core_wheel):
    with zipfile.ZipFile(core_wheel) as z:
        names = z.namelist()
        # auditwheel repair writes directory entries too; they install nothing.
        payload = sorted(n for n in names if ".dist-info/" not in n and not n.endswith("/"))
        assert payload == CORE_FILES
        entry_points = z.read(next(n for n in names if n.endswith(".dist-info/entry_points.txt"))).decode()
        assert re.search(r"^corvina = corvina\.lumen\.sdk\.pylon:cli$", entry_points, re.M)
        for name in payload:
            data = z.read(name)
            for path in {ROOT, ROOT.resolve(), pathlib.Path(sys.prefix)}:
                assert str(path).encode() not in data, f"{name} holds the build path {path}"


def test_installed_next_to_an_engine_it_replaces_none_of_its_files(tmp_path, core_wheel, dependencies):
    python, site = fresh_venv(tmp_path / "engine", dependencies)
    for rel, text in ENGINE_MARKERS.items():
        (site / rel).parent.mkdir(parents=True, exist_ok=True)
        (site / rel).write_text(text)
    before = snapshot(site)
    pip("install", "--no-index", "--only-binary", ":all:", core_wheel, python=python)
    assert snapshot(site) == before
    assert all((site / rel).is_file() for rel in CORE_FILES)
    assert (python.parent / "corvina").is_file()
    pip("uninstall", "-y", "corvina-core", python=python)
    assert snapshot(site) == before
    assert not any((site / rel).exists() for rel in CORE_FILES)


def test_the_wheels_install_without_a_compiler_and_run(tmp_path, wheelhouse, dependencies):
    python, site = fresh_venv(tmp_path / "fresh", dependencies)
    pip("install", "--no-index", "--only-binary", ":all:", "--find-links", wheelhouse,
        "corvina-core", "pyvela", "corvina-engine-standin", python=python)
    code = ("import corvina.lumen.utils.ferrule as f, corvina.lumen.sdk.pylon as p, corvina.lumen.sdk.satchel as s;"
            "print(f.__file__, p.__file__, s.__file__)")
    r = subprocess.run([python, "-c", code], capture_output=True, text=True, cwd=tmp_path, timeout=120)
    assert r.returncode == 0, r.stderr
    assert all(pathlib.Path(p).is_relative_to(site) for p in r.stdout.split())
    r = subprocess.run([python.parent / "corvina", "--help"], capture_output=True, text=True, cwd=tmp_path,
                       timeout=120)
    assert r.returncode == 0, r.stderr
    assert all(c in r.stdout for c in ("license", "shell", "update-data", "check-data", "download-data"))


def test_the_wheel_fits_the_manylinux_tag_the_readme_states(core_wheel):
    r = subprocess.run([pathlib.Path(sys.executable).parent / "auditwheel", "show", core_wheel],
                       capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    assert "external shared libraries" not in r.stdout  # nothing for `auditwheel repair` to graft in
    if RELEASE:
        tag = re.search(r'"(manylinux_\d+_\d+_x86_64)"', r.stdout).group(1)
        stated = re.search(r"release\s+wheels\s+are\s+tagged\s+\*\*`(manylinux_\w+)`\*\*", (ROOT / "README.md").read_text())
        assert tag == stated.group(1) and tag in core_wheel.name.removesuffix(".whl").split("-")[-1].split(".")


def test_the_supported_interpreters_agree_everywhere():
    """requires-python, CMake's range, the environments the test command sets up and the README."""
    import tomllib
    requires = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["requires-python"]
    low, high = re.fullmatch(r">=3\.(\d+),<3\.(\d+)", requires).groups()
    minors = [f"3.{m}" for m in range(int(low), int(high))]
    cmake = re.search(r"find_package\(Python (\S+) ", (ROOT / "CMakeLists.txt").read_text()).group(1)
    assert cmake == f"3.{low}...<3.{high}"
    free_threaded = [f"{m}t" for m in minors if m != "3.12"]  # Py_mod_gil came with 3.13
    envs = re.search(r"^CORVINA_VERSIONS=\((.*)\)$", (ROOT / "scripts" / "envs.sh").read_text(), re.M).group(1)
    assert envs.split() == minors + free_threaded
    readme = (ROOT / "README.md").read_text()
    assert f"CPython {', '.join(minors[:-1])} and {minors[-1]}" in readme
    assert f"free-threaded {', '.join(free_threaded[:-1])} and {free_threaded[-1]}" in readme
