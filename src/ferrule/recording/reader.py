"""Reads the recordings that `ferrule.start_recording` writes, record by record.

    from corvina.lumen.utils import ferrule_recording
    with ferrule_recording.open("day.rec") as rec:
        print(rec.meta)
        for r in rec:
            print(r.name, r.wall_ns, r.args)

The file: a header (magic b"CORVREC\\n", u16 version, u16 flags, u32 n, n bytes
of JSON, u32 crc32 of the JSON), then blocks, each compressed on its own
(b"CVBK", u32 raw size, u32 packed size, u32 records, u32 crc32 of the packed
bytes, the packed bytes: a zlib stream). A record: u32 size of the rest, u8
callback (index into the header's "callbacks"; 255 is a mark), u8 flags
(1 nested: replaying the outer call repeats it; 2 clock: the bridge's clock
follows), i64 monotonic ns, i64 wall-clock ns since 1970, [the clock value],
u8 n, n argument values. Values are a tag byte and a payload; see
src/ferrule/recording/format.hpp for the table. All integers little-endian.

An unknown version or a cut-short header raises RecordingError; a file cut
short (or damaged) after the header is read up to its last whole block, with
a RecordingWarning.
"""
import collections
import datetime as _dt
import json
import struct
import warnings
import zlib

__all__ = ["open", "Recording", "Record", "Raised", "EnumValue", "Other", "RecordingError", "RecordingWarning",
           "MARK", "NESTED", "CLOCK", "VERSION"]

MAGIC = b"CORVREC\n"
BLOCK_MAGIC = b"CVBK"
VERSION = 1
MARK = 255
NESTED, CLOCK = 1, 2

_HEAD = struct.Struct("<8sHHI")
_BLOCK = struct.Struct("<4sIIII")
_RECORD = struct.Struct("<IBBqq")
_U8, _U16, _U32 = struct.Struct("<B"), struct.Struct("<H"), struct.Struct("<I")
_I64, _F64 = struct.Struct("<q"), struct.Struct("<d")
_DATETIME = struct.Struct("<iBBBBBIBi")
_DATE = struct.Struct("<iBB")
_NAIVE = -2 ** 31
# Value tags, numbered as in format.hpp.
(_T_NONE, _T_FALSE, _T_TRUE, _T_INT, _T_BIGINT, _T_FLOAT, _T_STR, _T_BYTES, _T_LIST, _T_TUPLE, _T_DICT, _T_FLOATS,
 _T_INTS, _T_ENUM, _T_DATETIME, _T_DATE, _T_OTHER, _T_MESSAGE, _T_RAISED) = range(19)


class RecordingError(Exception):
    """The file is not a recording this reader can read."""


class RecordingWarning(UserWarning):
    """The file ends (or is damaged) before its last block: the records up to there are read."""


Record = collections.namedtuple("Record", "callback name nested monotonic_ns wall_ns clock args")
Record.__doc__ = """One call: callback number and name ("mark" for a mark), nested, the two times, the bridge's
clock as the call began (or None), and the arguments (a message is a dict of its fields)."""
Raised = collections.namedtuple("Raised", "type text")
Raised.__doc__ = "What the recorder found when reading a value raised: the exception's type and text."
EnumValue = collections.namedtuple("EnumValue", "cls value")
EnumValue.__doc__ = "An enumeration member: its class ('module.Qualname') and value."
Other = collections.namedtuple("Other", "type value")
Other.__doc__ = "A value of another type: its type ('module.Qualname') and its number, text or str()."


def open(path):  # noqa: A001 - the module's one entry point reads like the builtin
    """A Recording of the file at path (a context manager)."""
    return Recording(path)


class Recording:
    """The header (version, header, meta, callbacks) and the records of one file."""

    def __init__(self, path):
        self.path = path
        self._file = _open_file(path, "rb")
        try:
            self.header = self._read_header()
        except BaseException:
            self._file.close()
            raise
        self.version = self.header.get("version", VERSION)
        self.meta = self.header.get("meta")
        self.callbacks = [c["name"] for c in self.header.get("callbacks", [])]
        self.records_read = 0

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        self._file.close()

    def name(self, callback):
        if callback == MARK:
            return "mark"
        return self.callbacks[callback] if callback < len(self.callbacks) else f"callback {callback}"

    def _read_header(self):
        head = self._file.read(_HEAD.size)
        if not MAGIC.startswith(head[:8]):
            raise RecordingError(f"{self.path}: not a ferrule recording")
        if len(head) < _HEAD.size:
            raise RecordingError(f"{self.path}: truncated header ({len(head)} of {_HEAD.size} bytes)")
        _, version, _, n = _HEAD.unpack(head)
        if version != VERSION:
            raise RecordingError(f"{self.path}: unknown recording version {version} (this reader knows {VERSION})")
        body = self._file.read(n + 4)
        if len(body) < n + 4:
            raise RecordingError(f"{self.path}: truncated header ({_HEAD.size + len(body)} of "
                                 f"{_HEAD.size + n + 4} bytes)")
        text, crc = body[:n], _U32.unpack_from(body, n)[0]
        if zlib.crc32(text) != crc:
            raise RecordingError(f"{self.path}: damaged header (checksum)")
        return json.loads(text)

    def blocks(self):
        """Each block's records, uncompressed, as (bytes, number of records)."""
        while True:
            at = self._file.tell()
            head = self._file.read(_BLOCK.size)
            if not head:
                return
            if len(head) < _BLOCK.size:
                return self._stop(at, "the file ends inside a block header")
            magic, raw_size, packed_size, count, crc = _BLOCK.unpack(head)
            if magic != BLOCK_MAGIC:
                return self._stop(at, "no block starts there")
            packed = self._file.read(packed_size)
            if len(packed) < packed_size:
                return self._stop(at, "the file ends inside a block")
            if zlib.crc32(packed) != crc:
                return self._stop(at, "a damaged block (checksum)")
            try:
                raw = zlib.decompress(packed)
            except zlib.error as e:
                return self._stop(at, f"a block that does not decompress ({e})")
            if len(raw) != raw_size:
                return self._stop(at, "a block of the wrong size")
            yield raw, count

    def _stop(self, at, why):
        warnings.warn(f"{self.path}: {why} at byte {at}; read up to the last whole record "
                      f"({self.records_read:,} records)", RecordingWarning, stacklevel=3)

    def __iter__(self):
        schema = [[_arg_fields(a) for a in c.get("args", [])] for c in self.header.get("callbacks", [])]
        for raw, count in self.blocks():
            for record in _records(raw, schema, self.name):
                yield record
            self.records_read += count


