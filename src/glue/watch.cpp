#include "glue/watch.hpp"

#include <cstring>
#include <type_traits>

namespace glue {

static_assert(std::is_trivially_destructible<TypeGuard>::value, "guards are statics that outlive the interpreter");
static_assert(std::is_trivially_destructible<DictGuard>::value, "guards are statics that outlive the interpreter");

namespace {

// Every guard of this module, linked at static-initialisation time.
TypeGuard* g_type_guards = nullptr;
DictGuard* g_dict_guards = nullptr;

// -1: not registered yet; -2: the interpreter has none left (caches stay off).
int g_type_watcher = -1;
int g_dict_watcher = -1;

}  // namespace

// The callbacks only flip flags: they run inside the interpreter's own
// changes, so they must neither call into Python nor set an error.
int on_type_modified(PyTypeObject* tp) {
    for (TypeGuard* g = g_type_guards; g; g = g->next_)
        if (g->type_ == tp) g->armed_ = false;
    return 0;
}

namespace {

// Whether a change of `key` can change what `name` is bound to. Keys that
// are not exact str could compare equal to it in ways we cannot tell here.
bool same_name(PyObject* key, PyObject* name) {
    if (key == name) return true;
    if (!PyUnicode_CheckExact(key)) return true;
    return PyUnicode_Compare(key, name) == 0;
}

}  // namespace

int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject*) {
    bool whole = event == PyDict_EVENT_CLONED || event == PyDict_EVENT_CLEARED ||
                 event == PyDict_EVENT_DEALLOCATED || !key;
    for (DictGuard* g = g_dict_guards; g; g = g->next_) {
        if (!g->armed_ || (g->globals_ != dict && g->builtins_ != dict)) continue;
        if (whole || same_name(key, g->name_)) g->armed_ = false;
    }
    return 0;
}

namespace {

int type_watcher() {
    if (g_type_watcher == -1) {
        g_type_watcher = PyType_AddWatcher(on_type_modified);
        if (g_type_watcher < 0) {
            PyErr_Clear();
            g_type_watcher = -2;
        }
    }
    return g_type_watcher;
}

int dict_watcher() {
    if (g_dict_watcher == -1) {
        g_dict_watcher = PyDict_AddWatcher(on_dict_event);
        if (g_dict_watcher < 0) {
            PyErr_Clear();
            g_dict_watcher = -2;
        }
    }
    return g_dict_watcher;
}

}  // namespace

TypeGuard::TypeGuard() noexcept : next_(g_type_guards) { g_type_guards = this; }

bool TypeGuard::arm(PyTypeObject* tp) noexcept {
    armed_ = false;
    type_ = tp;
    int id = type_watcher();
    if (id < 0) return false;
    if (PyType_Watch(id, reinterpret_cast<PyObject*>(tp)) < 0) {
        PyErr_Clear();
        return false;
    }
    // The interpreter reports a change only of a type that has a version tag;
    // one that cannot get a tag any more cannot be trusted.
    if (!PyUnstable_Type_AssignVersionTag(tp)) return false;
    armed_ = true;
    return true;
}

DictGuard::DictGuard() noexcept : next_(g_dict_guards) { g_dict_guards = this; }

bool DictGuard::arm(PyObject* globals, PyObject* builtins, PyObject* name) noexcept {
    armed_ = false;
    globals_ = globals;
    builtins_ = builtins;
    name_ = name;
    int id = dict_watcher();
    if (id < 0) return false;
    if (PyDict_Watch(id, globals) < 0 || (builtins && PyDict_Watch(id, builtins) < 0)) {
        PyErr_Clear();
        return false;
    }
    armed_ = true;
    return true;
}

Ref find_on_mro(PyTypeObject* tp, PyObject* name) {
    Ref mro = Ref::borrow(tp->tp_mro);  // held: a key's __eq__ could replace it
    if (!mro || !PyTuple_Check(mro.get())) return Ref();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro.get(), i);
        if (!PyType_Check(base)) continue;
        Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(base)));
        if (!dict) return Ref();
        PyObject* found = PyDict_GetItemWithError(dict.get(), name);
        if (found) return Ref::borrow(found);
        if (PyErr_Occurred()) return Ref();
    }
    return Ref();
}

const PyMemberDef* member_of(PyTypeObject* tp, PyObject* descr) {
    static PyObject* k_objclass = nullptr;
    static PyObject* k_name = nullptr;
    if (!k_objclass) k_objclass = PyUnicode_InternFromString("__objclass__");
    if (!k_name) k_name = PyUnicode_InternFromString("__name__");
    if (!k_objclass || !k_name) {
        PyErr_Clear();  // the interning failed: no member is found, nothing else was set
        return nullptr;
    }
    if (!Py_IS_TYPE(descr, &PyMemberDescr_Type)) return nullptr;
    Ref owner = Ref::steal(PyObject_GetAttr(descr, k_objclass));
    Ref name = Ref::steal(PyObject_GetAttr(descr, k_name));
    if (!owner || !name || !PyType_Check(owner.get()) || !PyUnicode_Check(name.get())) {
        PyErr_Clear();
        return nullptr;
    }
    auto* objclass = reinterpret_cast<PyTypeObject*>(owner.get());
    // Only then is the member's offset one of tp's instances.
    if (!PyType_IsSubtype(tp, objclass) || !objclass->tp_members) return nullptr;
    const char* text = PyUnicode_AsUTF8(name.get());
    if (!text) {
        PyErr_Clear();
        return nullptr;
    }
    const PyMemberDef* found = nullptr;
    for (const PyMemberDef* m = objclass->tp_members; m->name; ++m) {
        if (std::strcmp(m->name, text) != 0) continue;
        if (found) return nullptr;  // two of one name: which one is not certain
        found = m;
    }
    return found;
}

}  // namespace glue
