// Text for an output stream that cannot encode all of it: values typed by the
// user or read from the file system need not be valid in the terminal's
// encoding, and a value that was stored must still be confirmed.
#pragma once
#include <Python.h>

#include "glue/ref.hpp"

namespace glue {

// After writing `text` raised UnicodeEncodeError: `text` with what that
// error's encoding cannot encode escaped (\xNN, \uNNNN), and the error
// cleared. Any other error, or none, is left as it was and the Ref is empty.
Ref escaped_after_encode_error(PyObject* text);

// echo(text); when the output cannot encode all of it, echo(text escaped).
// 0, or -1 with the error set.
template <class Echo>
int echo_escaping(Echo&& echo, PyObject* text) {
    if (echo(text) == 0) return 0;
    Ref shown = escaped_after_encode_error(text);
    return shown ? echo(shown.get()) : -1;
}

}  // namespace glue
