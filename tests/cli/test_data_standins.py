import io
import tarfile
import zipfile

import pytest

from corvina.lumen.alpha import bundle


def make_tar(path, members):
    """members: (name, bytes) for files, (name, "->target") for symbolic links."""
    with tarfile.open(path, "w:gz") as tar:
        for name, content in members:
            info = tarfile.TarInfo(name)
            if isinstance(content, str):
                info.type, info.linkname = tarfile.SYMTYPE, content[2:]
                tar.addfile(info)
            else:
                info.size = len(content)
                tar.addfile(info, io.BytesIO(content))
    return path


def make_zip(path, members):
    with zipfile.ZipFile(path, "w") as zf:
        for name, content in members:
            zf.writestr(zipfile.ZipInfo(name), content)
    return path


@pytest.mark.parametrize("make", [make_tar, make_zip])
def test_archive_is_unpacked_into_the_bundle_directory(tmp_path, make):
    archive = make(tmp_path / "sample", [("bundle/day.h5", b"x"), ("minbar/a.h5", b"yy")])
    target = tmp_path / "data"
    assert bundle.download_simple_bundle(str(target), sample=True, file_path=str(archive)) is True
    assert [(target / n).read_bytes() for n in ("bundle/day.h5", "minbar/a.h5")] == [b"x", b"yy"]


@pytest.mark.parametrize(
    "make, hostile",
    [(make_tar, ("../escaped", b"x")), (make_tar, ("/tmp/escaped-abs", b"x")), (make_tar, ("link", "->../../escaped")),
     (make_zip, ("../escaped", b"x")), (make_zip, ("a/../../escaped", b"x")), (make_zip, ("/tmp/escaped-abs", b"x"))],
)
def test_hostile_archive_unpacks_nothing(tmp_path, make, hostile):
    archive = make(tmp_path / "evil", [("ok.h5", b"1"), hostile])
    target = tmp_path / "deep" / "data"
    with pytest.raises(ValueError):
        bundle.download_simple_bundle(str(target), file_path=str(archive))
    assert list(target.iterdir()) == [] and not (tmp_path / "deep" / "escaped").exists()


def test_without_an_archive_nothing_is_downloaded(tmp_path, capsys):
    assert bundle.download_simple_bundle(str(tmp_path / "data")) is False
    assert capsys.readouterr().out and not (tmp_path / "data").exists()
