// Encoding, on the calling thread with the GIL: a call's record holds what
// the bridge reads for that callback (its row in callbacks.hpp, its
// messages' shapes), as plain values; no Python object is kept. Everything
// here but header_bytes leaves no error set.
#include "ferrule/recording/encoder.hpp"

#include <datetime.h>
#include <zlib.h>

#include <chrono>
#include <cstring>
#include <string>
#include <utility>

#include "ferrule/shapes.hpp"
#include "ferrule/state.hpp"
#include "glue/threads.hpp"

#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the recording format is written with the host's byte order, which must be little-endian"
#endif

namespace ferrule::recording {

namespace {

using glue::Name;
using glue::Ref;

constexpr int kMaxDepth = 32;

Name k_config{"config"};
Name k_base{"base"};
Name k_now{"now"};
Name k_value_attr{"_value_"};
Name k_module_attr{"__module__"};
Name k_utcoffset{"utcoffset"};
Name k_dumps{"dumps"};
Name k_Enum{"Enum"};
Global gl_datetime{"datetime"};

using callbacks::Arg;
using callbacks::ArgShape;

// The arguments a callback's row records: those up to the first empty one.
int recorded_args(const callbacks::Row& row) {
    int n = 0;
    while (n < callbacks::kMaxArgs && row.args[n].name) ++n;
    return n;
}

// "module.Qualname" of a type; empty on failure (error cleared).
std::string type_path(PyTypeObject* tp) {
    auto utf8 = [](const Ref& s) {
        const char* p = s && PyUnicode_Check(s.get()) ? PyUnicode_AsUTF8(s.get()) : nullptr;
        if (!p) PyErr_Clear();
        return p;
    };
    Ref module = glue::getattr(reinterpret_cast<PyObject*>(tp), k_module_attr);
    const char* m = utf8(module);
    Ref qualname = Ref::steal(PyType_GetQualName(tp));
    const char* q = utf8(qualname);
    std::string out;
    if (m && std::strcmp(m, "builtins") != 0) out.append(m).append(".");
    out.append(q ? q : tp->tp_name);
    return out;
}

void put_str16(Bytes& b, const std::string& s) {
    std::size_t n = std::min<std::size_t>(s.size(), 0xFFFF);
    b.put(static_cast<std::uint16_t>(n));
    b.bytes(s.data(), n);
}

// The UTF-8 of a str; lone surrogates kept as Python's "surrogatepass" writes them.
void put_text(Bytes& b, PyObject* s) {
    if (PyUnicode_IS_COMPACT_ASCII(s)) {  // codes, ids, phase codes: the bytes as they are
        Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        b.put(static_cast<std::uint32_t>(n));
        b.bytes(PyUnicode_DATA(s), static_cast<std::size_t>(n));
        return;
    }
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s, &n);
    Ref encoded;
    if (!p) {
        PyErr_Clear();
        encoded = Ref::steal(PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass"));
        if (!encoded) {
            PyErr_Clear();
            n = 0;
        } else {
            p = PyBytes_AS_STRING(encoded.get());
            n = PyBytes_GET_SIZE(encoded.get());
        }
    }
    b.put(static_cast<std::uint32_t>(n));
    b.bytes(p, static_cast<std::size_t>(n));
}

// The exception in flight as RAISED (type and text), then dropped.
void put_raised(Bytes& b) {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    b.tag(RAISED);
    if (!exc) {
        put_str16(b, "SystemError");
        b.put(std::uint32_t{0});
        return;
    }
    put_str16(b, type_path(Py_TYPE(exc.get())));
    Ref text = Ref::steal(PyObject_Str(exc.get()));
    if (!text || !PyUnicode_Check(text.get())) {
        PyErr_Clear();
        b.put(std::uint32_t{0});
        return;
    }
    put_text(b, text.get());
}

void put_raised_text(Bytes& b, const char* type, const char* text) {
    b.tag(RAISED);
    put_str16(b, type);
    std::size_t n = std::strlen(text);
    b.put(static_cast<std::uint32_t>(n));
    b.bytes(text, n);
}

// An int of one machine word, without a call (exact ints only).
inline bool compact_int(PyObject* v, std::int64_t* out) {
    auto* l = reinterpret_cast<PyLongObject*>(v);
    if (!PyUnstable_Long_IsCompact(l)) return false;
    *out = PyUnstable_Long_CompactValue(l);
    return true;
}

void put_int(Bytes& b, PyObject* v) {
    std::int64_t compact;
    if (PyLong_CheckExact(v) && compact_int(v, &compact)) {
        b.tag(INT);
        b.put(compact);
        return;
    }
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (!overflow && !(x == -1 && PyErr_Occurred())) {
        b.tag(INT);
        b.put(static_cast<std::int64_t>(x));
        return;
    }
    PyErr_Clear();
    // Decimal text of the int's own value (for a subclass too, never its __str__).
    Ref plain = Ref::steal(PyNumber_Index(v));  // an exact int, no __index__ called for an int
    Ref text = plain ? Ref::steal(PyObject_Str(plain.get())) : Ref();
    Py_ssize_t n = 0;
    const char* p = text ? PyUnicode_AsUTF8AndSize(text.get(), &n) : nullptr;
    if (!p) {
        put_raised(b);
        return;
    }
    b.tag(BIGINT);
    b.put(static_cast<std::uint32_t>(n));
    b.bytes(p, static_cast<std::size_t>(n));
}

// Types seen that need more than a tag: enumerations (with their members'
// encodings) and everything else written as OTHER. Entries are filled
// before they are counted and never move, so a thread that re-enters the
// encoder through Python code (an attribute that is a property) is safe.
// Gateway threads recording at once, without the GIL, look into it and add
// to it under types_lock, which no Python code runs under.
struct TypeInfo {
    static constexpr int kMembers = 16;
    PyTypeObject* type = nullptr;  // strong
    bool is_enum = false;
    std::string path;
    int n_members = 0;
    PyObject* members[kMembers] = {};  // strong
    std::string encoded[kMembers];
};

class TypeCache {
public:
    static constexpr int kTypes = 64;

