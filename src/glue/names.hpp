// Names interned once when a module loads, declared where they are used:
//   static glue::Name k_volume{"volume"};
//   static glue::KwNames kw_tick{"calendar_dt", "trading_dt", "tick"};
// Both register themselves at static-initialisation time; glue::intern_all()
// (called from the module's init function) creates the Python objects.
#pragma once
#include <Python.h>
#include <cstddef>
#include <initializer_list>

namespace glue {

class Name {
public:
    explicit Name(const char* text) noexcept;
    // Registered by address for interning: a copy would never be interned.
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;
    operator PyObject*() const noexcept { return obj_; }
    PyObject* get() const noexcept { return obj_; }

private:
    friend int intern_all();
    const char* text_;
    PyObject* obj_ = nullptr;
    Name* next_;
};

// Keyword-name tuple for vectorcall, built once.
class KwNames {
public:
    static constexpr std::size_t kMax = 8;
    KwNames(std::initializer_list<const char*> names) noexcept;
    PyObject* tuple() const noexcept { return tuple_; }
    std::size_t size() const noexcept { return n_; }

private:
    friend int intern_all();
    const char* names_[kMax] = {};
    std::size_t n_;
    PyObject* tuple_ = nullptr;
    KwNames* next_;
};

// Interns every Name and builds every KwNames of this module. 0, or -1 with
// the error set.
int intern_all();

}  // namespace glue
