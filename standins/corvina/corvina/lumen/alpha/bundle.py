"""Updating, checking and downloading the data bundle.

Stand-in: there is no market-data service and no download here. Each function
says what it did, works only on local files, and returns what the commands
expect (a truth value for success where they read one).

Layout of a data bundle directory:

    <data_bundle_path>/bundle/   daily bars and basic data
    <data_bundle_path>/minbar/   minute bars, one .h5 file per instrument
    <data_bundle_path>/tick/     ticks, one .h5 file per instrument
"""
import collections
import contextlib
import lzma
import os
import shutil
import stat
import tarfile
import tempfile
import zipfile
import zlib

import click


def _h5_files(directory):
    if not os.path.isdir(directory):
        return []
    return sorted(n for n in os.listdir(directory) if n.endswith(".h5"))


def update_bundle_from_quilldata(concurrency, data_bundle_path, base, minbar, tick, with_derivatives,
                                 rebuild=False):
    """Updates the selected data from the market-data service.

    Returns True when there was nothing to fetch, False when something was
    selected (no service is configured, so it cannot be fetched).
    """
    wanted = []
    if base:
        wanted.append("基础数据及日线")
    if minbar:
        wanted.append("分钟线 " + ", ".join(minbar))
    if tick:
        wanted.append("tick " + ", ".join(tick))
    if not wanted:
        click.echo("没有选择需要从行情数据服务更新的数据")
        return True
    click.echo(f"未配置行情数据服务，无法更新 {data_bundle_path} 中的：" + "；".join(wanted))
    return False


def update_bundle_from_exist_file(concurrency, data_bundle_path):
    """Incremental update of the minute-bar and tick files already downloaded.

    Returns True when there are none, False otherwise (they cannot be updated
    without a market-data service).
    """
    files = _h5_files(os.path.join(data_bundle_path, "minbar")) + _h5_files(os.path.join(data_bundle_path, "tick"))
    if not files:
        click.echo(f"{data_bundle_path} 中没有已下载的分钟线或 tick 数据，无需增量更新")
        return True
    click.echo(f"{data_bundle_path} 中有 {len(files)} 个分钟线或 tick 文件，未配置行情数据服务，无法增量更新")
    return False


def check_min_bar_data(data_bundle_path):
    """Checks the minute-bar files: reports empty ones. True when none is empty."""
    directory = os.path.join(data_bundle_path, "minbar")
    files = _h5_files(directory)
    if not files:
        click.echo(f"{directory} 中没有分钟线数据，无需检查")
        return True
    empty = [n for n in files if os.path.getsize(os.path.join(directory, n)) == 0]
    for name in empty:
        click.echo(f"分钟线文件为空：{os.path.join(directory, name)}")
    click.echo(f"检查了 {len(files)} 个分钟线文件，{len(empty)} 个异常")
    return not empty


class BundleError(click.ClickException):
    """A refused or failed download: one line for the user and exit status 1
    from the command; the target directory is as it was."""

    def show(self, file=None):
        _echo(self.format_message(), file=file, err=True)


def _echo(text, file=None, err=False):
    """click.echo, escaping what the output's encoding cannot show: names from
    an archive or the file system need not be valid UTF-8."""
    try:
        click.echo(text, file=file, err=err)
    except UnicodeEncodeError as e:
        try:  # undecoded bytes (lone surrogates) as the bytes they were
            shown = text.encode(e.encoding, "surrogateescape").decode(e.encoding, "backslashreplace")
        except UnicodeError:
            shown = text.encode(e.encoding, "backslashreplace").decode(e.encoding)
        click.echo(shown, file=file, err=err)


class _Oversized(Exception):
    """A member holds more data than its header declares."""


# What reading a damaged archive raises besides OSError.
_READ_ERRORS = (tarfile.TarError, zipfile.BadZipFile, EOFError, zlib.error, lzma.LZMAError, NotImplementedError,
                _Oversized)
_CHUNK = 1 << 20


def _quoted(name):
    """A member's name or a link's target for a message: quoted, and shortened when long."""
    return repr(name if len(name) <= 72 else name[:48] + "…" + name[-16:])


# One archive member: its name, "dir" or "file" (None when refused, with why), its declared size.
_Member = collections.namedtuple("_Member", "name kind size why source")


def _tar_member(m):
    if m.issym():
        return _Member(m.name, None, 0, f"是符号链接（指向 {_quoted(m.linkname)}）", m)
    if m.islnk():
        return _Member(m.name, None, 0, f"是硬链接（指向 {_quoted(m.linkname)}）", m)
    if m.isdir():
        return _Member(m.name, "dir", 0, None, m)
    if m.isreg():
        return _Member(m.name, "file", m.size, None, m)
    return _Member(m.name, None, 0, "不是普通文件或目录", m)


def _zip_member(info):
    mode = info.external_attr >> 16
    if stat.S_ISLNK(mode):
        return _Member(info.filename, None, 0, "是符号链接", info)
    if info.flag_bits & 0x1:
        return _Member(info.filename, None, 0, "已加密", info)
    if info.is_dir() or stat.S_ISDIR(mode):
        return _Member(info.filename, "dir", 0, None, info)
    if stat.S_IFMT(mode) not in (0, stat.S_IFREG):
        return _Member(info.filename, None, 0, "不是普通文件或目录", info)
    return _Member(info.filename, "file", info.file_size, None, info)