    TypeInfo* find(PyTypeObject* tp) {
        for (int i = 0; i < n_; ++i)
            if (types_[i].type == tp) return &types_[i];
        return nullptr;
    }
    // A new entry for tp, or nullptr when the cache is full.
    TypeInfo* add(PyTypeObject* tp, bool is_enum, std::string path) {
        if (n_ == kTypes) return nullptr;
        TypeInfo& t = types_[n_];
        for (int k = 0; k < t.n_members; ++k) Py_CLEAR(t.members[k]);  // left by an encoder cut short by a stop
        t.n_members = 0;
        t.type = reinterpret_cast<PyTypeObject*>(Py_NewRef(reinterpret_cast<PyObject*>(tp)));
        t.is_enum = is_enum;
        t.path = std::move(path);
        ++n_;
        return &t;
    }
    // Under types_lock; with the GIL, when no encoder runs.
    void clear() {
        for (int i = 0; i < n_; ++i) {
            TypeInfo& t = types_[i];
            for (int k = 0; k < t.n_members; ++k) Py_CLEAR(t.members[k]);
            t.n_members = 0;
            Py_CLEAR(t.type);
        }
        n_ = 0;
    }

private:
    TypeInfo types_[kTypes];
    int n_ = 0;
};

TypeCache type_cache;
glue::StretchLock types_lock;
PyObject* enum_base = nullptr;  // enum.Enum, while recording

TypeInfo* find_type(PyTypeObject* tp) {
    glue::StretchHold hold(types_lock);
    return type_cache.find(tp);
}

void put_value(Bytes& b, PyObject* v, int depth);

// LIST, the count, then each item of a list by put(item). Items are held
// while encoded, and the size read afresh: encoding may run code (a str(), a
// property) that changes the list.
template <class Put>
void put_items(Bytes& b, PyObject* list, Put&& put) {
    b.tag(LIST);
    std::size_t count_at = b.size();
    b.put(std::uint32_t{0});
    std::uint32_t count = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i, ++count) {
        Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
        put(item.get());
    }
    patch(b, count_at, count);
}

void put_list(Bytes& b, PyObject* v, int depth) {
    Py_ssize_t n = PyList_GET_SIZE(v);
    bool floats = n > 0, ints = n > 0;
    for (Py_ssize_t i = 0; i < n && (floats || ints); ++i) {
        PyTypeObject* t = Py_TYPE(PyList_GET_ITEM(v, i));
        floats = floats && t == &PyFloat_Type;
        ints = ints && t == &PyLong_Type;
    }
    if (floats) {
        b.tag(FLOATS);
        b.put(static_cast<std::uint32_t>(n));
        char* out = b.grow(sizeof(double) * static_cast<std::size_t>(n));  // not aligned for a double
        for (Py_ssize_t i = 0; i < n; ++i) {
            double d = PyFloat_AS_DOUBLE(PyList_GET_ITEM(v, i));
            std::memcpy(out + sizeof d * static_cast<std::size_t>(i), &d, sizeof d);
        }
        return;
    }
    if (ints) {
        std::size_t start = b.size();
        b.tag(INTS);
        b.put(static_cast<std::uint32_t>(n));
        char* out = b.grow(sizeof(std::int64_t) * static_cast<std::size_t>(n));
        bool fits = true;
        for (Py_ssize_t i = 0; i < n && fits; ++i) {
            std::int64_t x;
            PyObject* item = PyList_GET_ITEM(v, i);
            if (!compact_int(item, &x)) {
                int overflow = 0;
                x = PyLong_AsLongLongAndOverflow(item, &overflow);
                fits = !overflow;
            }
            std::memcpy(out + i * sizeof x, &x, sizeof x);
        }
        if (fits) return;
        b.truncate(start);  // an int beyond 64 bits: item by item
    }
    put_items(b, v, [&](PyObject* item) { put_value(b, item, depth + 1); });
}

void put_dict(Bytes& b, PyObject* v, int depth) {
    Ref items = Ref::steal(PyDict_Items(v));  // a copy: encoding may run code that changes the dict
    if (!items) {
        put_raised(b);
        return;
    }
    Py_ssize_t n = PyList_GET_SIZE(items.get());
    b.tag(DICT);
    b.put(static_cast<std::uint32_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* kv = PyList_GET_ITEM(items.get(), i);
        put_value(b, PyTuple_GET_ITEM(kv, 0), depth + 1);
        put_value(b, PyTuple_GET_ITEM(kv, 1), depth + 1);
    }
}

void put_datetime(Bytes& b, PyObject* v) {
    std::int32_t offset = kNaive;
    PyObject* tz = PyDateTime_DATE_GET_TZINFO(v);  // borrowed
    if (tz != Py_None) {
        Ref delta = glue::call_method(v, k_utcoffset.get());
        if (!delta) {
            put_raised(b);
            return;
        }
        if (delta.get() != Py_None && PyDelta_Check(delta.get()))
            offset = PyDateTime_DELTA_GET_DAYS(delta.get()) * 86400 + PyDateTime_DELTA_GET_SECONDS(delta.get());
    }
    b.tag(DATETIME);
    b.put(static_cast<std::int32_t>(PyDateTime_GET_YEAR(v)));
    b.put(static_cast<std::uint8_t>(PyDateTime_GET_MONTH(v)));
    b.put(static_cast<std::uint8_t>(PyDateTime_GET_DAY(v)));
    b.put(static_cast<std::uint8_t>(PyDateTime_DATE_GET_HOUR(v)));
    b.put(static_cast<std::uint8_t>(PyDateTime_DATE_GET_MINUTE(v)));
    b.put(static_cast<std::uint8_t>(PyDateTime_DATE_GET_SECOND(v)));
    b.put(static_cast<std::uint32_t>(PyDateTime_DATE_GET_MICROSECOND(v)));
    b.put(static_cast<std::uint8_t>(PyDateTime_DATE_GET_FOLD(v)));
    b.put(offset);
}

// An enumeration member: its class and its value, encoded once per member.
// The member's encoding as first written, when info holds it.
bool put_known_member(Bytes& b, PyObject* v, TypeInfo* info) {
    glue::StretchHold hold(types_lock);
    for (int k = 0; k < info->n_members; ++k)
        if (info->members[k] == v) {
            b.bytes(info->encoded[k].data(), info->encoded[k].size());
            return true;
        }
    return false;
}

void put_enum(Bytes& b, PyObject* v, TypeInfo* info, const std::string& path, int depth) {
    if (info && put_known_member(b, v, info)) return;
    std::size_t start = b.size();
    b.tag(ENUM);
    put_str16(b, path);
    Ref value = glue::getattr(v, k_value_attr);
    if (!value) {
        put_raised(b);
        return;
    }
    put_value(b, value.get(), depth + 1);
    if (!info) return;
    glue::StretchHold hold(types_lock);
    for (int k = 0; k < info->n_members; ++k)
        if (info->members[k] == v) return;  // written by another thread meanwhile
    if (info->n_members < TypeInfo::kMembers) {
        int k = info->n_members;
        info->encoded[k].assign(b.data() + start, b.size() - start);
        info->members[k] = Py_NewRef(v);
        info->n_members = k + 1;
    }
}

// Anything but the exact built-in types: an enumeration member, or OTHER
// with the type's name and the plain value (or str()).
void put_typed(Bytes& b, PyObject* v, int depth, TypeInfo* info) {
    PyTypeObject* tp = Py_TYPE(v);
    std::string path_storage;
    bool is_enum;
    const std::string* path;
    if (info) {
        is_enum = info->is_enum;
        path = &info->path;
    } else {
        path_storage = type_path(tp);
        glue::StretchHold hold(types_lock);
        info = type_cache.find(tp);  // added by another thread meanwhile
        if (!info) {
            is_enum = enum_base && PyType_IsSubtype(tp, reinterpret_cast<PyTypeObject*>(enum_base));
            info = type_cache.add(tp, is_enum, path_storage);
        } else {
            is_enum = info->is_enum;
        }
        path = info ? &info->path : &path_storage;
    }
    if (is_enum) {
        put_enum(b, v, info, *path, depth);
        return;
    }
    b.tag(OTHER);
    put_str16(b, *path);
    if (PyLong_Check(v)) {
        put_int(b, v);
    } else if (PyFloat_Check(v)) {
        b.tag(FLOAT);
        b.put(PyFloat_AS_DOUBLE(v));
    } else if (PyUnicode_Check(v)) {
        b.tag(STR);
        put_text(b, v);
    } else {
        Ref text = Ref::steal(PyObject_Str(v));
        if (!text || !PyUnicode_Check(text.get())) {
            if (text) PyErr_SetString(PyExc_TypeError, "__str__ returned non-string");
            put_raised(b);
            return;
        }
        b.tag(STR);
        put_text(b, text.get());
    }
}

void put_value(Bytes& b, PyObject* v, int depth) {
    PyTypeObject* tp = Py_TYPE(v);
    if (tp == &PyFloat_Type) {
        b.tag(FLOAT);
        b.put(PyFloat_AS_DOUBLE(v));
    } else if (tp == &PyLong_Type) {
        put_int(b, v);
    } else if (tp == &PyUnicode_Type) {
        b.tag(STR);
        put_text(b, v);
    } else if (v == Py_None) {
        b.tag(NONE);
    } else if (v == Py_True || v == Py_False) {
        b.tag(v == Py_True ? TRUE_ : FALSE_);
    } else if (depth >= kMaxDepth) {
        put_raised_text(b, "RecursionError", "nested too deep to record");
    } else if (tp == &PyList_Type) {
        put_list(b, v, depth);
    } else if (tp == &PyTuple_Type) {
        Py_ssize_t n = PyTuple_GET_SIZE(v);
        b.tag(TUPLE);
        b.put(static_cast<std::uint32_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) put_value(b, PyTuple_GET_ITEM(v, i), depth + 1);
    } else if (tp == &PyDict_Type) {
        put_dict(b, v, depth);
    } else if (tp == &PyBytes_Type) {
        b.tag(BYTES);
        b.put(static_cast<std::uint32_t>(PyBytes_GET_SIZE(v)));
        b.bytes(PyBytes_AS_STRING(v), static_cast<std::size_t>(PyBytes_GET_SIZE(v)));
    } else if (PyDateTime_Check(v)) {  // before the type cache, which never holds them (the clock)
        put_datetime(b, v);
    } else if (PyDate_Check(v)) {
        b.tag(DATE);
        b.put(static_cast<std::int32_t>(PyDateTime_GET_YEAR(v)));
        b.put(static_cast<std::uint8_t>(PyDateTime_GET_MONTH(v)));
        b.put(static_cast<std::uint8_t>(PyDateTime_GET_DAY(v)));
    } else if (TypeInfo* info = find_type(tp)) {  // an enumeration seen before (market types, statuses)
        put_typed(b, v, depth, info);
    } else {
        put_typed(b, v, depth, nullptr);
    }
}

// A message: its shape's fields, each read as the bridge reads it (so a
// property runs once more here: reading a field has no other effect on what
// the callback does). A read that raises is recorded as RAISED.
void put_message(Bytes& b, PyObject* msg, Shape& shape) {
    std::size_t n = shape.size();
    b.tag(MESSAGE);
    b.put(static_cast<std::uint8_t>(n));
    for (std::size_t i = 0; i < n; ++i) {
        Ref v = shape.at(msg, i);
        if (v)
            put_value(b, v.get(), 1);
        else
            put_raised(b);
    }
}

void put_messages(Bytes& b, PyObject* v, Shape& shape) {
    if (!PyList_CheckExact(v)) {
        put_value(b, v, 0);
        return;
    }
    put_items(b, v, [&](PyObject* item) { put_message(b, item, shape); });
}

void put_config(Bytes& b, PyObject* self, Shape& shape) {
    Ref config = glue::getattr(self, k_config);
    Ref base = config ? glue::getattr(config.get(), k_base) : Ref();
    if (!base)
        put_raised(b);
    else
        put_message(b, base.get(), shape);
}

// Record head: size (patched at the end), callback, flags, the two times
// (the wall clock as the door read it, when it did).
void begin_record(Bytes& b, std::uint8_t callback, std::uint8_t flags, std::int64_t wall) {
    b.put(std::uint32_t{0});
    b.put(callback);
    b.put(flags);
    b.put(monotonic_ns());
    b.put(wall ? wall : wall_ns());
}
void end_record(Bytes& b) { patch(b, 0, static_cast<std::uint32_t>(b.size() - 4)); }

Ref field_names(const Shape& shape) {
    Ref out = Ref::steal(PyList_New(0));
    for (std::size_t i = 0; i < shape.size(); ++i)
        if (!out || PyList_Append(out.get(), shape.name(i)) < 0) return Ref();
    return out;
}


Ref arg_schema(const ArgShape& a) {
    Ref d = Ref::steal(PyDict_New());
    if (!d || set_steal(d.get(), "name", PyUnicode_FromString(a.name)) < 0) return Ref();
    if (a.kind == Arg::Value) return d;
    Ref fields = field_names(*a.shape);
    if (set_steal(d.get(), "message", PyUnicode_FromString(a.shape->type())) < 0 ||
        set_item(d.get(), "fields", fields.get()) < 0 ||
        set_item(d.get(), "list", a.kind == Arg::Messages ? Py_True : Py_False) < 0 ||
        set_item(d.get(), "of_self", a.kind == Arg::Config ? Py_True : Py_False) < 0)
        return Ref();
    return d;
}

Ref callback_schema(Callback c) {
    const callbacks::Row& row = callback_row(c);
    Ref d = Ref::steal(PyDict_New());
    Ref args = Ref::steal(PyList_New(0));
    if (!d || !args || set_item(d.get(), "name", callback_name(c)) < 0 ||
        set_item(d.get(), "clock", row.clock ? Py_True : Py_False) < 0 || set_item(d.get(), "args", args.get()) < 0)
        return Ref();
    for (int i = 0, n = recorded_args(row); i < n; ++i) {
        Ref a = arg_schema(row.args[i]);
        if (!a || PyList_Append(args.get(), a.get()) < 0) return Ref();
    }
    return d;
}

}  // namespace

