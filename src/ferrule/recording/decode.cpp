// decode_records: the records of one uncompressed block straight into the
// objects a replay calls the callbacks with, so that reading a recording
// costs the replay little next to the bridge and the engine. The file
// framing (header, blocks, checksums) is read by reader.py.
#include <Python.h>
#include <datetime.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "ferrule/recording/format.hpp"
#include "ferrule/recording/recorder.hpp"
#include "glue/names.hpp"
#include "glue/ref.hpp"

namespace ferrule {

namespace {

namespace rf = recording;
using glue::Name;
using glue::Ref;

Name k_enum{"enum"};
Name k_other{"other"};
Name k_raised{"raised"};

// The recorder cuts values at a depth of 32 (inside a message inside a list
// of them); a deeper value is not one it wrote.
constexpr int kMaxNesting = 64;

// A message argument: built as cls.__new__(cls) (a dict when cls is None)
// with the named fields set.
struct MessageShape {
    PyObject* cls = nullptr;    // borrowed from `held`
    PyObject* names = nullptr;  // tuple of interned names, borrowed from `held`
};

class Decoder {
public:
    Decoder(PyObject* resolve, PyObject* memo) : resolve_(resolve), memo_(memo) {}

    // Per callback, per argument: what its messages are built as. 0 or -1.
    int load_shapes(PyObject* messages) {
        Ref seq = Ref::steal(PySequence_Tuple(messages));
        if (!seq) return -1;
        held_.push_back(Ref::borrow(seq.get()));
        Py_ssize_t n = PyTuple_GET_SIZE(seq.get());
        shapes_.resize(static_cast<std::size_t>(n));
        for (Py_ssize_t c = 0; c < n; ++c) {
            PyObject* per = PyTuple_GET_ITEM(seq.get(), c);
            if (per == Py_None) continue;
            Ref args = Ref::steal(PySequence_Tuple(per));
            if (!args) return -1;
            held_.push_back(Ref::borrow(args.get()));
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args.get()); ++i) {
                PyObject* s = PyTuple_GET_ITEM(args.get(), i);
                MessageShape m;
                if (s != Py_None) {
                    if (!PyTuple_Check(s) || PyTuple_GET_SIZE(s) != 2 || !PyTuple_Check(PyTuple_GET_ITEM(s, 1))) {
                        PyErr_SetString(PyExc_TypeError, "a message is given as (cls or None, tuple of field names)");
                        return -1;
                    }
                    m.cls = PyTuple_GET_ITEM(s, 0);
                    Ref names = interned(PyTuple_GET_ITEM(s, 1));
                    if (!names) return -1;
                    m.names = names.get();
                    held_.push_back(std::move(names));
                    if (m.cls == Py_None) {
                        m.cls = nullptr;
                    } else if (!PyType_Check(m.cls)) {
                        PyErr_SetString(PyExc_TypeError, "a message class must be a type");
                        return -1;
                    }
                }
                shapes_[static_cast<std::size_t>(c)].push_back(m);
            }
        }
        return 0;
    }

    // Every record of data[0:n]; a new list, or nullptr with the error set.
    PyObject* records(const unsigned char* data, std::size_t n) {
        base_ = data;
        p_ = data;
        end_ = data + n;
        Ref out = Ref::steal(PyList_New(0));
        if (!out) return nullptr;
        while (p_ < end_) {
            Ref rec = record();
            if (!rec || PyList_Append(out.get(), rec.get()) < 0) return nullptr;
        }
        return out.release();
    }

private:
    // The names as interned str (setattr would intern each one at every call).
    static Ref interned(PyObject* names) {
        Py_ssize_t n = PyTuple_GET_SIZE(names);
        Ref out = Ref::steal(PyTuple_New(n));
        for (Py_ssize_t i = 0; out && i < n; ++i) {
            PyObject* name = PyTuple_GET_ITEM(names, i);
            if (!PyUnicode_CheckExact(name)) {
                PyErr_SetString(PyExc_TypeError, "field names must be str");
                return Ref();
            }
            Py_INCREF(name);
            PyUnicode_InternInPlace(&name);
            PyTuple_SET_ITEM(out.get(), i, name);
        }
        return out;
    }

