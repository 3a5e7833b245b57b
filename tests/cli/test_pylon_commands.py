import sys
import types

import pytest

import cli_reference
from corvina.lumen.alpha import bundle
from corvina.lumen.alpha.utils import scripts
from corvina.lumen.pylon import bundle as day_bundle
from corvina.lumen.sdk import const, pylon
from corvina.lumen.utils import login

COMMANDS = ["license", "shell", "update-data", "check-data", "download-data"]


def test_group_registers_the_commands_in_order():
    assert list(pylon.cli.commands) == COMMANDS
    assert all(getattr(pylon, c.replace("-", "_")) is pylon.cli.commands[c] for c in COMMANDS)


@pytest.mark.parametrize("args", [["-h"], ["--help"]] + [[c, "--help"] for c in COMMANDS])
def test_help_is_that_of_the_plain_declarations(runner, args):
    ours = runner.invoke(pylon.cli, args, prog_name="corvina")
    theirs = runner.invoke(cli_reference.cli, args, prog_name="corvina")
    assert (ours.exit_code, ours.output) == (0, theirs.output)


def describe(p):
    return (type(p), p.name, p.opts, p.secondary_opts, p.is_flag, p.multiple, p.type.to_info_dict(), p.default,
            p.help, getattr(p, "hide_input", None))


@pytest.mark.parametrize("name", COMMANDS)
def test_parameters_are_those_of_the_plain_declarations(name):
    ours, theirs = pylon.cli.commands[name], cli_reference.cli.commands[name]
    assert [describe(p) for p in ours.params] == [describe(p) for p in theirs.params]
    assert (ours.callback.__name__, ours.callback.__module__) == (theirs.callback.__name__, pylon.__name__)


@pytest.mark.parametrize("args", [["update-data", "-h"], ["update-data", "-c", "x"], ["check-data", "-d", "{file}"]])
def test_usage_errors(runner, tmp_path, args):
    (tmp_path / "f").write_text("")
    assert runner.invoke(pylon.cli, [a.format(file=tmp_path / "f") for a in args]).exit_code == 2


@pytest.fixture
def data(monkeypatch, recorder):
    """The data functions replaced by recorders; .results sets what they return."""
    results = {"update_bundle_from_quilldata": True, "update_bundle_from_exist_file": True}
    for module, names in [(login, ["init_orb"]), (scripts, ["check_tick"]), (day_bundle, ["check_bundle_data"]),
                          (bundle, ["update_bundle_from_quilldata", "update_bundle_from_exist_file",
                                    "check_min_bar_data", "download_simple_bundle"])]:
        for name in names:
            monkeypatch.setattr(module, name, lambda *a, _n=name, **k: recorder(_n, results.get(_n))(*a, **k))
    return types.SimpleNamespace(calls=recorder.calls, results=results)


@pytest.mark.parametrize("args", [[], ["--rebuild", "--with-derivatives", "-c", "9"]])
def test_update_data_with_nothing_selected_logs_in_and_shows_help(runner, data, args):
    result = runner.invoke(pylon.cli, ["update-data", *args])
    assert result.exit_code == 0 and [c[0] for c in data.calls] == ["init_orb"]
    # The help of a context without a parent: no program name in the usage line.
    first, rest = result.output.split("\n", 1)
    assert first == "Usage:  [OPTIONS]"
    assert rest == runner.invoke(pylon.cli, ["update-data", "--help"]).output.split("\n", 1)[1]


@pytest.mark.parametrize(
    "args, update_args",
    [(["--smart"], (3, False, (), (), False)), (["--base", "-c", "5"], (5, True, (), (), False)),
     (["--minbar", "stock", "--minbar", "option", "--with-derivatives"], (3, False, ("stock", "option"), (), True)),
     (["--tick", "JD", "--rebuild"], (3, False, (), ("JD",), False))],
)
def test_update_data_calls(runner, data, tmp_path, args, update_args):
    d = str(tmp_path)
    (tmp_path / "bundle").mkdir()
    assert runner.invoke(pylon.cli, ["update-data", "-d", d, *args]).exit_code == 0
    expected = [("init_orb", (), {}), ("check_tick", (str(tmp_path / "bundle"),), {}),
                ("update_bundle_from_quilldata", (update_args[0], d, *update_args[1:]), {"rebuild": "--rebuild" in args})]
    if "--smart" in args:
        expected.append(("update_bundle_from_exist_file", (update_args[0], d), {}))
    assert data.calls == expected


@pytest.mark.parametrize(
    "args, service, files, status",
    [(["--base"], True, False, 0), (["--base"], 0, True, 1), (["--smart"], True, [], 1), (["--smart"], [], True, 1),
     (["--smart"], "ok", "ok", 0)],
)
def test_update_data_exit_status_and_tick_check_skipped(runner, data, tmp_path, args, service, files, status):
    data.results.update(update_bundle_from_quilldata=service, update_bundle_from_exist_file=files)
    result = runner.invoke(pylon.cli, ["update-data", "-d", str(tmp_path), *args])
    assert (result.exit_code, result.output) == (status, "")
    assert "check_tick" not in [c[0] for c in data.calls]


@pytest.mark.parametrize("args, checks", [([], "MD"), (["--minbar"], "M"), (["--daybar"], "D"), (["--minbar", "--daybar"], "MD")])
def test_check_data(runner, data, tmp_path, args, checks):
    assert runner.invoke(pylon.cli, ["check-data", "-d", str(tmp_path), *args]).exit_code == 0
    where = {"M": ("check_min_bar_data", (str(tmp_path),), {}), "D": ("check_bundle_data", (str(tmp_path / "bundle"),), {})}
    assert data.calls == [where[c] for c in checks]


@pytest.mark.parametrize(
    "args, call",
    [([], ((const.DEFAULT_BUNDLE_PATH,), {"sample": False, "file_path": None})),
     (["--sample", "-f", "x.tgz", "-d", "dir"], (("dir",), {"sample": True, "file_path": "x.tgz"}))],
)
def test_download_data_passes_the_result_back(data, args, call):
    data.results["download_simple_bundle"] = "result"
    assert pylon.download_data.main(args, standalone_mode=False) == "result"
    assert data.calls == [("download_simple_bundle", *call)]


@pytest.mark.parametrize("ipython, exc", [(False, None), (True, None), (True, RuntimeError("broken terminal"))])
def test_shell(runner, monkeypatch, recorder, ipython, exc):
    if ipython:
        monkeypatch.setattr(pytest.importorskip("IPython"), "embed", recorder("embed", exc=exc))
    else:
        monkeypatch.setitem(sys.modules, "IPython", None)
    result = runner.invoke(pylon.cli, ["shell"])
    assert result.output == ("" if ipython else "请安装ipython:pip install ipython\n")
    assert recorder.calls == ([("embed", (), {})] if ipython else [])
    assert (result.exception is exc) if exc else result.exit_code == 0
