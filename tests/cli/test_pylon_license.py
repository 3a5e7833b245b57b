import os

import pytest

from cli_support import ENV, LICENSE, MISSING, RESTART
from corvina.lumen.sdk import pylon

USER, PASSWORD = "请输入用户名: ", "请输入密码: "
STORED = "当前 corvina license 已设置为 bob:******\n" + RESTART


def license(runner, *args, input=None):
    return runner.invoke(pylon.cli, ["license", *args], input=input)


@pytest.mark.parametrize(
    "args, input, prompts",
    [([], "bob\ns3:cr3t\n", f"{USER}bob\n{PASSWORD}\n"), (["-username", "bob"], "s3:cr3t\n", f"{PASSWORD}\n"),
     (["-p", "s3:cr3t"], "bob\n", f"{USER}bob\n"), (["--password", "s3:cr3t", "-u", "bob"], "", ""),
     ([], "\nbob\n\ns3:cr3t\n", f"{USER}\n{USER}bob\n{PASSWORD}\n{PASSWORD}\n")],  # empty answers are asked again
)
def test_store_prompts_for_what_is_missing(runner, args, input, prompts):
    result = license(runner, *args, input=input)
    assert (result.exit_code, result.output) == (0, prompts + STORED)
    assert os.environ[LICENSE] == "bob:s3:cr3t" and ENV not in os.environ


@pytest.mark.parametrize("env, kept", [("test", 1), ("inner", 1), ("dev", 1), ("uat", 1), ("DEV", 0), ("", 0)])
def test_env_is_stored_only_when_known(runner, env, kept):
    result = license(runner, "--env", env, input="bob\npw\n")
    assert result.output.endswith(STORED + (f"当前 {ENV} 已设置为 {env}\n" + RESTART if kept else ""))
    assert os.environ.get(ENV) == (env if kept else None)


NUL = "用户名和密码不能包含空字符(NUL)\n"
TOO_LONG = "用户名和密码过长：两者合计 {} 字节，不能超过 4079 字节\n"


@pytest.mark.parametrize(
    "args, input, status, out, err",
    [(["-u", "", "-p", "pw"], None, 0, "用户名和密码均不能为空\n", ""),
     (["-u", "bob", "-p", ""], None, 0, "用户名和密码均不能为空\n", ""),
     (["-u", "bo:b", "-p", "pw"], None, 0, "用户名不能包含冒号(:)\n", ""),
     ([], "bob\n", 1, f"{USER}bob\n{PASSWORD}\n\n", "Aborted!\n"),
     # Hostile logins: refused with one line on stderr and exit status 1.
     ([], "bob\np\0w\n", 1, f"{USER}bob\n{PASSWORD}\n", NUL),
     (["-u", "b\0b", "-p", "pw"], None, 1, "", NUL),
     ([], b"bob\n\xffpw\n", 1, USER, "输入的内容不是有效的 utf-8 文本\n"),  # strict decoding, as in the runner
     (["-u", "bob", "-p", "x" * 4077], None, 1, "", TOO_LONG.format(4080)),
     (["-u", "用" * 1400, "-p", "pw"], None, 1, "", TOO_LONG.format(4202)),  # bytes, not characters
     (["-u", "b\ud800b", "-p", "pw"], None, 1, "", "用户名或密码中有无法存入环境变量的字符\n")],
)
def test_refusals_store_nothing(runner, home, args, input, status, out, err):
    result = license(runner, *args, "--env", "dev", input=input)
    assert (result.exit_code, result.stdout, result.stderr) == (status, out, err)
    assert LICENSE not in os.environ and ENV not in os.environ
    assert list(home.iterdir()) == []


@pytest.mark.parametrize("user, password", [("b\udcffob", "pw"), ("bob", "x" * 4076)])
def test_a_login_is_confirmed_however_the_output_encodes(runner, user, password):
    # The runner's stdout is strict UTF-8, as under PYTHONIOENCODING=utf-8:strict.
    shown = user.replace("\udcff", "\\xff")
    result = license(runner, "-u", user, "-p", password)
    assert (result.exit_code, result.output) == (0, f"当前 corvina license 已设置为 {shown}:******\n" + RESTART)
    assert os.environ[LICENSE] == f"{user}:{password}"
    assert license(runner, "--show").output == f"用户名: {shown}\n密码: {password}\n"


@pytest.mark.parametrize("rc_file", [".bashrc", ".zshrc"])
def test_a_store_failing_on_the_system_side_is_one_line_and_writes_nothing(runner, home, rc_file):
    (home / rc_file).mkdir()
    result = license(runner, "-u", "bob", "-p", "pw", "--env", "dev")
    assert (result.exit_code, result.stdout) == (1, "")
    assert result.stderr == f"无法保存 {LICENSE}：[Errno 21] Is a directory: '{home / rc_file}'\n"
    assert LICENSE not in os.environ and ENV not in os.environ
    assert [p.name for p in home.iterdir()] == [rc_file]


@pytest.mark.parametrize(
    "value, env, output",
    [(None, None, MISSING), ("", "uat", MISSING + "当前环境: uat\n"), ("bob:s:3", "dev", "用户名: bob\n密码: s:3\n当前环境: dev\n"),
     ("bob:s", "prod", "用户名: bob\n密码: s\n"), (":pw", "test", "当前环境: test\n"), ("bob:", None, ""),
     ("nocolon", None, MISSING)],
)
def test_show_stores_nothing(runner, monkeypatch, value, env, output):
    for name, v in ((LICENSE, value), (ENV, env)):
        if v is not None:
            monkeypatch.setenv(name, v)
    result = license(runner, "--show", "-u", "eve", "-p", "x", "--env", "inner")
    assert (result.exit_code, result.output) == (0, output)
    assert (os.environ.get(LICENSE), os.environ.get(ENV)) == (value, env)
