"""The installed program, run as a separate process, and the built modules."""
import os
import shutil
import subprocess
import sys

import pytest

from corvina.lumen.sdk import pylon, satchel

CORVINA = shutil.which("corvina", path=os.path.dirname(sys.executable))


def run(argv, home, input=None):
    env = {k: v for k, v in os.environ.items() if k not in ("CORVINA_LICENSE", "corvinasdk_env")}
    return subprocess.run(argv, env=dict(env, HOME=str(home)), input=input, capture_output=True, text=True, cwd=home)


@pytest.fixture(params=["script", "module"])
def program(request):
    if request.param == "module":
        return [sys.executable, "-m", "corvina"]
    if CORVINA is None:
        pytest.skip("the corvina script is not installed next to this interpreter")
    return [CORVINA]


@pytest.mark.parametrize(
    "args, status",
    [(["-h"], 0), (["update-data", "--smart"], 0), (["update-data", "--base"], 1), (["check-data"], 0),
     (["download-data"], 0)],
)
def test_commands_run_on_a_fresh_machine(program, home, args, status):
    out = run(program + args + (["-d", str(home / "data")] if len(args) > 1 else []), home)
    assert (out.returncode, out.stderr) == (status, "")
    assert out.stdout.startswith("Usage: corvina [OPTIONS] COMMAND") if args == ["-h"] else out.stdout


@pytest.mark.parametrize("args", [["--help"]] + [[c, "--help"] for c in pylon.cli.commands])
def test_help_of_the_program(program, runner, monkeypatch, args):
    monkeypatch.setenv("COLUMNS", "80")  # click formats to 2 less
    # The HOME this process had when pylon loaded, so that the default directory matches.
    out = run(program + args, pylon.DEFAULT_BUNDLE_PATH.rsplit(os.sep + ".corvina", 1)[0])
    expected = runner.invoke(pylon.cli, args, prog_name="corvina", terminal_width=78).output
    assert (out.returncode, out.stdout) == (0, expected)


@pytest.mark.skipif(shutil.which("bash") is None, reason="bash not installed")
def test_login_reaches_a_new_shell(program, home):
    out = run(program + ["license", "--env", "uat"], home, input="bob\np'w$(x)\n")
    assert out.returncode == 0 and "p'w" not in out.stdout
    shown = run(["bash", "--norc", "--noprofile", "-c", '. "$HOME/.bashrc"; exec "$@"', "-", *program,
                 "license", "--show"], home)
    assert shown.stdout == "用户名: bob\n密码: p'w$(x)\n当前环境: uat\n"


@pytest.mark.parametrize(
    "blocked, module",
    [("corvina.lumen.sdk.script_update", "satchel"), ("click", "satchel"), ("corvina.lumen.sdk.script_update", "pylon"),
     ("corvina.lumen.sdk.satchel", "pylon"), ("corvina.lumen.sdk.const", "pylon")],
)
def test_a_failing_import_fails_the_load_with_that_error(home, blocked, module):
    code = (f"import sys; sys.modules[{blocked!r}] = None\n"
            f"try: import corvina.lumen.sdk.{module}\n"
            f"except ImportError as e: print(type(e).__name__, e.__cause__, 'corvina.lumen.sdk.{module}' in sys.modules)")
    assert run([sys.executable, "-c", code], home).stdout == "ModuleNotFoundError None False\n"


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm not installed")
@pytest.mark.parametrize("module", [pylon, satchel])
def test_only_the_init_function_is_exported(module):
    out = subprocess.run(["nm", "-D", "--defined-only", module.__file__], capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in out.stdout.splitlines()] == ["PyInit_" + module.__name__.rsplit(".", 1)[1]]


def test_repeated_calls_do_not_leak(monkeypatch, capsys):
    monkeypatch.setattr(satchel, "update_bash_file", lambda names, value: None)
    monkeypatch.setattr(pylon, "set_to_environ", lambda name, value: None)
    for name, value in (("CORVINA_LICENSE", "u:p"), ("corvinasdk_env", "dev"), ("A_B", "")):
        monkeypatch.setenv(name, value)
    license = pylon.license.callback

    def calls():
        for _ in range(5000):
            satchel.get_license_info()
            satchel.get_license_info(license_name="UNSET_HERE")
            satchel.set_to_environ("CORVINA_LICENSE", "u:p")
            satchel.set_to_environ(["A_B"], "v")
            license(username=None, password=None, show=True, env=None)
            license(username="u", password="p", show=False, env="dev")
            license(username="u:", password="p", show=False, env=None)

    calls()  # warm up caches
    before = sys.getallocatedblocks()
    calls()
    assert sys.getallocatedblocks() - before < 500
