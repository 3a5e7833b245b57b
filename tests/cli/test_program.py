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
    "args, input, status, out, err",
    [(["license", "-u", b"b\xffob", "-p", "pw"], None, 0,
      "当前 corvina license 已设置为 b\\xffob:******\n请重启当前的 terminal \n", ""),
     (["license"], b"b\xffob\npw\n", 1, "请输入用户名: ", "输入的内容不是有效的 utf-8 文本\n"),
     (["download-data", "-f", "missing.tgz"], None, 1, "", "找不到压缩包：missing.tgz\n")],
)
def test_hostile_input_under_strict_encoding_ends_in_one_line(program, home, args, input, status, out, err):
    env = {k: v for k, v in os.environ.items() if k not in ("CORVINA_LICENSE", "corvinasdk_env")}
    env.update(HOME=str(home), PYTHONIOENCODING="utf-8:strict")
    done = subprocess.run(program + args, env=env, input=input, capture_output=True, cwd=home)
    assert (done.returncode, done.stdout.decode(), done.stderr.decode()) == (status, out, err)
    if status == 0:
        shown = subprocess.run(["bash", "--norc", "--noprofile", "-c", '. "$HOME/.bashrc"; exec "$@"', "-", *program,
                                "license", "--show"], env=env, capture_output=True, cwd=home)
        assert shown.stdout.decode() == "用户名: b\\xffob\n密码: pw\n"


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


def test_repeated_calls_do_not_leak(monkeypatch, capsys):
    monkeypatch.setattr(satchel, "update_bash_file", lambda names, value: None)
    def set_to_environ(name, value):
        if value == "u:full":
            raise OSError(28, "No space left on device")

    monkeypatch.setattr(pylon, "set_to_environ", set_to_environ)
    for name, value in (("CORVINA_LICENSE", "u:p"), ("corvinasdk_env", "dev"), ("A_B", "")):
        monkeypatch.setenv(name, value)
    license = pylon.license.callback

    def refused(username, password):
        with pytest.raises(SystemExit):
            license(username=username, password=password, show=False, env=None)

    def calls():
        for _ in range(5000):
            satchel.get_license_info()
            satchel.get_license_info(license_name="UNSET_HERE")
            satchel.set_to_environ("CORVINA_LICENSE", "u:p")
            satchel.set_to_environ(["A_B"], "v")
            license(username=None, password=None, show=True, env=None)
            license(username="u", password="p", show=False, env="dev")
            license(username="u:", password="p", show=False, env=None)
            refused("u", "p\0")
            refused("u", "p" * 5000)
            refused("u", "full")

    calls()  # warm up caches
    before = sys.getallocatedblocks()
    calls()
    assert sys.getallocatedblocks() - before < 500
