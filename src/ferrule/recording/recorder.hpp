// Recording a live session at the one door every callback enters (entry.hpp):
// each call, before it runs, is encoded on the calling thread into an
// in-memory block; a thread of the recorder's own compresses and writes the
// blocks without the GIL. Off by default; the file format is documented in
// format.hpp.
#pragma once
#include <Python.h>

namespace ferrule {

// start_recording, stop_recording, is_recording, record_mark and
// decode_records (the fast reader the replayer uses).
int define_recording_functions(PyObject* module);

// stats()["recording"]: a new dict, or nullptr with the error set.
PyObject* recording_stats();

// decode_records(data, messages, resolve, memo), in decode.cpp.
PyObject* decode_records(PyObject* const* args);

}  // namespace ferrule
