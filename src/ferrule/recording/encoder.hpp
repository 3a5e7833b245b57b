// What a recording holds, encoded on the calling thread with the GIL: the
// file's header (the schema of every callback) and one record per call or
// mark. The file format is documented in format.hpp.
#pragma once
#include <Python.h>

#include <cstdint>

#include "ferrule/callbacks.hpp"
#include "ferrule/recording/buffer.hpp"
#include "glue/ref.hpp"

namespace ferrule::recording {

// Clocks of a record's head, in ns.
std::int64_t monotonic_ns();
std::int64_t wall_ns();

// What the encoder needs before a recording starts (datetime's C API), and
// enum.Enum: a new reference, or empty with the error set.
glue::Ref encoder_types();
// From the start of a recording to its end, the encoder remembers the types
// it meets; enum_cls (enum.Enum, taken over) tells enumerations apart. Only
// with the GIL, when no encoder runs.
void remember_types(glue::Ref enum_cls);
void forget_types();

// The whole record of one call into b, before the callback runs; reading a
// field may run Python code, which is the callback's own business.
// wall: the call's wall-clock ns as the door read it, or 0 to read it here.
void encode_call(Bytes& b, Callback c, PyObject* const* args, bool nested, std::int64_t wall);
// A mark of the engine's own, (label, value).
void encode_mark(Bytes& b, PyObject* label, PyObject* value);

// magic, version, flags, JSON length, JSON, its crc32: bytes, or empty with
// the error set.
glue::Ref header_bytes(PyObject* meta, std::int64_t mono, std::int64_t wall);

// d[key] = v, for the dicts the recording builds: 0, or -1 with the error
// set (also when v is null, an error already set); set_steal takes v over.
int set_item(PyObject* d, const char* key, PyObject* v);
int set_steal(PyObject* d, const char* key, PyObject* v);

}  // namespace ferrule::recording
