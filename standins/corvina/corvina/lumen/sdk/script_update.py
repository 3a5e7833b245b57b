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


def _write_atomic(path, text):
    directory = os.path.dirname(path)
    fd, tmp = tempfile.mkstemp(prefix="." + ENV_FILE + ".", dir=directory)  # created 0600
    try:
        with os.fdopen(fd, "w", encoding="utf-8", errors="surrogateescape") as f:
            f.write(text)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(tmp)
        raise
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


def _source_once(rc_path):
    try:
        with open(rc_path, "rb") as f:
            content = f.read()
    except FileNotFoundError:
        content = b""
    if SOURCE_LINE.encode() in content.splitlines():
        return
    sep = b"\n" if content and not content.endswith(b"\n") else b""
    with open(rc_path, "ab") as f:
        f.write(sep + b"# corvina: variables set by `corvina license`\n" + SOURCE_LINE.encode() + b"\n")


def update_bash_file(variables, value):
    """Records ``export NAME=VALUE`` for each name (a name or a list of names).

    A name that is not a shell identifier, a value that is not a str, or one
    holding a NUL character is rejected before anything is written. Returns
    the path of the file written.
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
    path = env_file_path()
    directory = os.path.dirname(path)
    os.makedirs(directory, mode=0o700, exist_ok=True)
    with _locked(directory):
        try:
            with open(path, encoding="utf-8", errors="surrogateescape") as f:
                old = f.readlines()
        except FileNotFoundError:
            old = [_HEADER]
        _write_atomic(path, _with_exports(old, names, value))

    _source_once(os.path.join(home, ".bashrc"))
    zshrc = os.path.join(home, ".zshrc")
    if os.path.exists(zshrc):
        _source_once(zshrc)
    return path