int set_item(PyObject* d, const char* key, PyObject* v) { return v ? PyDict_SetItemString(d, key, v) : -1; }

int set_steal(PyObject* d, const char* key, PyObject* v) {
    Ref r = Ref::steal(v);
    return set_item(d, key, r.get());
}

std::int64_t monotonic_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::int64_t wall_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

Ref encoder_types() {
    PyDateTime_IMPORT;  // per file: this one's datetime checks
    if (!PyDateTimeAPI) return Ref();
    Ref enum_module = Ref::steal(PyImport_ImportModule("enum"));
    return enum_module ? glue::getattr(enum_module.get(), k_Enum) : Ref();
}

void remember_types(Ref enum_cls) {
    glue::StretchHold hold(types_lock);
    type_cache.clear();
    Py_XSETREF(enum_base, enum_cls.release());
}

void forget_types() {
    glue::StretchHold hold(types_lock);
    type_cache.clear();
    Py_CLEAR(enum_base);
}

// The whole record of one call into b.
void encode_call(Bytes& b, Callback c, PyObject* const* args, bool nested, std::int64_t wall) {
    const callbacks::Row& row = callback_row(c);
    std::uint8_t flags = (nested ? kNested : 0) | (row.clock ? kClock : 0);
    begin_record(b, static_cast<std::uint8_t>(c), flags, wall);
    if (row.clock) {
        Ref now = gl_datetime.call_method(k_now);
        if (now)
            put_value(b, now.get(), 0);
        else
            put_raised(b);
    }
    int n = recorded_args(row);
    b.put(static_cast<std::uint8_t>(n));
    int param = 1;  // args[0] is self
    for (int i = 0; i < n; ++i) {
        const ArgShape& a = row.args[i];
        PyObject* v = a.kind == Arg::Config ? args[0] : args[param];
        param += a.parameter;
        switch (a.kind) {
            case Arg::Value: put_value(b, v, 0); break;
            case Arg::Message: put_message(b, v, *a.shape); break;
            case Arg::Messages: put_messages(b, v, *a.shape); break;
            case Arg::Config: put_config(b, v, *a.shape); break;
        }
    }
    end_record(b);
}

