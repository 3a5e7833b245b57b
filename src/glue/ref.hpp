// Owning reference to a Python object: the one RAII type every module uses.
#pragma once
#include <Python.h>
#include <utility>

namespace glue {

class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference (or nullptr after a failed call).
    static Ref steal(PyObject* p) noexcept { Ref r; r.p_ = p; return r; }
    static Ref borrow(PyObject* p) noexcept { Py_XINCREF(p); return steal(p); }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref& operator=(Ref&& o) noexcept { std::swap(p_, o.p_); return *this; }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller (for returning to the interpreter).
    PyObject* release() noexcept { PyObject* p = p_; p_ = nullptr; return p; }
    void reset(PyObject* p = nullptr) noexcept { PyObject* old = p_; p_ = p; Py_XDECREF(old); }

private:
    PyObject* p_ = nullptr;
};

}  // namespace glue
