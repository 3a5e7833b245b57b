"""Records environment variables for the shells the user starts later.

The variables live in a file of their own, ``~/.corvina/env.sh`` (mode 0600,
since it holds the data-service password), one ``export NAME=VALUE`` line per
name. ``~/.bashrc``, and ``~/.zshrc`` where it exists, source that file.
``HOME`` decides where ``~`` is.
"""
import contextlib
import fcntl
import os
import re
import stat
import tempfile

ENV_DIR = ".corvina"
ENV_FILE = "env.sh"
SOURCE_LINE = '[ -f "$HOME/.corvina/env.sh" ] && . "$HOME/.corvina/env.sh"'

_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
_EXPORT = re.compile(r"export ([A-Za-z_][A-Za-z0-9_]*)=")
_HEADER = "# Written by `corvina license`; lines for the same name are replaced.\n"


def shell_quote(value):
    """The value as one shell word on one line, read back exactly by bash and zsh."""
    if not any(ord(c) < 32 or ord(c) == 127 for c in value):
        return "'" + value.replace("'", "'\\''") + "'"
    # Control characters (a newline above all) would split the line: ANSI-C quoting.
    out = []
    for c in value:
        if c in "\\'":
            out.append("\\" + c)
        elif ord(c) < 32 or ord(c) == 127:
            out.append(f"\\x{ord(c):02x}")
        else:
            out.append(c)
    return "$'" + "".join(out) + "'"


def env_file_path():
    return os.path.join(os.path.expanduser("~"), ENV_DIR, ENV_FILE)


@contextlib.contextmanager
def _locked(directory):
    # Two runs at once must not lose each other's variables.
    fd = os.open(os.path.join(directory, ".env.lock"), os.O_RDWR | os.O_CREAT, 0o600)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        yield
    finally:
        os.close(fd)


def _staged(path, data, mode):
    """A temporary file beside path holding data, synced, with the given mode."""
    fd, tmp = tempfile.mkstemp(prefix="." + os.path.basename(path) + ".", dir=os.path.dirname(path))
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fchmod(f.fileno(), mode)
            os.fsync(f.fileno())
    except BaseException:
        os.unlink(tmp)
        raise
    return tmp


def _replace_all(writes):
    """Writes (path, bytes, mode) each: all are staged before any file is
    replaced, so a failure while writing leaves every file as it was."""
    staged = []
    try:
        for path, data, mode in writes:
            staged.append((_staged(path, data, mode), path))
        for tmp, path in staged:
            os.replace(tmp, path)
    finally:
        for tmp, _ in staged:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(tmp)
    for directory in {os.path.dirname(path) for path, _, _ in writes}:
        dfd = os.open(directory, os.O_RDONLY)
        try:
            os.fsync(dfd)
        finally:
            os.close(dfd)


def _with_exports(old_lines, names, value):
    word = shell_quote(value)
    pending = {name: f"export {name}={word}\n" for name in names}
    lines = []
    for line in old_lines:
        m = _EXPORT.match(line)
        if m and m.group(1) in names:
            # The first line of a name takes the new value; later duplicates go.
            if m.group(1) in pending:
                lines.append(pending.pop(m.group(1)))
            continue
        lines.append(line if line.endswith("\n") else line + "\n")
    lines.extend(pending.values())
    return "".join(lines)


def _with_source_line(rc_path):
    """(the file to write, its new content, its mode) when the start-up file at
    rc_path does not source the variables yet; None when it does. Reading it is
    what can fail (a folder in its place, no permission): done before anything
    is written. A link is followed, so a start-up file kept elsewhere stays there."""
    path = os.path.realpath(rc_path)
    try:
        with open(path, "rb") as f:
            content = f.read()
            mode = stat.S_IMODE(os.fstat(f.fileno()).st_mode)
    except FileNotFoundError:
        content, mode = b"", 0o644
    if SOURCE_LINE.encode() in content.splitlines():
        return None
    sep = b"\n" if content and not content.endswith(b"\n") else b""
    line = sep + b"# corvina: variables set by `corvina license`\n" + SOURCE_LINE.encode() + b"\n"
    return path, content + line, mode


def update_bash_file(variables, value):
    """Records ``export NAME=VALUE`` for each name (a name or a list of names).

    A name that is not a shell identifier, a value that is not a str, or one
    holding a NUL character is rejected before anything is written, and so is
    a start-up file that cannot be read (OSError). The files are replaced only
    once all are written. Returns the path of the variables' file.
    """
    names = [variables] if isinstance(variables, str) else list(variables)
    for name in names:
        if not isinstance(name, str) or not _NAME.fullmatch(name):
            raise ValueError(f"not a valid shell variable name: {name!r}")
    if not isinstance(value, str):
        raise TypeError(f"the value must be str, not {type(value).__name__}")
    if "\0" in value:
        raise ValueError("the value cannot hold a NUL character")

    home = os.path.expanduser("~")
    rc_files = [os.path.join(home, ".bashrc")]
    if os.path.exists(os.path.join(home, ".zshrc")):
        rc_files.append(os.path.join(home, ".zshrc"))
    # Read once before anything is created (an unreadable file refuses the whole
    # login), and again under the lock, so a concurrent change is not overwritten.
    for rc in rc_files:
        _with_source_line(rc)

    path = env_file_path()
    directory = os.path.dirname(path)
    os.makedirs(directory, mode=0o700, exist_ok=True)
    with _locked(directory):
        try:
            with open(path, encoding="utf-8", errors="surrogateescape") as f:
                old = f.readlines()
        except FileNotFoundError:
            old = [_HEADER]
        text = _with_exports(old, names, value)
        rc_writes = [w for w in map(_with_source_line, rc_files) if w is not None]
        _replace_all([(path, text.encode("utf-8", "surrogateescape"), 0o600)] + rc_writes)
    return path