void encode_mark(Bytes& b, PyObject* label, PyObject* value) {
    begin_record(b, kMarkCallback, 0, 0);
    b.put(std::uint8_t{2});
    put_value(b, label, 0);
    put_value(b, value, 0);
    end_record(b);
}

// magic, version, flags, JSON length, JSON, its crc32.
Ref header_bytes(PyObject* meta, std::int64_t mono, std::int64_t wall) {
    Ref d = Ref::steal(PyDict_New());
    Ref callbacks = Ref::steal(PyList_New(0));
    if (!d || !callbacks) return Ref();
    for (std::size_t i = 0; i < kCallbacks; ++i) {
        Ref s = callback_schema(static_cast<Callback>(i));
        if (!s || PyList_Append(callbacks.get(), s.get()) < 0) return Ref();
    }
    PyObject* version = PySys_GetObject("version");  // borrowed, held by sys while the header is built
    if (!version) {
        PyErr_SetString(PyExc_RuntimeError, "sys.version is missing");
        return Ref();
    }
    if (set_steal(d.get(), "format", PyUnicode_FromString("ferrule recording")) < 0 ||
        set_steal(d.get(), "version", PyLong_FromLong(kVersion)) < 0 ||
        set_item(d.get(), "module", bridge.module_name) < 0 || set_item(d.get(), "python", version) < 0 ||
        set_steal(d.get(), "monotonic_ns", PyLong_FromLongLong(mono)) < 0 ||
        set_steal(d.get(), "wall_ns", PyLong_FromLongLong(wall)) < 0 ||
        set_steal(d.get(), "mark", PyLong_FromLong(kMarkCallback)) < 0 ||
        set_item(d.get(), "callbacks", callbacks.get()) < 0 || set_item(d.get(), "meta", meta) < 0)
        return Ref();
    Ref json = Ref::steal(PyImport_ImportModule("json"));
    Ref text = json ? glue::call_method(json.get(), k_dumps.get(), d.get()) : Ref();
    if (!text) return Ref();
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(text.get(), &n);
    if (!p) return Ref();
    Bytes b;
    b.bytes(kMagic, sizeof kMagic);
    b.put(kVersion);
    b.put(std::uint16_t{0});
    b.put(static_cast<std::uint32_t>(n));
    b.bytes(p, static_cast<std::size_t>(n));
    b.put(static_cast<std::uint32_t>(crc32(0L, reinterpret_cast<const Bytef*>(p), static_cast<uInt>(n))));
    return Ref::steal(PyBytes_FromStringAndSize(b.data(), static_cast<Py_ssize_t>(b.size())));
}

}  // namespace ferrule::recording
