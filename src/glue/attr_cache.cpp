#include "glue/attr_cache.hpp"

#include <type_traits>
#include <utility>

namespace glue {

static_assert(std::is_trivially_destructible<AttrReader>::value,
              "readers are statics: nothing of theirs may run after the interpreter is finalized");

AttrReader::AttrReader(std::initializer_list<const Name*> names, Objects objects) noexcept : objects_(objects) {
    for (const Name* n : names)
        if (n_ < kMaxNames) names_[n_++] = n;
}

const AttrReader::Way* AttrReader::resolve(PyTypeObject* tp) {
    Way& w = ways_[next_];
    next_ = (next_ + 1) % kWays;
    // What the way held is let go only once it is consistent again: a release
    // may run code that comes back here.
    PyObject* old[2 * kMaxNames + 1] = {reinterpret_cast<PyObject*>(w.type)};
    for (std::size_t i = 0; i < kMaxNames; ++i) {
        old[1 + i] = w.get[i];
        old[1 + kMaxNames + i] = w.set[i];
        w.get[i] = w.set[i] = nullptr;
        w.slot[i] = 0;
        w.in_dict[i] = false;
        w.hint[i] = 0;
        w.relearned[i] = 0;
    }
    w.dict_writes = false;
    w.type = reinterpret_cast<PyTypeObject*>(Py_NewRef(reinterpret_cast<PyObject*>(tp)));
    // Armed first, so that a change made while looking up disarms it. A type
    // with lookup hooks of its own is remembered with everything generic.
    if (w.guard.arm(tp) && tp->tp_getattro == PyObject_GenericGetAttr) {
        bool generic_set = tp->tp_setattro == PyObject_GenericSetAttr;
        bool use_dict = has_instance_dict(tp);
        w.dict_writes = objects_ == Objects::Kept && use_dict && generic_set;
        for (std::size_t i = 0; i < n_ && w.guard.holds(tp); ++i) {
            Ref d = find_on_mro(tp, names_[i]->get());
            if (!d) {
                if (PyErr_Occurred()) {
                    PyErr_Clear();
                    w.guard.disarm();
                }
                // Defined nowhere on the class: the instance dict is all there is.
                w.in_dict[i] = use_dict;
                continue;
            }
            // Only a data descriptor wins over the instance dict without looking at it.
            // Anything else on the class (a default, a method) comes after the
            // instance dict, as long as its type cannot gain a __set__ later.
            PyTypeObject* dt = Py_TYPE(d.get());
            if (!dt->tp_descr_get || !dt->tp_descr_set) {
                bool fixed = !(dt->tp_flags & Py_TPFLAGS_HEAPTYPE) || (dt->tp_flags & Py_TPFLAGS_IMMUTABLETYPE);
                w.in_dict[i] = use_dict && fixed;
                continue;
            }
            w.get[i] = Py_NewRef(d.get());
            if (generic_set) w.set[i] = Py_NewRef(d.get());
            // What reading a `__slots__` member comes to: a load, unless it is
            // audited or of another kind.
            const PyMemberDef* m = member_of(tp, d.get());
            if (m && m->type == Py_T_OBJECT_EX && !(m->flags & (Py_AUDIT_READ | Py_RELATIVE_OFFSET)) &&
                m->offset > 0)
                w.slot[i] = m->offset;
        }
    }
    bool current = w.guard.holds(tp);
    if (!current) w.guard.disarm();
    for (PyObject* p : old) Py_XDECREF(p);
    return current && w.type == tp && w.guard.holds(tp) ? &w : nullptr;
}

AttrReader::DictRead AttrReader::get_from_dict(PyObject* obj, const Way& w, std::size_t i, PyObject* dict,
                                               bool keep) {
    if (!dict && !(dict = PyObject_GenericGetDict(obj, nullptr))) return {Ref(), nullptr};
    PyObject *key, *value;
    Py_ssize_t pos = w.hint[i];
    Ref v = pos >= 0 && PyDict_Next(dict, &pos, &key, &value) && key == names_[i]->get()
                ? Ref::borrow(value)
                : dict_miss(w, obj, i, &dict);
    if (!keep) let_go(dict);
    return {std::move(v), dict};
}

Ref AttrReader::dict_miss(const Way& w, PyObject* obj, std::size_t i, PyObject** dict) {
    PyObject* name = names_[i]->get();
    PyObject *key, *value;
    // Learned again while that pays: a small dict, and not every time.
    constexpr Py_ssize_t kScanned = 32;
    constexpr unsigned char kRelearned = 16;
    if (w.hint[i] >= 0 && w.relearned[i] < kRelearned && PyDict_GET_SIZE(*dict) <= kScanned) {
        ++w.relearned[i];
        for (Py_ssize_t pos = 0; PyDict_Next(*dict, &pos, &key, &value);) {
            if (key == name) {
                w.hint[i] = pos - 1;
                return Ref::borrow(value);
            }
        }
    } else if (w.relearned[i] >= kRelearned) {
        w.hint[i] = -1;
    }
    // A dict with keys other than str may run their __eq__ here; it is held
    // meanwhile, as the interpreter holds it.
    Ref found = Ref::borrow(PyDict_GetItemWithError(*dict, name));
    Py_CLEAR(*dict);
    if (found || PyErr_Occurred()) return found;
    return Ref::steal(PyObject_GetAttr(obj, name));
}

int AttrReader::set(PyObject* obj, std::size_t i, PyObject* value) {
    PyTypeObject* tp = Py_TYPE(obj);
    if (const Way* w = way(tp)) {
        if (w->in_dict[i] && w->dict_writes) {
            Ref dict = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
            return dict ? PyDict_SetItem(dict.get(), names_[i]->get(), value) : -1;
        }
        PyObject* d = w->set[i];
        descrsetfunc f = d ? Py_TYPE(d)->tp_descr_set : nullptr;
        if (f) {
            Ref held = Ref::borrow(d);
            return f(d, obj, value);
        }
    }
    return PyObject_SetAttr(obj, names_[i]->get(), value);
}

}  // namespace glue
