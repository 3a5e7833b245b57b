// The recording file: what the recorder writes and what the readers
// (decode.cpp; reader.py, installed as ferrule_recording) read. All
// integers little-endian. Nothing here needs Python.h.
//
//   file    = header block*
//   header  = magic "CORVREC\n" (8 bytes), u16 version (1), u16 flags (0),
//             u32 n, n bytes of UTF-8 JSON, u32 crc32 of those n bytes
//   block   = "CVBK", u32 raw size, u32 packed size, u32 records,
//             u32 crc32 of the packed bytes, packed bytes
//             (packed = zlib stream of raw; raw = record*, whole records only)
//   record  = u32 size of what follows, u8 callback, u8 flags, i64 monotonic
//             ns, i64 wall-clock ns since 1970 (UTC), [clock value], u8 n, n args
//
// Each block is compressed on its own, so a reader can stop at any block and
// a file cut short by a crash is readable up to its last whole block.
// The JSON names the callbacks by number ("callbacks": list index = callback
// byte; 255 is a mark) and, for each, its arguments: a plain value, or a
// message given as its type ("message") and its fields in the order recorded
// ("fields"); "list" marks a list of such messages, "of_self" one read from
// self.config.base. "meta" is what the caller of start_recording gave.
// Record flags: kNested, the call came from inside another method and
// replaying the outer one repeats it; kClock, the bridge's clock
// (`datetime.now()` through the module) as the call began follows the two
// times, for the callbacks that read it.
//
// Values, a tag byte then its payload:
//   NONE FALSE TRUE; INT i64; BIGINT u32 n + decimal text; FLOAT f64;
//   STR u32 n + UTF-8 (lone surrogates kept); BYTES u32 n + bytes;
//   LIST / TUPLE u32 n + n values; DICT u32 n + n (key, value);
//   FLOATS / INTS u32 n + n f64 / i64 (a list of exact floats / ints);
//   ENUM str16 class ("module.Qualname") + the member's value;
//   DATETIME i32 year, u8 month, day, hour, minute, second, u32 microsecond,
//     u8 fold, i32 UTC offset in seconds (kNaive: none);
//   DATE i32 year, u8 month, u8 day;
//   OTHER str16 type ("module.Qualname") + a value: the number or text of an
//     int, float or str subclass, else str(obj) (RAISED if that raises);
//   MESSAGE u8 n + n values (a message's fields, in the schema's order);
//   RAISED str16 exception type + u32 n + UTF-8 text: reading it raised (or
//     it was nested more than 32 deep: RecursionError).
//   str16 = u16 n + UTF-8.
#pragma once
#include <cstddef>
#include <cstdint>

namespace ferrule::recording {

constexpr char kMagic[8] = {'C', 'O', 'R', 'V', 'R', 'E', 'C', '\n'};
constexpr std::uint16_t kVersion = 1;
constexpr char kBlockMagic[4] = {'C', 'V', 'B', 'K'};
constexpr std::size_t kBlockHeaderSize = 20;

constexpr std::uint8_t kMarkCallback = 255;
constexpr std::uint8_t kNested = 1;
constexpr std::uint8_t kClock = 2;

enum Tag : std::uint8_t {
    NONE = 0, FALSE_ = 1, TRUE_ = 2, INT = 3, BIGINT = 4, FLOAT = 5, STR = 6, BYTES = 7,
    LIST = 8, TUPLE = 9, DICT = 10, FLOATS = 11, INTS = 12, ENUM = 13, DATETIME = 14, DATE = 15,
    OTHER = 16, MESSAGE = 17, RAISED = 18,
};

constexpr std::int32_t kNaive = INT32_MIN;

}  // namespace ferrule::recording
