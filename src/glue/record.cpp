#include "glue/record.hpp"

#include <cstdint>

namespace glue {

namespace {

// The key table of a dict as CPython 3.12 lays it out (Include/internal/pycore_dict.h).
struct DictKeys {
    Py_ssize_t dk_refcnt;
    std::uint8_t dk_log2_size;
    std::uint8_t dk_log2_index_bytes;
    std::uint8_t dk_kind;
    std::uint32_t dk_version;
    Py_ssize_t dk_usable;
    Py_ssize_t dk_nentries;
    char dk_indices[1];
};
struct UnicodeEntry {
    PyObject* me_key;
    PyObject* me_value;
};
constexpr std::uint8_t kUnicodeKeys = 1;

UnicodeEntry* entries_of(PyObject* dict) {
    auto* mp = reinterpret_cast<PyDictObject*>(dict);
    if (mp->ma_values) return nullptr;  // split table
    auto* dk = reinterpret_cast<DictKeys*>(mp->ma_keys);
    if (dk->dk_kind != kUnicodeKeys) return nullptr;
    char* indices = dk->dk_indices;
    return reinterpret_cast<UnicodeEntry*>(indices + (std::size_t{1} << dk->dk_log2_index_bytes));
}

Py_ssize_t entry_count(PyObject* dict) {
    return reinterpret_cast<DictKeys*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys)->dk_nentries;
}

}  // namespace

RecordBuilder::RecordBuilder(std::initializer_list<const Name*> keys) noexcept {
    for (const Name* k : keys)
        if (n_ < kMaxKeys) keys_[n_++] = k;
}

Ref RecordBuilder::build_by_insert(PyObject* const* values) const {
    Ref d = Ref::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(n_)));
    if (!d) return Ref();
    for (std::size_t i = 0; i < n_; ++i)
        if (PyDict_SetItem(d.get(), keys_[i]->get(), values[i]) < 0) return Ref();
    return d;
}

// The template {key: None, ...}, kept only if a copy of it has the layout
// that build() writes into: every key in its entry, in order, valued None.
bool RecordBuilder::make_template() {
    // Grown from empty, not presized: only then is its table of the str-keys kind.
    Ref t = Ref::steal(PyDict_New());
    if (!t) return false;
    for (std::size_t i = 0; i < n_; ++i)
        if (PyDict_SetItem(t.get(), keys_[i]->get(), Py_None) < 0) return false;
    Ref copy = Ref::steal(PyDict_Copy(t.get()));
    if (!copy) return false;
    UnicodeEntry* e = entries_of(copy.get());
    bool ok = e && entry_count(copy.get()) == static_cast<Py_ssize_t>(n_) &&
              PyDict_GET_SIZE(copy.get()) == static_cast<Py_ssize_t>(n_);
    for (std::size_t i = 0; ok && i < n_; ++i) ok = e[i].me_key == keys_[i]->get() && e[i].me_value == Py_None;
    if (ok) template_ = t.release();
    return ok;
}

Ref RecordBuilder::build(PyObject* const* values) {
    if (mode_ == Mode::Unknown) {
        if (make_template()) {
            mode_ = Mode::Clone;
        } else {
            if (PyErr_Occurred()) return Ref();
            mode_ = Mode::Insert;
        }
    }
    if (mode_ == Mode::Insert) return build_by_insert(values);
    Ref d = Ref::steal(PyDict_Copy(template_));
    if (!d) return Ref();
    UnicodeEntry* e = entries_of(d.get());
    if (!e || entry_count(d.get()) != static_cast<Py_ssize_t>(n_)) return build_by_insert(values);
    for (std::size_t i = 0; i < n_; ++i) {
        PyObject* old = e[i].me_value;
        e[i].me_value = Py_NewRef(values[i]);
        Py_DECREF(old);
    }
    // The copy of an all-None template is not tracked; its new values may be containers.
    if (!PyObject_GC_IsTracked(d.get())) PyObject_GC_Track(d.get());
    return d;
}

}  // namespace glue
