#include "glue/names.hpp"

namespace glue {

namespace {
// Built before the module's init function runs; only linked, never freed.
Name* g_names = nullptr;
KwNames* g_kwnames = nullptr;
}  // namespace

Name::Name(const char* text) noexcept : text_(text), next_(g_names) { g_names = this; }

KwNames::KwNames(std::initializer_list<const char*> names) noexcept : n_(0), next_(g_kwnames) {
    for (const char* s : names)
        if (n_ < kMax) names_[n_++] = s;
    g_kwnames = this;
}

int intern_all() {
    for (Name* n = g_names; n; n = n->next_) {
        if (n->obj_) continue;
        n->obj_ = PyUnicode_InternFromString(n->text_);
        if (!n->obj_) return -1;
    }
    for (KwNames* k = g_kwnames; k; k = k->next_) {
        if (k->tuple_) continue;
        PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(k->n_));
        if (!t) return -1;
        for (std::size_t i = 0; i < k->n_; ++i) {
            PyObject* s = PyUnicode_InternFromString(k->names_[i]);
            if (!s) {
                Py_DECREF(t);
                return -1;
            }
            PyTuple_SET_ITEM(t, static_cast<Py_ssize_t>(i), s);
        }
        k->tuple_ = t;
    }
    return 0;
}

}  // namespace glue