def _name_parts(name):
    """The member's path below the target from its name alone, or why it may not be unpacked."""
    if "\0" in name:
        return None, "的名称含有空字符"
    if name.startswith("/"):
        return None, "是绝对路径"
    parts = tuple(p for p in name.split("/") if p not in ("", "."))
    if ".." in parts:
        return None, "的路径含有上级目录(..)"
    return parts, None


def _kind(st):
    if stat.S_ISDIR(st.st_mode):
        return "目录"
    if stat.S_ISREG(st.st_mode):
        return "文件"
    return "符号链接" if stat.S_ISLNK(st.st_mode) else "特殊文件"


class _Unpacking:
    """One archive into one directory. Every member is judged on the archive's
    names and member types alone, never on what the file system resolves, and
    no link is unpacked: nothing unpacked can lead outside the directory. The
    members are unpacked into a folder beside it, on its file system, and
    moved in only when all are in."""

    def __init__(self, file_path, data_bundle_path):
        self.file_path = file_path
        self.shown = data_bundle_path
        self.target = os.path.realpath(data_bundle_path)
        self.keep_staging = False  # it holds files the target could not get back

    def refused(self, why):
        return BundleError(f"拒绝解压 {self.file_path}：{why}；{self.shown} 未作任何改动")

    def failed(self, why):
        return BundleError(f"解压 {self.file_path} 失败：{why}；{self.shown} 未作任何改动")

    def run(self):
        if os.path.lexists(self.target) and not os.path.isdir(self.target):
            raise BundleError(f"{self.shown} 不是目录")
        with self.opened() as (members, open_member):
            plan = self.planned(members)
            self.check_space(plan)
            try:
                with self.staging() as root:
                    self.unpack(plan, open_member, root)
                    self.move_into_place(root)
            except OSError as e:
                raise self.failed(e) from e
        return len(members)

    @contextlib.contextmanager
    def opened(self):
        """(the members in archive order, a function opening a member's data)."""
        path = self.file_path
        if not os.path.exists(path):
            raise BundleError(f"找不到压缩包：{path}")
        if os.path.isdir(path):
            raise BundleError(f"{path} 是目录，不是 tar 或 zip 压缩包")
        with contextlib.ExitStack() as stack:
            try:
                if tarfile.is_tarfile(path):
                    tar = stack.enter_context(tarfile.open(path))
                    members, open_member = [_tar_member(m) for m in tar.getmembers()], tar.extractfile
                elif zipfile.is_zipfile(path):
                    zf = stack.enter_context(zipfile.ZipFile(path))
                    members, open_member = [_zip_member(i) for i in zf.infolist()], zf.open
                else:
                    raise BundleError(f"{path} 不是 tar 或 zip 压缩包")
            except (OSError, *_READ_ERRORS) as e:
                raise BundleError(f"压缩包 {path} 已损坏或无法读取：{getattr(e, 'strerror', None) or e}") from e
            yield members, open_member

    def planned(self, members):
        """(path parts, member) for each member to unpack, in archive order."""
        kinds = {}  # parts -> "dir" or "file", as the members so far make them
        plan = []
        for m in members:
            parts, why = (None, m.why) if m.why else _name_parts(m.name)
            if parts == () and m.kind == "dir":
                continue  # the target itself
            if parts == ():
                why = "的名称为空"
            for i in range(1, len(parts or ())):
                if kinds.setdefault(parts[:i], "dir") != "dir":
                    why = f"位于压缩包中的文件 {_quoted('/'.join(parts[:i]))} 之下"
                    break
            if why is None and kinds.setdefault(parts, m.kind) != m.kind:
                why = "与压缩包中同名的" + ("文件" if m.kind == "dir" else "目录") + "冲突"
            if why:
                raise self.refused(f"其中的 {_quoted(m.name)} {why}")
            plan.append((parts, m))
        return plan

    def check_space(self, plan):
        need = sum(m.size for _, m in plan if m.kind == "file")
        where = self.target
        while not os.path.exists(where):
            where = os.path.dirname(where)
        free = shutil.disk_usage(where).free
        if need > free:
            raise self.refused(f"解压后共 {need:,} 字节，{where} 所在的磁盘只有 {free:,} 字节可用")

    @contextlib.contextmanager
    def staging(self):
        """A folder beside the target, removed afterwards; the directories made
        for it are removed again when the target did not come into being."""
        parent = os.path.dirname(self.target)
        made = []
        p = parent
        while not os.path.lexists(p):
            made.append(p)
            p = os.path.dirname(p)
        os.makedirs(parent, exist_ok=True)
        tmp = tempfile.mkdtemp(prefix=f".{os.path.basename(self.target)}.unpacking-", dir=parent)
        try:
            # mkdtemp's folder is private; this one has the usual permissions,
            # since it becomes the target when there is none.
            root = os.path.join(tmp, "root")
            os.mkdir(root)
            yield root
        finally:
            if not self.keep_staging:
                shutil.rmtree(tmp, ignore_errors=True)
            if not os.path.lexists(self.target):
                for p in made:
                    try:
                        os.rmdir(p)
                    except OSError:
                        break

    def unpack(self, plan, open_member, root):
        for parts, m in plan:
            path = os.path.join(root, *parts)
            try:
                if m.kind == "dir":
                    os.makedirs(path, exist_ok=True)
                else:
                    os.makedirs(os.path.dirname(path), exist_ok=True)
                    with open_member(m.source) as src:
                        _write(src, path, m.size)
            except OSError as e:
                raise self.failed(f"写入其中的 {_quoted(m.name)} 时出错：{e.strerror or e}") from e
            except _READ_ERRORS as e:
                raise self.failed(f"其中的 {_quoted(m.name)} 已损坏：{e}") from e

    def move_into_place(self, root):
        if not os.path.lexists(self.target):
            os.rename(root, self.target)
            return
        moves = []
        self.plan_moves(root, self.target, moves)
        # A file that a move replaces is first set aside in the staging folder, so that a failure midway can
        # put every path back as it was.
        aside = os.path.join(os.path.dirname(root), "replaced")
        os.mkdir(aside)
        done = []  # (from, to) of each rename made, in order
        for i, (src, dst) in enumerate(moves):
            try:
                if os.path.lexists(dst):
                    kept = os.path.join(aside, str(i))
                    os.rename(dst, kept)
                    done.append((dst, kept))
                os.rename(src, dst)
                done.append((src, dst))
            except OSError as e:
                why = f"移入 {dst} 时出错：{e.strerror or e}"
                left = self.undo(done)
                if not left:
                    raise self.failed(why + "，已移入的各项均已还原") from e
                raise self.partly_moved(why, left, aside) from e

    def undo(self, done):
        """Renames back what was moved, last first; the target's paths left changed, in move order. A
        replaced file's path is as it was when its original went back, whatever became of the new one."""
        restored = {}
        for frm, to in reversed(done):
            path = to if to.startswith(self.target + os.sep) else frm
            try:
                os.rename(to, frm)
                restored[path] = True
            except OSError:
                restored[path] = False
        return [p for p in dict.fromkeys(to if to.startswith(self.target + os.sep) else frm for frm, to in done)
                if not restored[p]]

    def partly_moved(self, why, left, aside):
        """The target could not be put back whole: what is changed, and where the files it replaced wait
        (the staging folder then stays)."""
        self.keep_staging = True
        shown = "、".join(_quoted(os.path.relpath(p, self.target)) for p in left[:5])
        more = f" 等 {len(left)} 项" if len(left) > 5 else ""
        kept = f"；被替换的原文件保存在 {aside}" if os.listdir(aside) else ""
        return BundleError(f"解压 {self.file_path} 失败：{why}；{self.shown} 中的 {shown}{more} 已改动且未能还原{kept}")

    def plan_moves(self, src_dir, dst_dir, moves):
        """Appends (unpacked path, its place in the target) for each path to
        move; refuses, before anything moves, a path that would replace or pass
        through something of another kind (a link above all)."""
        if not os.access(dst_dir, os.W_OK | os.X_OK):
            raise self.refused(f"没有写入 {dst_dir} 的权限")
        for name in sorted(os.listdir(src_dir)):
            src, dst = os.path.join(src_dir, name), os.path.join(dst_dir, name)
            try:
                st = os.lstat(dst)
            except FileNotFoundError:
                moves.append((src, dst))
                continue
            kind = "目录" if os.path.isdir(src) else "文件"
            if kind != _kind(st):
                raise self.refused(f"{dst} 已存在，是{_kind(st)}，而压缩包中的是{kind}")
            if kind == "目录":
                self.plan_moves(src, dst, moves)
            else:
                moves.append((src, dst))


def _write(src, path, size):
    # No link is ever made in the staging folder; O_NOFOLLOW keeps it so for this file.
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW | os.O_CLOEXEC, 0o666)
    with open(fd, "wb") as dst:
        written = 0
        while chunk := src.read(_CHUNK):
            written += len(chunk)
            if written > size:
                raise _Oversized(f"数据比声明的 {size:,} 字节多")
            dst.write(chunk)


def download_simple_bundle(data_bundle_path, sample=False, file_path=None):
    """Installs the sample bundle.

    With file_path: unpacks that tar or zip archive into data_bundle_path and
    returns True. A refused member or archive, or a failure, raises
    BundleError (one line, exit status 1 from the command) and leaves the
    directory as it was: a move into an existing directory that fails midway
    puts back what it had moved. Should that fail too, the line names what is
    changed and where the files it replaced were kept. Without file_path:
    says that no sample can be downloaded offline and returns False.
    """
    if file_path is None:
        click.echo("离线环境无法下载样例数据，请用 -f 指定已下载的压缩包")
        return False
    count = _Unpacking(file_path, data_bundle_path).run()
    _echo(f"已将 {file_path} 中的 {count} 项解压到 {data_bundle_path}")
    return True