def _open_file(path, mode):
    import builtins
    return builtins.open(path, mode)


def _arg_fields(arg):
    return tuple(arg["fields"]) if "fields" in arg else None


def _records(raw, schema, name):
    view = memoryview(raw)
    at, end = 0, len(raw)
    while at < end:
        if end - at < _RECORD.size:
            raise RecordingError("a block ends inside a record")
        size, callback, flags, mono, wall = _RECORD.unpack_from(view, at)
        stop = at + 4 + size
        if stop > end or stop < at + _RECORD.size:
            raise RecordingError(f"a record of callback {callback} does not fit its block")
        r = _Reader(view, at + _RECORD.size, stop)
        clock = r.value() if flags & CLOCK else None
        n = r.u8()
        fields = schema[callback] if callback < len(schema) else []
        args = tuple(r.value(fields[i] if i < len(fields) else None) for i in range(n))
        if r.at != stop:
            raise RecordingError(f"a record of callback {callback} is longer than its values")
        yield Record(callback, name(callback), bool(flags & NESTED), mono, wall, clock, args)
        at = stop


class _Reader:
    def __init__(self, view, at, end):
        self.view, self.at, self.end = view, at, end

    def _take(self, s):
        if self.at + s.size > self.end:
            raise RecordingError("a record ends inside a value")
        v = s.unpack_from(self.view, self.at)
        self.at += s.size
        return v

    def u8(self):
        return self._take(_U8)[0]

    def _bytes(self, length):
        (n,) = self._take(length)
        if self.at + n > self.end:
            raise RecordingError("a record ends inside a value")
        b = bytes(self.view[self.at:self.at + n])
        self.at += n
        return b

    def _text(self, length=_U32):
        return self._bytes(length).decode("utf-8", "surrogatepass")

    def value(self, fields=None):
        tag = self.u8()
        if tag == _T_NONE:
            return None
        if tag in (_T_FALSE, _T_TRUE):
            return tag == _T_TRUE
        if tag == _T_INT:
            return self._take(_I64)[0]
        if tag == _T_BIGINT:
            return int(self._text())
        if tag == _T_FLOAT:
            return self._take(_F64)[0]
        if tag == _T_STR:
            return self._text()
        if tag == _T_BYTES:
            return self._bytes(_U32)
        if tag in (_T_LIST, _T_TUPLE):
            (n,) = self._take(_U32)
            items = [self.value(fields) for _ in range(n)]
            return items if tag == _T_LIST else tuple(items)
        if tag == _T_DICT:
            (n,) = self._take(_U32)
            return {self.value(): self.value() for _ in range(n)}
        if tag in (_T_FLOATS, _T_INTS):
            (n,) = self._take(_U32)
            if self.at + 8 * n > self.end:
                raise RecordingError("a record ends inside a value")
            s = struct.Struct(f"<{n}{'d' if tag == _T_FLOATS else 'q'}")
            return list(self._take(s))
        if tag == _T_ENUM:
            cls = self._text(_U16)
            return EnumValue(cls, self.value())
        if tag == _T_DATETIME:
            y, mo, d, h, mi, s, us, fold, offset = self._take(_DATETIME)
            tz = None if offset == _NAIVE else _dt.timezone(_dt.timedelta(seconds=offset))
            return _dt.datetime(y, mo, d, h, mi, s, us, tzinfo=tz, fold=fold)
        if tag == _T_DATE:
            return _dt.date(*self._take(_DATE))
        if tag == _T_OTHER:
            type_name = self._text(_U16)
            return Other(type_name, self.value())
        if tag == _T_MESSAGE:
            n = self.u8()
            values = [self.value() for _ in range(n)]
            if fields is None or len(fields) != n:
                return tuple(values)
            return dict(zip(fields, values))
        if tag == _T_RAISED:
            type_name = self._text(_U16)
            return Raised(type_name, self._text())
        raise RecordingError(f"unknown value tag {tag}")
