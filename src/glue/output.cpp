#include "glue/output.hpp"

#include "glue/runtime.hpp"

namespace glue {

namespace {

// text.encode(encoding, encode_errors).decode(encoding, decode_errors)
Ref round_trip(PyObject* text, const char* encoding, const char* encode_errors, const char* decode_errors) {
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(text, encoding, encode_errors));
    if (!bytes) return Ref();
    return Ref::steal(
        PyUnicode_Decode(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()), encoding, decode_errors));
}

}  // namespace

Ref escaped_after_encode_error(PyObject* text) {
    if (!PyUnicode_Check(text) || !PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return Ref();
    PendingError error;
    Ref encoding = Ref::steal(PyUnicodeEncodeError_GetEncoding(error.get()));
    const char* name = encoding ? PyUnicode_AsUTF8(encoding.get()) : nullptr;
    if (!name) {
        PyErr_Clear();
        error.restore();
        return Ref();
    }
    // Bytes that came from the file system or the terminal undecoded (lone
    // surrogates) show as the bytes they were, \xff; other characters the
    // encoding lacks as \uNNNN.
    Ref shown = round_trip(text, name, "surrogateescape", "backslashreplace");
    if (!shown) {
        PyErr_Clear();
        shown = round_trip(text, name, "backslashreplace", "strict");
    }
    if (!shown) {
        // No escaped form in that encoding: the write's own error stands.
        PyErr_Clear();
        error.restore();
    }
    return shown;
}

}  // namespace glue