    bool malformed() {
        PyErr_Format(PyExc_ValueError, "malformed record data at byte %zd", static_cast<Py_ssize_t>(p_ - base_));
        return false;
    }
    bool need(std::size_t k) { return static_cast<std::size_t>(end_ - p_) >= k || malformed(); }
    template <class T>
    bool get(T* v) {
        if (!need(sizeof(T))) return false;
        std::memcpy(v, p_, sizeof(T));
        p_ += sizeof(T);
        return true;
    }
    // n bytes of payload, after a length of type L.
    template <class L>
    bool span(const char** s, std::size_t* n) {
        L len;
        if (!get(&len) || !need(len)) return false;
        *s = reinterpret_cast<const char*>(p_);
        *n = len;
        p_ += len;
        return true;
    }
    template <class L>
    Ref text() {
        const char* s;
        std::size_t n;
        if (!span<L>(&s, &n)) return Ref();
        return Ref::steal(PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(n), "surrogatepass"));
    }

    Ref call_resolve(PyObject* kind, PyObject* name, PyObject* value) {
        PyObject* argv[] = {nullptr, kind, name, value};
        return Ref::steal(PyObject_Vectorcall(resolve_, argv + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }

    Ref record() {
        std::uint32_t size;
        if (!get(&size) || !need(size)) return Ref();
        const unsigned char* record_end = p_ + size;
        const unsigned char* outer_end = end_;
        end_ = record_end;  // nothing below reads past this record
        Ref rec = record_body();
        end_ = outer_end;
        if (rec && p_ != record_end) {
            malformed();
            return Ref();
        }
        return rec;
    }

    Ref record_body() {
        std::uint8_t callback, flags, nargs;
        std::int64_t mono, wall;
        if (!get(&callback) || !get(&flags) || !get(&mono) || !get(&wall)) return Ref();
        Ref clock = Ref::borrow(Py_None);
        if (flags & rf::kClock) {
            clock = value(nullptr, false);
            if (!clock) return Ref();
        }
        if (!get(&nargs)) return Ref();
        Ref args = Ref::steal(PyTuple_New(nargs));
        if (!args) return Ref();
        const std::vector<MessageShape>* shapes = callback < shapes_.size() ? &shapes_[callback] : nullptr;
        for (std::uint8_t i = 0; i < nargs; ++i) {
            const MessageShape* m = shapes && i < shapes->size() && (*shapes)[i].names ? &(*shapes)[i] : nullptr;
            Ref v = value(m, false);
            if (!v) return Ref();
            PyTuple_SET_ITEM(args.get(), i, v.release());
        }
        Ref cb = Ref::steal(PyLong_FromLong(callback));
        Ref fl = Ref::steal(PyLong_FromLong(flags));
        Ref mo = Ref::steal(PyLong_FromLongLong(mono));
        Ref wa = Ref::steal(PyLong_FromLongLong(wall));
        if (!cb || !fl || !mo || !wa) return Ref();
        return Ref::steal(PyTuple_Pack(6, cb.get(), fl.get(), mo.get(), wa.get(), clock.get(), args.get()));
    }

    // One value. `message`: how a MESSAGE here is built. `field`: a RAISED
    // here is a message field to leave unset (unset_ is set, None returned).
    // Values nest by recursion: the depth is bounded, so a damaged or crafted
    // block raises instead of running out of stack.
    Ref value(const MessageShape* message, bool field) {
        if (depth_ >= kMaxNesting) {
            PyErr_Format(PyExc_ValueError, "values nested deeper than %d at byte %zd", kMaxNesting,
                         static_cast<Py_ssize_t>(p_ - base_));
            return Ref();
        }
        ++depth_;
        Ref v = tagged(message, field);
        --depth_;
        return v;
    }

    Ref tagged(const MessageShape* message, bool field) {
        std::uint8_t tag;
        if (!get(&tag)) return Ref();
        switch (tag) {
            case rf::NONE: return Ref::borrow(Py_None);
            case rf::FALSE_: return Ref::borrow(Py_False);
            case rf::TRUE_: return Ref::borrow(Py_True);
            case rf::INT: {
                std::int64_t v;
                return get(&v) ? Ref::steal(PyLong_FromLongLong(v)) : Ref();
            }
            case rf::BIGINT: {
                const char* s;
                std::size_t n;
                if (!span<std::uint32_t>(&s, &n)) return Ref();
                std::string digits(s, n);
                return Ref::steal(PyLong_FromString(digits.c_str(), nullptr, 10));
            }
            case rf::FLOAT: {
                double v;
                return get(&v) ? Ref::steal(PyFloat_FromDouble(v)) : Ref();
            }
            case rf::STR: return text<std::uint32_t>();
            case rf::BYTES: {
                const char* s;
                std::size_t n;
                if (!span<std::uint32_t>(&s, &n)) return Ref();
                return Ref::steal(PyBytes_FromStringAndSize(s, static_cast<Py_ssize_t>(n)));
            }
            case rf::LIST: case rf::TUPLE: return sequence(tag == rf::LIST, message);
            case rf::DICT: return dict();
            case rf::FLOATS: case rf::INTS: return numbers(tag == rf::FLOATS);
            case rf::ENUM: return enum_member();
            case rf::DATETIME: return datetime();
            case rf::DATE: {
                std::int32_t y;
                std::uint8_t m, d;
                if (!get(&y) || !get(&m) || !get(&d)) return Ref();
                return Ref::steal(PyDate_FromDate(y, m, d));
            }
            case rf::OTHER: {
                Ref type = text<std::uint16_t>();
                if (!type) return Ref();
                Ref v = value(nullptr, false);
                return v ? call_resolve(k_other, type.get(), v.get()) : Ref();
            }
            case rf::MESSAGE: return build(message);
            case rf::RAISED: {
                Ref type = text<std::uint16_t>();
                if (!type) return Ref();
                Ref msg = text<std::uint32_t>();
                if (!msg) return Ref();
                if (field) {
                    unset_ = true;
                    return Ref::borrow(Py_None);
                }
                return call_resolve(k_raised, type.get(), msg.get());
            }
            default:
                --p_;
                malformed();
                return Ref();
        }
    }

    Ref sequence(bool list, const MessageShape* message) {
        std::uint32_t n;
        if (!get(&n) || !need(n)) return Ref();  // every item takes a byte at least
        Ref out = Ref::steal(list ? PyList_New(n) : PyTuple_New(n));
        if (!out) return Ref();
        for (std::uint32_t i = 0; i < n; ++i) {
            Ref v = value(list ? message : nullptr, false);
            if (!v) return Ref();
            if (list)
                PyList_SET_ITEM(out.get(), i, v.release());
            else
                PyTuple_SET_ITEM(out.get(), i, v.release());
        }
        return out;
    }

    Ref dict() {
        std::uint32_t n;
        if (!get(&n) || !need(n)) return Ref();
        Ref out = Ref::steal(PyDict_New());
        if (!out) return Ref();
        for (std::uint32_t i = 0; i < n; ++i) {
            Ref k = value(nullptr, false);
            if (!k) return Ref();
            // The recorder writes only keys of dicts: one that cannot be hashed is damage.
            if (PyObject_Hash(k.get()) == -1) {
                if (!PyErr_ExceptionMatches(PyExc_TypeError)) return Ref();
                PyErr_Clear();
                PyErr_Format(PyExc_ValueError, "an unhashable dict key before byte %zd",
                             static_cast<Py_ssize_t>(p_ - base_));
                return Ref();
            }
            Ref v = value(nullptr, false);
            if (!v || PyDict_SetItem(out.get(), k.get(), v.get()) < 0) return Ref();
        }
        return out;
    }

    Ref numbers(bool floats) {
        std::uint32_t n;
        if (!get(&n) || !need(std::size_t{n} * 8)) return Ref();
        Ref out = Ref::steal(PyList_New(n));
        if (!out) return Ref();
        for (std::uint32_t i = 0; i < n; ++i) {
            PyObject* v;
            if (floats) {
                double d = 0;
                get(&d);
                v = PyFloat_FromDouble(d);
            } else {
                std::int64_t x = 0;
                get(&x);
                v = PyLong_FromLongLong(x);
            }
            if (!v) return Ref();
            PyList_SET_ITEM(out.get(), i, v);
        }
        return out;
    }

    // The member, from memo (keyed by its encoding) or from resolve("enum", class, value).
    Ref enum_member() {
        const unsigned char* start = p_;
        Ref cls = text<std::uint16_t>();
        if (!cls) return Ref();
        Ref v = value(nullptr, false);
        if (!v) return Ref();
        Ref key = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(start), p_ - start));
        if (!key) return Ref();
        PyObject* known = PyDict_GetItemWithError(memo_, key.get());
        if (known) return Ref::borrow(known);
        if (PyErr_Occurred()) return Ref();
        Ref member = call_resolve(k_enum, cls.get(), v.get());
        if (!member || PyDict_SetItem(memo_, key.get(), member.get()) < 0) return Ref();
        return member;
    }

    Ref datetime() {
        std::int32_t year, offset;
        std::uint8_t month, day, hour, minute, second, fold;
        std::uint32_t us;
        if (!get(&year) || !get(&month) || !get(&day) || !get(&hour) || !get(&minute) || !get(&second) || !get(&us) ||
            !get(&fold) || !get(&offset))
            return Ref();
        if (offset == rf::kNaive)
            return Ref::steal(PyDateTime_FromDateAndTimeAndFold(year, month, day, hour, minute, second,
                                                                static_cast<int>(us), fold));
        Ref delta = Ref::steal(PyDelta_FromDSU(0, offset, 0));
        Ref tz = delta ? Ref::steal(PyTimeZone_FromOffset(delta.get())) : Ref();
        if (!tz) return Ref();
        return Ref::steal(PyDateTimeAPI->DateTime_FromDateAndTimeAndFold(
            year, month, day, hour, minute, second, static_cast<int>(us), tz.get(), fold, PyDateTimeAPI->DateTimeType));
    }

    Ref build(const MessageShape* m) {
        std::uint8_t n;
        if (!get(&n)) return Ref();
        if (!m) {  // no shape: the field values as a tuple
            Ref out = Ref::steal(PyTuple_New(n));
            for (std::uint8_t i = 0; out && i < n; ++i) {
                Ref v = value(nullptr, false);
                if (!v) return Ref();
                PyTuple_SET_ITEM(out.get(), i, v.release());
            }
            return out;
        }
        if (n != PyTuple_GET_SIZE(m->names)) {
            PyErr_Format(PyExc_ValueError, "a message of %d fields where %zd are named", n, PyTuple_GET_SIZE(m->names));
            return Ref();
        }
        Ref obj;
        if (m->cls) {
            auto* tp = reinterpret_cast<PyTypeObject*>(m->cls);
            if (!tp->tp_new) {
                PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", tp->tp_name);
                return Ref();
            }
            Ref empty = Ref::steal(PyTuple_New(0));
            if (!empty) return Ref();
            obj = Ref::steal(tp->tp_new(tp, empty.get(), nullptr));
        } else {
            obj = Ref::steal(PyDict_New());
        }
        if (!obj) return Ref();
        for (std::uint8_t i = 0; i < n; ++i) {
            unset_ = false;
            Ref v = value(nullptr, true);
            if (!v) return Ref();
            if (unset_) continue;
            PyObject* name = PyTuple_GET_ITEM(m->names, i);
            int rc = m->cls ? PyObject_SetAttr(obj.get(), name, v.get()) : PyDict_SetItem(obj.get(), name, v.get());
            if (rc < 0) return Ref();
        }
        unset_ = false;
        return obj;
    }

    PyObject* resolve_;
    PyObject* memo_;
    std::vector<Ref> held_;
    std::vector<std::vector<MessageShape>> shapes_;
    const unsigned char* base_ = nullptr;
    const unsigned char* p_ = nullptr;
    const unsigned char* end_ = nullptr;
    bool unset_ = false;
    int depth_ = 0;
};

}  // namespace

PyObject* decode_records(PyObject* const* a) {
    if (!PyDict_Check(a[3])) {
        PyErr_SetString(PyExc_TypeError, "memo must be a dict");
        return nullptr;
    }
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI) return nullptr;
    }
    Ref resolve = Ref::borrow(a[2]);
    Ref memo = Ref::borrow(a[3]);
    Decoder d(resolve.get(), memo.get());
    if (d.load_shapes(a[1]) < 0) return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(a[0], &view, PyBUF_SIMPLE) < 0) return nullptr;
    PyObject* out = d.records(static_cast<const unsigned char*>(view.buf), static_cast<std::size_t>(view.len));
    PyBuffer_Release(&view);
    return out;
}

}  // namespace ferrule
