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


@pytest.mark.parametrize(
    "args, input, message",
    [(["-u", "", "-p", "pw"], None, "用户名和密码均不能为空\n"), (["-u", "bob", "-p", ""], None, "用户名和密码均不能为空\n"),
     (["-u", "bo:b", "-p", "pw"], None, "用户名不能包含冒号(:)\n"), ([], "bob\n", f"{USER}bob\n{PASSWORD}\n\nAborted!\n")],
)
def test_refusals_store_nothing(runner, args, input, message):
    result = license(runner, *args, "--env", "dev", input=input)
    assert (result.exit_code, result.output) == (1 if input else 0, message)
    assert LICENSE not in os.environ and ENV not in os.environ
    assert not os.path.exists(os.path.expanduser("~/.corvina"))


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
