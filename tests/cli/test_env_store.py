import os
import shutil
import stat
import subprocess

import pytest

from corvina.lumen.sdk import script_update
from corvina.lumen.sdk.script_update import SOURCE_LINE, update_bash_file


def in_new_shell(home, name):
    """What a new bash in this HOME sees in $name after reading ~/.bashrc."""
    out = subprocess.run(["bash", "--norc", "--noprofile", "-c", f'. "$HOME/.bashrc"; printf %s "${name}"'],
                         env={"HOME": str(home), "PATH": os.environ["PATH"]}, cwd=home, capture_output=True, check=True)
    return out.stdout.decode()


@pytest.mark.skipif(shutil.which("bash") is None, reason="bash not installed")
@pytest.mark.parametrize("value", ["", "it's", 'say "hi"', "$(touch pwned)", "`touch pwned`", "a\nexport EVIL=1\nb",
                                   "back\\slash\\n", "tab\t\r\x1b[31m", "用户:密码", "u'; touch pwned; echo '", "$'\\x41'"])
def test_values_come_back_exactly_and_run_nothing(home, value):
    update_bash_file(["CORVINA_LICENSE"], value)
    assert in_new_shell(home, "CORVINA_LICENSE") == value
    assert in_new_shell(home, "EVIL") == "" and not (home / "pwned").exists()


def test_private_file_one_line_per_name_sourced_once(home):
    (home / ".bashrc").write_text("alias ll='ls -l'")  # no final newline
    update_bash_file(["A", "B"], "one")
    (home / ".zshrc").write_text("")
    update_bash_file(["B"], "two")
    update_bash_file("C", "three")
    path = home / ".corvina" / "env.sh"
    assert stat.S_IMODE(path.stat().st_mode) == 0o600 and stat.S_IMODE(path.parent.stat().st_mode) == 0o700
    assert [line for line in path.read_text().splitlines() if not line.startswith("#")] == [
        "export A='one'", "export B='two'", "export C='three'"]
    bashrc = (home / ".bashrc").read_text().splitlines()
    assert bashrc[0] == "alias ll='ls -l'" and bashrc.count(SOURCE_LINE) == 1
    assert (home / ".zshrc").read_text().splitlines().count(SOURCE_LINE) == 1


@pytest.mark.parametrize(
    "names, value, error",
    [(["1A"], "v", ValueError), (["A-B"], "v", ValueError), (["A\n"], "v", ValueError), ([""], "v", ValueError),
     (["OK", "$(x)"], "v", ValueError), (["A"], "nul\0", ValueError), (["A"], 5, TypeError)],
)
def test_bad_input_writes_nothing(home, names, value, error):
    with pytest.raises(error):
        update_bash_file(names, value)
    assert list(home.iterdir()) == []


@pytest.mark.parametrize("failing", ["replace", "second file"])
def test_a_failed_write_keeps_every_file_as_it_was(home, monkeypatch, failing):
    update_bash_file(["A"], "old")
    (home / ".bashrc").write_text("alias ll='ls -l'\n")  # the source line must be added again
    path = home / ".corvina" / "env.sh"
    before = path.read_bytes(), (home / ".bashrc").read_bytes()
    if failing == "replace":
        monkeypatch.setattr(script_update.os, "replace", lambda src, dst: (_ for _ in ()).throw(OSError("disk full")))
    else:
        mkstemp, calls = script_update.tempfile.mkstemp, []

        def second_fails(**kwargs):
            calls.append(kwargs)
            if len(calls) == 2:
                raise OSError("disk full")
            return mkstemp(**kwargs)

        monkeypatch.setattr(script_update.tempfile, "mkstemp", second_fails)
    with pytest.raises(OSError, match="disk full"):
        update_bash_file(["A"], "new")
    assert (path.read_bytes(), (home / ".bashrc").read_bytes()) == before
    assert sorted(p.name for p in home.iterdir()) == [".bashrc", ".corvina"]
    assert sorted(p.name for p in path.parent.iterdir()) == [".env.lock", "env.sh"]


def test_a_start_up_file_kept_elsewhere_stays_a_link(home, tmp_path):
    real = tmp_path / "dotfiles" / "bashrc"
    real.parent.mkdir()
    real.write_text("alias ll='ls -l'\n")
    (home / ".bashrc").symlink_to(real)
    update_bash_file(["A"], "v")
    assert (home / ".bashrc").is_symlink() and real.read_text().splitlines().count(SOURCE_LINE) == 1
