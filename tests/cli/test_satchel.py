import os
import types

import pytest

from cli_support import ENV, LICENSE, MISSING, RESTART
from corvina.lumen.sdk import satchel


@pytest.mark.parametrize(
    "stored, pair",
    [(None, None), ("", None), ("no-colon", None), ("bob:se:cr:et", ("bob", "se:cr:et")),
     (":pw", ("", "pw")), ("bob:", ("bob", "")), (" b : p ", (" b ", " p "))],
)
def test_get_license_info_splits_at_the_first_colon(stored, pair, capsys, monkeypatch):
    if stored is not None:
        monkeypatch.setenv("OTHER", stored)
    monkeypatch.setenv(LICENSE, "not:this")
    assert satchel.get_license_info(license_name="OTHER") == (pair or (None, None))
    assert capsys.readouterr().out == ("" if pair else MISSING)


@pytest.fixture
def store(monkeypatch, recorder):
    monkeypatch.setattr(satchel, "update_bash_file", recorder("update_bash_file"))
    monkeypatch.setenv("B", "")  # restored afterwards
    return recorder.calls


@pytest.mark.parametrize(
    "names, value, shown",
    [(LICENSE, "bob:a:b", "corvina license 已设置为 bob:******"), (LICENSE, ":pw", "corvina license 已设置为 :******"),
     (LICENSE, "nocolon", "corvina license 已设置为 ******"), (ENV, "dev", f"{ENV} 已设置为 dev"),
     ([LICENSE, "B"], "u:p", f"{[LICENSE, 'B']!r} 已设置为 u:******"),
     (["B", LICENSE], "u:p", f"{['B', LICENSE]!r} 已设置为 u:******"), (["B"], "u:p", "['B'] 已设置为 u:p")],
)
def test_set_to_environ_stores_and_never_echoes_the_password(names, value, shown, store, capsys):
    satchel.set_to_environ(names, value)
    assert capsys.readouterr().out == f"当前 {shown}\n" + RESTART
    as_list = names if isinstance(names, list) else [names]
    assert store == [("update_bash_file", (as_list, value), {})]
    assert [os.environ[n] for n in as_list] == [value] * len(as_list)


def test_a_failing_store_changes_nothing(monkeypatch, recorder, capsys):
    monkeypatch.setattr(satchel, "update_bash_file", recorder("store", exc=PermissionError("read-only")))
    with pytest.raises(PermissionError):
        satchel.set_to_environ(LICENSE, "u:p")
    assert LICENSE not in os.environ and capsys.readouterr().out == ""


@pytest.mark.parametrize("codes, failing", [([], None), ([1], LICENSE), ([0, 5], "B")])
def test_windows_runs_setx_per_name_without_a_shell(store, monkeypatch, capsys, codes, failing):
    runs, codes = [], list(codes)

    def run(argv, **kwargs):
        runs.append((argv, kwargs))
        return types.SimpleNamespace(returncode=codes.pop(0) if codes else 0)

    monkeypatch.setattr(satchel, "sys", types.SimpleNamespace(platform="win32"))
    monkeypatch.setattr(satchel, "subprocess", types.SimpleNamespace(run=run))
    monkeypatch.delenv("B")
    value = 'u:p"&calc&" %PATH%'
    if failing:
        with pytest.raises(OSError, match=f"'{failing}'"):
            satchel.set_to_environ([LICENSE, "B"], value)
        assert LICENSE not in os.environ and "B" not in os.environ and capsys.readouterr().out == ""
    else:
        satchel.set_to_environ([LICENSE, "B"], value)
        assert os.environ[LICENSE] == os.environ["B"] == value
    expected = [(["setx", n, value], {"capture_output": True}) for n in (LICENSE, "B")]
    assert runs == expected[:1 if failing == LICENSE else 2]
    assert store == []


def test_a_name_the_store_adds_to_the_list_is_masked_too(monkeypatch, capsys):
    monkeypatch.setattr(satchel, "update_bash_file", lambda names, value: names.append(LICENSE))
    monkeypatch.setenv("B", "")
    satchel.set_to_environ(["B"], "u:p")
    assert capsys.readouterr().out == f"当前 {['B', LICENSE]!r} 已设置为 u:******\n" + RESTART
    assert os.environ[LICENSE] == "u:p"
