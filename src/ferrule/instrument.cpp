#include "ferrule/instrument.hpp"

#include <cstddef>
#include <cstring>

namespace ferrule {

namespace {

// a + "." + b for two exact strings, in one allocation.
glue::Ref join(PyObject* a, PyObject* b) {
    Py_ssize_t na = PyUnicode_GET_LENGTH(a), nb = PyUnicode_GET_LENGTH(b);
    Py_UCS4 maxchar = PyUnicode_MAX_CHAR_VALUE(a);
    if (PyUnicode_MAX_CHAR_VALUE(b) > maxchar) maxchar = PyUnicode_MAX_CHAR_VALUE(b);
    glue::Ref out = glue::Ref::steal(PyUnicode_New(na + 1 + nb, maxchar));
    if (!out) return glue::Ref();
    if (maxchar < 128) {  // the usual case: codes and suffixes are ASCII
        char* p = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(out.get()));
        std::memcpy(p, PyUnicode_1BYTE_DATA(a), static_cast<std::size_t>(na));
        p[na] = '.';
        std::memcpy(p + na + 1, PyUnicode_1BYTE_DATA(b), static_cast<std::size_t>(nb));
        return out;
    }
    if (PyUnicode_CopyCharacters(out.get(), 0, a, 0, na) < 0) return glue::Ref();
    PyUnicode_WRITE(PyUnicode_KIND(out.get()), PyUnicode_DATA(out.get()), na, '.');
    if (PyUnicode_CopyCharacters(out.get(), na + 1, b, 0, nb) < 0) return glue::Ref();
    return out;
}

}  // namespace

namespace detail {

glue::Ref finish_market_code(glue::Ref head, bool bare, PyObject* suffix) {
    if (bare && PyUnicode_CheckExact(suffix)) return join(head.get(), suffix);
    if (bare) head = glue::Ref::steal(PyNumber_Add(head.get(), k_dot));
    return head ? glue::Ref::steal(PyNumber_Add(head.get(), suffix)) : glue::Ref();
}

}  // namespace detail

}  // namespace ferrule
