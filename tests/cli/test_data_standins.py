import io
import os
import stat
import tarfile
import types
import zipfile

import pytest

from corvina.lumen.alpha import bundle
from corvina.lumen.sdk import pylon

LONG = "d" * 247  # 16 of these nested pass the system's path limit
STEPS = "abcdefghijklmnop"


def make_tar(path, members):
    """members: (name, bytes) files, (name, None) folders, (name, "->target")
    symbolic links, (name, "=>target") hard links, (name, (tarfile type,)) others."""
    with tarfile.open(path, "w:gz") as tar:
        for name, content in members:
            info = tarfile.TarInfo(name)
            if isinstance(content, bytes):
                info.size = len(content)
                tar.addfile(info, io.BytesIO(content))
                continue
            if content is None:
                info.type = tarfile.DIRTYPE
            elif content[:2] in ("->", "=>"):
                info.type, info.linkname = tarfile.SYMTYPE if content[0] == "-" else tarfile.LNKTYPE, content[2:]
            else:
                info.type = content[0]
            tar.addfile(info)
    return path


def make_zip(path, members):
    """members: (name, bytes) files, (name, "->target") symbolic links."""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as zf:
        for name, content in members:
            info = zipfile.ZipInfo(name)
            if isinstance(content, str):
                info.external_attr = (stat.S_IFLNK | 0o777) << 16
                content = content[2:]
            zf.writestr(info, content)
    return path


def long_symlink_chain(victim):
    """Links whose resolved path passes the path limit, where resolving stops
    following links: `escape` reads as staying inside and leads to /."""
    members, path = [], ""
    for step in STEPS:
        members += [(os.path.join(path, LONG), None), (os.path.join(path, step), "->" + LONG)]
        path = os.path.join(path, LONG)
    deep = os.path.join(*STEPS, "l" * 254)
    members += [(deep, "->" + "../" * len(STEPS)), ("escape", "->" + deep + "/.." * (len(STEPS) + 1)),
                ("escape" + victim, b"pwned")]
    return members


def tree(root):
    """Everything under root: path -> file bytes, link target or None for a folder."""
    out = {}
    for d, dirs, files in os.walk(root):
        for n in dirs + files:
            p = os.path.join(d, n)
            out[os.path.relpath(p, root)] = (os.readlink(p) if os.path.islink(p) else
                                            None if os.path.isdir(p) else open(p, "rb").read())
    return out


@pytest.fixture
def work(tmp_path):
    """tmp_path/work: a bundle folder `data` with content of its own (a file, a
    link it keeps), and a file outside it that an archive must not reach."""
    work = tmp_path / "work"
    (work / "outside").mkdir(parents=True)
    (work / "outside" / "victim").write_bytes(b"original")
    (work / "data" / "bundle").mkdir(parents=True)
    (work / "data" / "bundle" / "old.h5").write_bytes(b"old")
    (work / "data" / "linked").symlink_to(work / "outside")
    return work


def download(runner, target, archive):
    return runner.invoke(pylon.cli, ["download-data", "-d", str(target), "-f", str(archive)])


@pytest.mark.parametrize("make", [make_tar, make_zip])
def test_archive_is_unpacked_into_the_bundle_directory(tmp_path, work, runner, make):
    archive = make(tmp_path / "sample", [("bundle/day.h5", b"x"), ("bundle/old.h5", b"new"), ("minbar/a.h5", b"yy")])
    before = tree(work / "data")
    result = download(runner, work / "data", archive)
    assert (result.exit_code, result.output) == (0, f"已将 {archive} 中的 3 项解压到 {work / 'data'}\n")
    assert tree(work / "data") == dict(before, **{"bundle/day.h5": b"x", "bundle/old.h5": b"new", "minbar": None,
                                                  "minbar/a.h5": b"yy"})
    # A new folder gets the usual permissions, not those of the private staging folder.
    assert bundle.download_simple_bundle(str(work / "new" / "data"), file_path=str(archive)) is True
    umask = os.umask(0)
    os.umask(umask)
    assert stat.S_IMODE((work / "new" / "data").stat().st_mode) == 0o777 & ~umask
    assert sorted(os.listdir(work)) == ["data", "new", "outside"]


HOSTILE = [
    pytest.param(make_tar, [("../escaped", b"x")], "'../escaped' 的路径含有上级目录(..)", id="tar-dotdot"),
    pytest.param(make_tar, [("{outside}/victim", b"x")], "是绝对路径", id="tar-absolute"),
    pytest.param(make_tar, [("link", "->../outside")], "'link' 是符号链接", id="tar-symlink"),
    pytest.param(make_tar, long_symlink_chain("{outside}/victim"), "'a' 是符号链接", id="tar-long-symlink-chain"),
    pytest.param(make_tar, [("d", None), ("d/up", "->.."), ("d/up/up2", "->../outside"), ("d/up/up2/victim", b"x")],
                 "'d/up' 是符号链接", id="tar-links-unsafe-only-once-unpacked"),
    pytest.param(make_tar, [("hard", "=>../outside/victim")], "'hard' 是硬链接", id="tar-hardlink-outside"),
    pytest.param(make_tar, [("ok2.h5", b"1"), ("hard", "=>ok2.h5")], "'hard' 是硬链接", id="tar-hardlink-inside"),
    pytest.param(make_tar, [("fifo", (tarfile.FIFOTYPE,))], "'fifo' 不是普通文件或目录", id="tar-fifo"),
    pytest.param(make_tar, [("f", b"1"), ("f/g", b"2")], "'f/g' 位于压缩包中的文件 'f' 之下", id="tar-file-under-file"),
    pytest.param(make_tar, [("linked/x.h5", b"1")], "linked 已存在，是符号链接", id="tar-through-a-link-in-target"),
    pytest.param(make_tar, [("bundle", b"1")], "bundle 已存在，是目录", id="tar-file-over-folder"),
    pytest.param(make_zip, [("../escaped", b"x")], "的路径含有上级目录(..)", id="zip-dotdot"),
    pytest.param(make_zip, [("a/../../escaped", b"x")], "的路径含有上级目录(..)", id="zip-inner-dotdot"),
    pytest.param(make_zip, [("{outside}/victim", b"x")], "是绝对路径", id="zip-absolute"),
    pytest.param(make_zip, [("link", "->../outside"), ("link/victim", b"x")], "'link' 是符号链接",
                 id="zip-symlink-then-file-through-it"),
]


