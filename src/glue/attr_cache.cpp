#include "glue/attr_cache.hpp"

namespace glue {

namespace {

// The offset of a plain __slots__ slot that `descr` (found on tp's MRO) reads,
// or 0 when reading it takes anything more than a load.
Py_ssize_t slot_offset(PyTypeObject* tp, PyObject* descr) {
    if (!descr || !Py_IS_TYPE(descr, &PyMemberDescr_Type)) return 0;
    PyMemberDef* m = reinterpret_cast<PyMemberDescrObject*>(descr)->d_member;
    if (m->type != Py_T_OBJECT_EX || (m->flags & (Py_AUDIT_READ | Py_RELATIVE_OFFSET)) || m->offset <= 0) return 0;
    // A descriptor borrowed from an unrelated class raises on read: leave that to the interpreter.
    if (!PyType_IsSubtype(tp, PyDescr_TYPE(descr))) return 0;
    return m->offset;
}

unsigned int valid_tag(PyTypeObject* tp) {
    return (tp->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? tp->tp_version_tag : 0;
}

}  // namespace

AttrReader::AttrReader(std::initializer_list<const Name*> names) noexcept {
    for (const Name* n : names)
        if (n_ < kMaxNames) names_[n_++] = n;
}

const AttrReader::Way* AttrReader::resolve(PyTypeObject* tp) {
    // __getattribute__ or __getattr__ of its own: every read goes through it.
    if (tp->tp_getattro != PyObject_GenericGetAttr || n_ == 0) return nullptr;
    // The first look-up gives the type a tag if it has none.
    PyObject* descr = _PyType_Lookup(tp, names_[0]->get());
    unsigned int tag = valid_tag(tp);
    if (tag == 0) return nullptr;
    bool has_dict = (tp->tp_flags & Py_TPFLAGS_MANAGED_DICT) || tp->tp_dictoffset != 0;
    Way w;
    w.tag = tag;
    w.dict_writes = tp->tp_setattro == PyObject_GenericSetAttr;
    for (std::size_t i = 0; i < n_; ++i) {
        if (i > 0) descr = _PyType_Lookup(tp, names_[i]->get());
        w.offsets[i] = !descr && has_dict ? kInstanceDict : slot_offset(tp, descr);
    }
    // A look-up can run a key's __eq__; if that changed the class, trust nothing.
    if (valid_tag(tp) != tag) return nullptr;
    for (std::size_t k = kWays - 1; k > 0; --k) ways_[k] = ways_[k - 1];
    ways_[0] = w;
    return &ways_[0];
}

// As the generic lookup does for a name its class does not define: the
// instance dict, and AttributeError (the interpreter's) when it is not there.
Ref AttrReader::get_from_dict(PyObject* obj, std::size_t i) {
    PyObject** slot = _PyObject_GetDictPtr(obj);
    if (slot && *slot) {
        Ref dict = Ref::borrow(*slot);  // a key's __eq__ could replace obj.__dict__
        PyObject* v = PyDict_GetItemWithError(dict.get(), names_[i]->get());
        if (v) return Ref::borrow(v);
        if (PyErr_Occurred()) return Ref();
    }
    return Ref::steal(PyObject_GetAttr(obj, names_[i]->get()));
}

int AttrReader::set(PyObject* obj, std::size_t i, PyObject* value) {
    const Way* w = way(Py_TYPE(obj));
    if (w && w->dict_writes && w->offsets[i] == kInstanceDict) {
        PyObject** slot = _PyObject_GetDictPtr(obj);
        if (slot && *slot) {
            Ref dict = Ref::borrow(*slot);
            return PyDict_SetItem(dict.get(), names_[i]->get(), value);
        }
    }
    return PyObject_SetAttr(obj, names_[i]->get(), value);
}

}  // namespace glue