@pytest.mark.parametrize("make, members, why", HOSTILE)
def test_hostile_archive_changes_nothing_and_says_why_in_one_line(tmp_path, work, runner, make, members, why):
    outside = str(work / "outside")
    archive = make(tmp_path / "evil", [("ok.h5", b"1")] + [(n.format(outside=outside), c) for n, c in members])
    before = tree(work)
    result = download(runner, work / "data", archive)
    assert result.exit_code == 1 and result.output.count("\n") == 1
    assert why.format(outside=outside) in result.output and "Traceback" not in result.output
    assert tree(work) == before


@pytest.mark.parametrize("make", [make_tar, make_zip])
@pytest.mark.parametrize(
    "case, why",
    [pytest.param(case, why, id=case) for case, why in [
        ("does not fit", "所在的磁盘只有 1,000 字节可用"), ("name too long", "时出错：File name too long"),
        ("damaged", "已损坏"), ("not an archive", "不是 tar 或 zip 压缩包"), ("missing", "找不到压缩包"),
        ("a folder", "是目录，不是 tar 或 zip 压缩包"),
        ("a move fails midway", "时出错：Permission denied，已移入的各项均已还原")]],
)
def test_an_archive_that_cannot_be_unpacked_changes_nothing(tmp_path, work, runner, monkeypatch, make, case, why):
    members = [("ok.h5", b"1"), ("big.h5", bytes(1 << 20)), ("bundle/old.h5", b"new")]
    if case == "name too long":  # fails while writing, after other members are in
        members.append(("x" * 300, b"1"))
    archive = make(tmp_path / "a", members)
    if case == "a move fails midway":  # after big.h5 is in and bundle/old.h5 replaced
        failing_renames(monkeypatch, work / "data" / "ok.h5")
    elif case == "does not fit":
        monkeypatch.setattr(bundle.shutil, "disk_usage", lambda path: types.SimpleNamespace(free=1000))
    elif case == "damaged":  # in the middle of big.h5's compressed data
        data = bytearray(archive.read_bytes())
        data[len(data) // 2:len(data) // 2 + 64] = bytes(range(64))
        archive.write_bytes(data)
    elif case == "not an archive":
        archive.write_bytes(b"just text\n" * 100)
    elif case == "missing":
        archive.unlink()
    elif case == "a folder":
        archive.unlink()
        archive.mkdir()
    before = tree(work)
    result = download(runner, work / "data", archive)
    assert (result.exit_code, result.output.count("\n")) == (1, 1) and why in result.output
    assert tree(work) == before


def failing_renames(monkeypatch, first, then_all=False):
    """os.rename (and os.replace) fails for the move to `first`, and with then_all for every one after it."""
    rename, failed = os.rename, []

    def fake(src, dst, *args, **kwargs):
        if str(dst) == str(first) or (failed and then_all):
            failed.append(dst)
            raise PermissionError(13, "Permission denied")
        return rename(src, dst, *args, **kwargs)

    monkeypatch.setattr(bundle.os, "rename", fake)
    monkeypatch.setattr(bundle.os, "replace", fake)


def test_a_move_that_cannot_be_undone_says_what_changed_and_keeps_the_replaced_files(tmp_path, work, runner,
                                                                                     monkeypatch):
    archive = make_tar(tmp_path / "a", [("ok.h5", b"1"), ("big.h5", b"2"), ("bundle/old.h5", b"new")])
    failing_renames(monkeypatch, work / "data" / "ok.h5", then_all=True)
    result = download(runner, work / "data", archive)
    monkeypatch.undo()
    assert (result.exit_code, result.output.count("\n")) == (1, 1) and "未作任何改动" not in result.output
    assert f"中的 'big.h5'、'bundle/old.h5' 已改动且未能还原；被替换的原文件保存在 " in result.output
    kept = result.output.rsplit("保存在 ", 1)[1].strip()
    assert [open(os.path.join(kept, n), "rb").read() for n in os.listdir(kept)] == [b"old"]
    assert tree(work / "data")["bundle/old.h5"] == b"new"


def test_without_an_archive_nothing_is_downloaded(tmp_path, capsys):
    assert bundle.download_simple_bundle(str(tmp_path / "data")) is False
    assert capsys.readouterr().out and not (tmp_path / "data").exists()
