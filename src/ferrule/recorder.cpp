// The recorder. The entry observer runs on the calling thread with the GIL:
// it reads what the bridge will read for that callback, encodes it into a
// thread-local buffer (no Python object is kept), and appends the whole
// record to the current block under a mutex that is never held across a
// call into Python. The writer thread takes full blocks at once and the
// current one at least twice a second, compresses each on its own and
// writes it; it never touches the interpreter. A full queue drops the record
// and counts it: the recorder never makes a callback wait. A write error
// ends the recording; the next callback (or stop_recording) warns once.
#include "ferrule/recorder.hpp"

#include <datetime.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "ferrule/callbacks.hpp"
#include "ferrule/entry.hpp"
#include "ferrule/recording_format.hpp"
#include "ferrule/shapes.hpp"
#include "ferrule/state.hpp"
#include "glue/module.hpp"

#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the recording format is written with the host's byte order, which must be little-endian"
#endif

namespace ferrule {

namespace {

namespace rf = recording;
using glue::Name;
using glue::Ref;

constexpr std::size_t kBlockBytes = 256 * 1024;
constexpr std::size_t kMaxQueuedBlocks = 64;  // 16 MiB waiting for the writer at most
constexpr std::size_t kSpareBlocks = 4;
constexpr std::size_t kMaxRecord = 64 * 1024 * 1024;  // a bigger one is dropped (and counted)
constexpr auto kFlushEvery = std::chrono::milliseconds(500);
constexpr int kMaxDepth = 32;
constexpr int kLevel = 1;  // the writer keeps up with a busy feed; the data compresses well anyway

// ---------------------------------------------------------------------------------------------------------------
// Bytes: a growable buffer with cheap appends.

// Plain malloc'd storage: no out-of-line template code of the standard
// library ends up in the module's exported symbols.
class Bytes {
public:
    Bytes() = default;
    Bytes(const Bytes&) = delete;
    Bytes& operator=(const Bytes&) = delete;
    Bytes(Bytes&& o) noexcept : buf_(o.buf_), cap_(o.cap_), n_(o.n_) { o.buf_ = nullptr, o.cap_ = o.n_ = 0; }
    Bytes& operator=(Bytes&& o) noexcept {
        std::swap(buf_, o.buf_);
        std::swap(cap_, o.cap_);
        std::swap(n_, o.n_);
        return *this;
    }
    ~Bytes() { std::free(buf_); }

    char* grow(std::size_t k) {
        if (k > cap_ - n_) reserve(std::max(cap_ * 2, n_ + k + 256));
        char* p = buf_ + n_;
        n_ += k;
        return p;
    }
    template <class T>
    void put(T v) {
        std::memcpy(grow(sizeof v), &v, sizeof v);
    }
    void tag(rf::Tag t) { put(static_cast<std::uint8_t>(t)); }
    void bytes(const void* p, std::size_t k) {
        if (k) std::memcpy(grow(k), p, k);
    }
    void reserve(std::size_t k) {
        if (k <= cap_) return;
        void* p = std::realloc(buf_, k);
        if (!p) throw std::bad_alloc();
        buf_ = static_cast<char*>(p);
        cap_ = k;
    }
    char* at(std::size_t off) { return buf_ + off; }
    const char* data() const { return buf_; }
    std::size_t size() const { return n_; }
    void clear() { n_ = 0; }
    void truncate(std::size_t n) { n_ = n; }

private:
    char* buf_ = nullptr;
    std::size_t cap_ = 0;
    std::size_t n_ = 0;
};

template <class T>
void patch(Bytes& b, std::size_t off, T v) {
    std::memcpy(b.at(off), &v, sizeof v);
}

// ---------------------------------------------------------------------------------------------------------------
// What each callback reads: its row (callbacks.hpp) and its messages' shapes (shapes.hpp).

Name k_config{"config"};
Name k_base{"base"};
Name k_now{"now"};
Name k_value_attr{"_value_"};
Name k_module_attr{"__module__"};
Name k_utcoffset{"utcoffset"};
Name k_Enum{"Enum"};
Name k_dumps{"dumps"};
Global gl_datetime{"datetime"};

using callbacks::Arg;
using callbacks::ArgShape;

// The arguments a callback's row records: those up to the first empty one.
int recorded_args(const callbacks::Row& row) {
    int n = 0;
    while (n < callbacks::kMaxArgs && row.args[n].name) ++n;
    return n;
}

// ---------------------------------------------------------------------------------------------------------------
// Encoding values. Everything here runs with the GIL and leaves no error set.

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
    b.tag(rf::RAISED);
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
    b.tag(rf::RAISED);
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
        b.tag(rf::INT);
        b.put(compact);
        return;
    }
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (!overflow && !(x == -1 && PyErr_Occurred())) {
        b.tag(rf::INT);
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
    b.tag(rf::BIGINT);
    b.put(static_cast<std::uint32_t>(n));
    b.bytes(p, static_cast<std::size_t>(n));
}

// Types seen that need more than a tag: enumerations (with their members'
// encodings) and everything else written as OTHER. Entries are filled
// before they are counted and never move, so a thread that re-enters the
// encoder through Python code (an attribute that is a property) is safe.
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
    // Only with the GIL, when no encoder runs.
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
PyObject* enum_base = nullptr;  // enum.Enum, while recording

void put_value(Bytes& b, PyObject* v, int depth);

void put_list(Bytes& b, PyObject* v, int depth) {
    Py_ssize_t n = PyList_GET_SIZE(v);
    bool floats = n > 0, ints = n > 0;
    for (Py_ssize_t i = 0; i < n && (floats || ints); ++i) {
        PyTypeObject* t = Py_TYPE(PyList_GET_ITEM(v, i));
        floats = floats && t == &PyFloat_Type;
        ints = ints && t == &PyLong_Type;
    }
    if (floats) {
        b.tag(rf::FLOATS);
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
        b.tag(rf::INTS);
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
    // Items are held while encoded: their str() may run code that changes the list.
    b.tag(rf::LIST);
    std::size_t count_at = b.size();
    b.put(std::uint32_t{0});
    std::uint32_t count = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i, ++count) {
        Ref item = Ref::borrow(PyList_GET_ITEM(v, i));
        put_value(b, item.get(), depth + 1);
    }
    patch(b, count_at, count);
}

void put_dict(Bytes& b, PyObject* v, int depth) {
    Ref items = Ref::steal(PyDict_Items(v));  // a copy: encoding may run code that changes the dict
    if (!items) {
        put_raised(b);
        return;
    }
    Py_ssize_t n = PyList_GET_SIZE(items.get());
    b.tag(rf::DICT);
    b.put(static_cast<std::uint32_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* kv = PyList_GET_ITEM(items.get(), i);
        put_value(b, PyTuple_GET_ITEM(kv, 0), depth + 1);
        put_value(b, PyTuple_GET_ITEM(kv, 1), depth + 1);
    }
}

void put_datetime(Bytes& b, PyObject* v) {
    std::int32_t offset = rf::kNaive;
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
    b.tag(rf::DATETIME);
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
void put_enum(Bytes& b, PyObject* v, TypeInfo* info, const std::string& path, int depth) {
    if (info)
        for (int k = 0; k < info->n_members; ++k)
            if (info->members[k] == v) {
                b.bytes(info->encoded[k].data(), info->encoded[k].size());
                return;
            }
    std::size_t start = b.size();
    b.tag(rf::ENUM);
    put_str16(b, path);
    Ref value = glue::getattr(v, k_value_attr);
    if (!value) {
        put_raised(b);
        return;
    }
    put_value(b, value.get(), depth + 1);
    if (info && info->n_members < TypeInfo::kMembers) {
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
        is_enum = enum_base && PyType_IsSubtype(tp, reinterpret_cast<PyTypeObject*>(enum_base));
        path_storage = type_path(tp);
        info = type_cache.add(tp, is_enum, path_storage);
        path = info ? &info->path : &path_storage;
    }
    if (is_enum) {
        put_enum(b, v, info, *path, depth);
        return;
    }
    b.tag(rf::OTHER);
    put_str16(b, *path);
    if (PyLong_Check(v)) {
        put_int(b, v);
    } else if (PyFloat_Check(v)) {
        b.tag(rf::FLOAT);
        b.put(PyFloat_AS_DOUBLE(v));
    } else if (PyUnicode_Check(v)) {
        b.tag(rf::STR);
        put_text(b, v);
    } else {
        Ref text = Ref::steal(PyObject_Str(v));
        if (!text || !PyUnicode_Check(text.get())) {
            if (text) PyErr_SetString(PyExc_TypeError, "__str__ returned non-string");
            put_raised(b);
            return;
        }
        b.tag(rf::STR);
        put_text(b, text.get());
    }
}

void put_value(Bytes& b, PyObject* v, int depth) {
    PyTypeObject* tp = Py_TYPE(v);
    if (tp == &PyFloat_Type) {
        b.tag(rf::FLOAT);
        b.put(PyFloat_AS_DOUBLE(v));
    } else if (tp == &PyLong_Type) {
        put_int(b, v);
    } else if (tp == &PyUnicode_Type) {
        b.tag(rf::STR);
        put_text(b, v);
    } else if (v == Py_None) {
        b.tag(rf::NONE);
    } else if (v == Py_True || v == Py_False) {
        b.tag(v == Py_True ? rf::TRUE_ : rf::FALSE_);
    } else if (depth >= kMaxDepth) {
        put_raised_text(b, "RecursionError", "nested too deep to record");
    } else if (tp == &PyList_Type) {
        put_list(b, v, depth);
    } else if (tp == &PyTuple_Type) {
        Py_ssize_t n = PyTuple_GET_SIZE(v);
        b.tag(rf::TUPLE);
        b.put(static_cast<std::uint32_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) put_value(b, PyTuple_GET_ITEM(v, i), depth + 1);
    } else if (tp == &PyDict_Type) {
        put_dict(b, v, depth);
    } else if (tp == &PyBytes_Type) {
        b.tag(rf::BYTES);
        b.put(static_cast<std::uint32_t>(PyBytes_GET_SIZE(v)));
        b.bytes(PyBytes_AS_STRING(v), static_cast<std::size_t>(PyBytes_GET_SIZE(v)));
    } else if (PyDateTime_Check(v)) {  // before the type cache, which never holds them (the clock)
        put_datetime(b, v);
    } else if (PyDate_Check(v)) {
        b.tag(rf::DATE);
        b.put(static_cast<std::int32_t>(PyDateTime_GET_YEAR(v)));
        b.put(static_cast<std::uint8_t>(PyDateTime_GET_MONTH(v)));
        b.put(static_cast<std::uint8_t>(PyDateTime_GET_DAY(v)));
    } else if (TypeInfo* info = type_cache.find(tp)) {  // an enumeration seen before (market types, statuses)
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
    b.tag(rf::MESSAGE);
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
    b.tag(rf::LIST);
    std::size_t count_at = b.size();
    b.put(std::uint32_t{0});
    std::uint32_t count = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i, ++count) {
        Ref item = Ref::borrow(PyList_GET_ITEM(v, i));
        put_message(b, item.get(), shape);
    }
    patch(b, count_at, count);
}

void put_config(Bytes& b, PyObject* self, Shape& shape) {
    Ref config = glue::getattr(self, k_config);
    Ref base = config ? glue::getattr(config.get(), k_base) : Ref();
    if (!base)
        put_raised(b);
    else
        put_message(b, base.get(), shape);
}

std::int64_t now_ns(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}
std::int64_t monotonic_ns() { return now_ns(std::chrono::steady_clock::now()); }
std::int64_t wall_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Record head: size (patched at the end), callback, flags, the two times.
void begin_record(Bytes& b, std::uint8_t callback, std::uint8_t flags) {
    b.put(std::uint32_t{0});
    b.put(callback);
    b.put(flags);
    b.put(monotonic_ns());
    b.put(wall_ns());
}
void end_record(Bytes& b) { patch(b, 0, static_cast<std::uint32_t>(b.size() - 4)); }

// ---------------------------------------------------------------------------------------------------------------
// The writer: blocks in, compressed blocks out, on a thread that never touches the interpreter.

struct Block {
    Bytes data;
    std::uint32_t records = 0;
};

struct Totals {
    unsigned long long records = 0;    // written to the file
    unsigned long long bytes = 0;      // file bytes written
    unsigned long long raw_bytes = 0;  // encoded bytes written, before compression
    unsigned long long blocks = 0;
    unsigned long long dropped = 0;    // records lost: queue full, or not written after a failure
};

class Writer {
public:
    Writer(int fd, std::string path, std::string header) : fd_(fd), path_(std::move(path)), header_(std::move(header)) {
        current_.data.reserve(kBlockBytes);
    }
    ~Writer() {
        if (fd_ >= 0) ::close(fd_);
    }

    void start() { thread_ = std::thread([this] { run(); }); }

    // From a callback thread: one whole record. Never waits for the writer.
    void append(const Bytes& rec) {
        bool wake = false;
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (stopping_ || failed_.load(std::memory_order_relaxed)) return;
            if (current_.records > 0 && current_.data.size() + rec.size() > kBlockBytes) {
                if (full_.size() >= kMaxQueuedBlocks) {
                    ++totals_.dropped;
                    return;
                }
                full_.push_back(std::move(current_));
                current_ = take_spare();
                wake = true;
            }
            current_.data.bytes(rec.data(), rec.size());
            ++current_.records;
        }
        if (wake) cv_.notify_one();
    }

    // Ends the thread once everything taken is written; call without the GIL.
    void stop_and_join() {
        {
            std::lock_guard<std::mutex> lock(mu_);
            stopping_ = true;
        }
        cv_.notify_one();
        if (thread_.joinable()) thread_.join();
    }

    bool failed() const { return failed_.load(std::memory_order_acquire); }
    void count_dropped() {
        std::lock_guard<std::mutex> lock(mu_);
        ++totals_.dropped;
    }
    const std::string& path() const { return path_; }
    Totals totals() {
        std::lock_guard<std::mutex> lock(mu_);
        return totals_;
    }
    std::string error() {
        std::lock_guard<std::mutex> lock(mu_);
        return error_;
    }

private:
    Block take_spare() {
        if (!spare_.empty()) {
            Block b = std::move(spare_.back());
            spare_.pop_back();
            return b;
        }
        Block b;
        b.data.reserve(kBlockBytes);
        return b;
    }

    bool write_all(const char* p, std::size_t n) {
        while (n > 0) {
            ssize_t k = ::write(fd_, p, n);
            if (k < 0) {
                if (errno == EINTR) continue;
                errno_ = errno;
                return false;
            }
            p += k;
            n -= static_cast<std::size_t>(k);
        }
        return true;
    }

    // The block's size in the file, or 0 with errno_ set.
    std::size_t write_block(const Block& b) {
        uLongf packed = compressBound(static_cast<uLong>(b.data.size()));
        out_.clear();
        out_.reserve(rf::kBlockHeaderSize + packed);
        auto* payload = reinterpret_cast<unsigned char*>(out_.at(rf::kBlockHeaderSize));
        int rc = compress2(payload, &packed, reinterpret_cast<const Bytef*>(b.data.data()),
                           static_cast<uLong>(b.data.size()), kLevel);
        if (rc != Z_OK) {
            errno_ = ENOMEM;
            return 0;
        }
        std::uint32_t head[4] = {static_cast<std::uint32_t>(b.data.size()), static_cast<std::uint32_t>(packed),
                                 b.records, static_cast<std::uint32_t>(crc32(0L, payload, static_cast<uInt>(packed)))};
        std::memcpy(out_.at(0), rf::kBlockMagic, 4);
        std::memcpy(out_.at(4), head, sizeof head);
        std::size_t n = rf::kBlockHeaderSize + packed;
        return write_all(out_.data(), n) ? n : 0;
    }

    void fail(const char* what) {
        std::string text(what);
        text.append(" ").append(path_).append(": ").append(std::generic_category().message(errno_));
        std::lock_guard<std::mutex> lock(mu_);
        error_ = text;
        totals_.dropped += current_.records;
        for (const Block& b : full_) totals_.dropped += b.records;
        full_.clear();
        current_.data.clear();
        current_.records = 0;
        failed_.store(true, std::memory_order_release);
    }

    void run() {
        try {
            write_file();
        } catch (const std::bad_alloc&) {
            errno_ = ENOMEM;
            fail("writing");
        }
    }

    void write_file() {
        if (!write_all(header_.data(), header_.size())) {
            fail("writing");
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mu_);
            totals_.bytes += header_.size();
        }
        std::vector<Block> todo;
        std::unique_lock<std::mutex> lock(mu_);
        auto last_flush = std::chrono::steady_clock::now();
        for (;;) {
            cv_.wait_until(lock, last_flush + kFlushEvery, [this] { return stopping_ || !full_.empty(); });
            for (Block& b : full_) todo.push_back(std::move(b));
            full_.clear();
            auto now = std::chrono::steady_clock::now();
            bool due = stopping_ || now >= last_flush + kFlushEvery;
            if (due) {
                last_flush = now;
                if (current_.records > 0) {
                    todo.push_back(std::move(current_));
                    current_ = take_spare();
                }
            }
            bool last = stopping_;
            lock.unlock();
            Totals done;
            bool ok = true;
            std::size_t written = 0;
            for (; written < todo.size(); ++written) {
                std::size_t n = write_block(todo[written]);
                if (n == 0) {
                    ok = false;
                    break;
                }
                done.records += todo[written].records;
                done.raw_bytes += todo[written].data.size();
                done.bytes += n;
                done.blocks += 1;
            }
            lock.lock();
            totals_.records += done.records;
            totals_.raw_bytes += done.raw_bytes;
            totals_.blocks += done.blocks;
            totals_.bytes += done.bytes;
            if (!ok) {
                for (std::size_t i = written; i < todo.size(); ++i) totals_.dropped += todo[i].records;
                todo.clear();
                lock.unlock();
                fail("writing");
                return;
            }
            for (Block& b : todo) {
                b.data.clear();
                b.records = 0;
                if (spare_.size() < kSpareBlocks) spare_.push_back(std::move(b));
            }
            todo.clear();
            if (last && full_.empty() && current_.records == 0) break;
        }
        lock.unlock();
        int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) {
            errno_ = errno;
            fail("closing");
        }
    }

    int fd_;
    std::string path_;
    std::string header_;
    std::thread thread_;
    std::mutex mu_;
    std::condition_variable cv_;
    Block current_;
    std::deque<Block> full_;
    std::vector<Block> spare_;
    bool stopping_ = false;
    std::atomic<bool> failed_{false};
    Totals totals_;
    std::string error_;
    Bytes out_;                       // the writer thread's compression buffer
    int errno_ = 0;                   // the writer thread's last error
};

// ---------------------------------------------------------------------------------------------------------------
// The switch.

struct Last {  // the most recent recording, once it has ended
    std::string path;
    Totals totals;
    std::string error;
};

Writer* writer = nullptr;     // the current recording (also after a failure, until stopped)
// Which recording a record was begun for: a property read while encoding may
// let another thread stop this recording and start the next one, whose writer
// can sit at the same address.
unsigned long long generation = 0;
bool observing = false;       // the observer is installed
bool warned = false;          // the failure of the current recording was reported
Last last;
bool have_last = false;
bool exit_hook = false;

// Per thread: a record is encoded here before it joins a block; `encoding`
// while one is (a nested call made by a property the recorder reads is the
// recorder's doing, not the gateway's, and is not recorded). Reached through
// one TLS access per record: the encoder works on plain memory.
struct ThreadBuffer {
    bool encoding = false;
    Bytes record;
};
thread_local std::unique_ptr<ThreadBuffer> thread_buffer_owner;

ThreadBuffer& thread_buffer() {
    std::unique_ptr<ThreadBuffer>& owner = thread_buffer_owner;
    if (!owner) owner.reset(new ThreadBuffer);
    return *owner;
}

void observe(Callback c, PyObject* const* args, bool nested);
void encode(Bytes& b, Callback c, PyObject* const* args, bool nested);
PyObject* recording_stats_impl();

// Reports a failed writer once, from a callback: a RuntimeWarning (an
// "error" filter's exception is dropped: the recorder must not change what a
// callback does; stats() keeps the error).
void warn_failure() {
    if (warned || !writer || !writer->failed()) return;
    warned = true;
    std::string text("ferrule: recording to ");
    text.append(writer->path()).append(" stopped: ").append(writer->error());
    if (PyErr_WarnEx(PyExc_RuntimeWarning, text.c_str(), 1) < 0) PyErr_Clear();
}

void detach_observer() {
    if (!observing) return;
    set_entry_observer(nullptr);
    observing = false;
}

// Ends the current recording: the observer first, then the writer's thread
// (joined without the GIL), then the caches. 0, or -1 with an error set
// (a warning turned into an error by a filter).
int finish(bool may_raise) {
    if (!writer) return 0;
    detach_observer();
    // Taken over before the GIL is let go, so a second stop on another thread
    // finds nothing to join or delete.
    Writer* w = writer;
    writer = nullptr;
    ++generation;
    Py_BEGIN_ALLOW_THREADS
    w->stop_and_join();
    Py_END_ALLOW_THREADS
    last.path = w->path();
    last.totals = w->totals();
    last.error = w->error();
    have_last = true;
    delete w;
    type_cache.clear();
    Py_CLEAR(enum_base);
    if (warned || last.error.empty()) return 0;
    warned = true;
    std::string text("ferrule: recording to ");
    text.append(last.path).append(" stopped: ").append(last.error);
    if (PyErr_WarnEx(PyExc_RuntimeWarning, text.c_str(), 1) == 0) return 0;
    if (may_raise) return -1;
    PyErr_Clear();
    return 0;
}

// At interpreter exit, after finalization: the writer needs no interpreter.
void at_exit() {
    if (!writer) return;
    writer->stop_and_join();
}

// A child of fork() has no writer thread: it records nothing, and leaves the
// parent's writer (whose mutex may be held by a thread that is not there) alone.
void after_fork_in_child() {
    if (!writer) return;
    writer = nullptr;
    observing = false;
    set_entry_observer(nullptr);
}

// A whole record, encoded by `put` into this thread's buffer, appended to the
// recording it was begun for (none: dropped and counted). False when nothing
// was appended. Any exception set on the way in is kept aside and put back
// unchanged; the recorder's own are cleared.
template <class Put>
bool record_one(Put&& put) {
    Writer* w = writer;
    if (!w) return false;
    glue::PendingError pending;
    if (w->failed()) {
        detach_observer();
        warn_failure();
        if (PyErr_Occurred()) PyErr_Clear();
        if (pending) pending.restore();
        return false;
    }
    ThreadBuffer* tbp;
    try {
        tbp = &thread_buffer();
    } catch (const std::bad_alloc&) {
        if (pending) pending.restore();
        return false;
    }
    ThreadBuffer& tb = *tbp;
    if (tb.encoding) {
        if (pending) pending.restore();
        return false;
    }
    unsigned long long gen = generation;
    tb.encoding = true;
    Bytes& b = tb.record;
    b.clear();
    try {
        put(b);
    } catch (const std::bad_alloc&) {
        b.clear();  // no memory for the record: it is lost, the callback goes on
    }
    tb.encoding = false;
    if (PyErr_Occurred()) PyErr_Clear();  // every step clears its own; this is the contract's guard
    if (pending) pending.restore();
    // A property read while encoding may have let another thread stop this recording.
    if (writer != w || generation != gen) return false;
    if (b.size() == 0 || b.size() > kMaxRecord) {
        w->count_dropped();
        return false;
    }
    try {
        w->append(b);
    } catch (const std::bad_alloc&) {
        w->count_dropped();
        return false;
    }
    return true;
}

void observe(Callback c, PyObject* const* args, bool nested) {
    record_one([&](Bytes& b) { encode(b, c, args, nested); });
}

// The whole record of one call into b.
void encode(Bytes& b, Callback c, PyObject* const* args, bool nested) {
    const callbacks::Row& row = callback_row(c);
    std::uint8_t flags = (nested ? rf::kNested : 0) | (row.clock ? rf::kClock : 0);
    begin_record(b, static_cast<std::uint8_t>(c), flags);
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

// ---------------------------------------------------------------------------------------------------------------
// The header: the schema of every callback, as JSON.

Ref field_names(const Shape& shape) {
    Ref out = Ref::steal(PyList_New(0));
    for (std::size_t i = 0; i < shape.size(); ++i)
        if (!out || PyList_Append(out.get(), shape.name(i)) < 0) return Ref();
    return out;
}

int set_item(PyObject* d, const char* key, PyObject* v) { return v ? PyDict_SetItemString(d, key, v) : -1; }
int set_steal(PyObject* d, const char* key, PyObject* v) {
    Ref r = Ref::steal(v);
    return set_item(d, key, r.get());
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
        set_steal(d.get(), "version", PyLong_FromLong(rf::kVersion)) < 0 ||
        set_item(d.get(), "module", g.module_name) < 0 || set_item(d.get(), "python", version) < 0 ||
        set_steal(d.get(), "monotonic_ns", PyLong_FromLongLong(mono)) < 0 ||
        set_steal(d.get(), "wall_ns", PyLong_FromLongLong(wall)) < 0 ||
        set_steal(d.get(), "mark", PyLong_FromLong(rf::kMarkCallback)) < 0 ||
        set_item(d.get(), "callbacks", callbacks.get()) < 0 || set_item(d.get(), "meta", meta) < 0)
        return Ref();
    Ref json = Ref::steal(PyImport_ImportModule("json"));
    Ref text = json ? glue::call_method(json.get(), k_dumps.get(), d.get()) : Ref();
    if (!text) return Ref();
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(text.get(), &n);
    if (!p) return Ref();
    Bytes b;
    b.bytes(rf::kMagic, sizeof rf::kMagic);
    b.put(rf::kVersion);
    b.put(std::uint16_t{0});
    b.put(static_cast<std::uint32_t>(n));
    b.bytes(p, static_cast<std::size_t>(n));
    b.put(static_cast<std::uint32_t>(crc32(0L, reinterpret_cast<const Bytef*>(p), static_cast<uInt>(n))));
    return Ref::steal(PyBytes_FromStringAndSize(b.data(), static_cast<Py_ssize_t>(b.size())));
}

// ---------------------------------------------------------------------------------------------------------------
// Module functions.

// The recording's file, created owner-only: it holds accounts, balances and
// every order. An existing path is never written over unless `overwrite`;
// then a file or a symbolic link there is replaced by a new file, made
// beside it and renamed over it, so a link's target is never touched and the
// old file stays whole until the new one is in place. A FIFO or a character
// device (a pipe to a reader, /dev/null) is written to as it is: nothing
// there is lost. A descriptor, or -1 with errno set. Runs without the GIL.
int open_recording_file(const std::string& file, bool overwrite) {
    const char* path = file.c_str();
    int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EEXIST) return fd;
    struct stat st;
    if (::lstat(path, &st) < 0) return -1;
    auto is_stream = [](const struct stat& s) { return S_ISFIFO(s.st_mode) || S_ISCHR(s.st_mode); };
    if (is_stream(st)) {
        fd = ::open(path, O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) return -1;
        if (::fstat(fd, &st) == 0 && is_stream(st)) return fd;
        ::close(fd);  // replaced in between by something that writing would overwrite
        errno = EEXIST;
        return -1;
    }
    if (!overwrite || !(S_ISREG(st.st_mode) || S_ISLNK(st.st_mode))) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EEXIST;
        return -1;
    }
    std::string tmp = file + ".XXXXXX";
    fd = ::mkostemp(&tmp[0], O_CLOEXEC);  // 0600, and never an existing name
    if (fd < 0) return -1;
    if (::rename(tmp.c_str(), path) < 0) {
        int err = errno;
        ::close(fd);
        ::unlink(tmp.c_str());
        errno = err;
        return -1;
    }
    return fd;
}

// start_recording once the start is claimed.
PyObject* start_claimed(PyObject* const* a) {
    int overwrite = PyObject_IsTrue(a[2]);
    if (overwrite < 0) return nullptr;
    if (finish(true) < 0) return nullptr;  // a failed recording not yet stopped
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(a[0], &converted)) return nullptr;
    Ref fs_path = Ref::steal(converted);
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) return nullptr;
    Ref enum_module = Ref::steal(PyImport_ImportModule("enum"));
    Ref enum_cls = enum_module ? glue::getattr(enum_module.get(), k_Enum) : Ref();
    if (!enum_cls) return nullptr;
    Ref meta = Ref::borrow(a[1]);
    Ref header = header_bytes(meta.get(), monotonic_ns(), wall_ns());
    if (!header) return nullptr;
    std::string file(PyBytes_AS_STRING(fs_path.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(fs_path.get())));
    int fd;
    Py_BEGIN_ALLOW_THREADS
    fd = open_recording_file(file, overwrite);
    Py_END_ALLOW_THREADS
    if (fd < 0) {
        int err = errno;
        std::string error("opening ");
        error.append(file).append(": ").append(std::generic_category().message(err));
        last = Last{file, Totals{}, error};
        have_last = true;
        if (err == EEXIST) {  // one line that says what to do
            Ref args = Ref::steal(Py_BuildValue("(isO)", err, "File exists (overwrite=True replaces it)", a[0]));
            if (args) PyErr_SetObject(PyExc_FileExistsError, args.get());
            return nullptr;
        }
        errno = err;
        return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, a[0]);
    }
    Writer* w = nullptr;
    try {
        std::string head(PyBytes_AS_STRING(header.get()),
                         static_cast<std::size_t>(PyBytes_GET_SIZE(header.get())));
        w = new Writer(fd, file, std::move(head));
    } catch (const std::bad_alloc&) {
        ::close(fd);  // the writer that would own it was never made
        return PyErr_NoMemory();
    }
    try {
        w->start();
    } catch (const std::system_error& e) {
        delete w;
        PyErr_Format(PyExc_RuntimeError, "cannot start the recording thread: %s", e.what());
        return nullptr;
    }
    if (!exit_hook) {
        exit_hook = true;
        Py_AtExit(at_exit);
        pthread_atfork(nullptr, nullptr, after_fork_in_child);
    }
    // After a fork the child's writer was dropped without finish(): what it cached goes now.
    type_cache.clear();
    Py_XSETREF(enum_base, enum_cls.release());
    writer = w;
    ++generation;
    warned = false;
    set_entry_observer(observe);
    observing = true;
    Py_RETURN_NONE;
}

// One start at a time: claimed before start_claimed runs any Python code (a
// warning, __fspath__, json.dumps), during which another thread could start
// a second writer over the first.
bool starting = false;

PyObject* start_recording(PyObject* const* a) {
    if (writer && !writer->failed()) {
        PyErr_Format(PyExc_RuntimeError, "already recording to %s", writer->path().c_str());
        return nullptr;
    }
    if (starting) {
        PyErr_SetString(PyExc_RuntimeError, "a recording is being started");
        return nullptr;
    }
    struct Claim {
        Claim() { starting = true; }
        ~Claim() { starting = false; }
    } claim;
    return start_claimed(a);
}

PyObject* stop_recording(PyObject* const*) {
    if (!writer) Py_RETURN_NONE;
    if (finish(true) < 0) return nullptr;
    return recording_stats();
}

PyObject* is_recording(PyObject* const*) { return PyBool_FromLong(writer && observing && !writer->failed()); }

PyObject* record_mark(PyObject* const* a) {
    if (!writer || !observing || writer->failed()) Py_RETURN_FALSE;
    bool kept = record_one([&](Bytes& b) {
        begin_record(b, rf::kMarkCallback, 0);
        b.put(std::uint8_t{2});
        put_value(b, a[0], 0);
        put_value(b, a[1], 0);
        end_record(b);
    });
    return PyBool_FromLong(kept);
}

// A module function whose C++ may run out of memory: MemoryError, as Python's own would.
template <PyObject* (*F)(PyObject* const*)>
PyObject* guarded(PyObject* const* a) {
    try {
        return F(a);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

const glue::Signature kStart{
    "start_recording", {"path", "meta", "overwrite"}, 3, 1, guarded<start_recording>,
    "Records every call into VelaStrategy from now on into a new file at path, readable by its owner alone:\n"
    "the callback, its monotonic and wall-clock times and what the bridge reads from its message, before it\n"
    "runs. meta (anything json.dumps takes) is stored in the file's header. An existing file is left alone\n"
    "(FileExistsError) unless overwrite=True, which replaces it (a symbolic link at path is replaced, never\n"
    "followed). Raises OSError when the file cannot be created and RuntimeError while a recording is on; a\n"
    "write error later ends the recording with a RuntimeWarning and shows in stats()['recording'], while the\n"
    "callbacks go on.",
    1};
const glue::Signature kStop{
    "stop_recording", {}, 0, 0, guarded<stop_recording>,
    "Ends the recording: what is buffered is written and the file closed. Returns stats()['recording'],\n"
    "or None when no recording was on."};
const glue::Signature kIs{"is_recording", {}, 0, 0, is_recording, "True while a recording is on and writing."};
const glue::Signature kMark{
    "record_mark", {"label", "value"}, 2, 1, guarded<record_mark>,
    "Writes a mark (label, value) into the recording, in order with the callbacks: the engine's own\n"
    "points of interest, such as the moments it caught up with the queue. False when not recording."};
const glue::Signature kDecode{
    "decode_records", {"data", "messages", "resolve", "memo"}, 4, 4, guarded<decode_records>,
    "Decodes the records of one uncompressed block into a list of (callback, flags, monotonic_ns, wall_ns,\n"
    "clock, args). messages[callback] holds, per argument, None or\n"
    "(cls, field names): a message is built as cls.__new__(cls) with each recorded field set (a dict when cls\n"
    "is None); a field whose read raised is left unset. resolve(kind, name, value) builds what the file names\n"
    "by type: 'enum' (cached in memo), 'other' and 'raised'."};

}  // namespace

// Called by stats.cpp.
PyObject* recording_stats() {
    try {
        return recording_stats_impl();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

namespace {

PyObject* recording_stats_impl() {
    bool active = writer && observing && !writer->failed();
    std::string path, error;
    Totals t;
    if (writer) {
        path = writer->path();
        t = writer->totals();
        error = writer->error();
    } else if (have_last) {
        path = last.path;
        t = last.totals;
        error = last.error;
    }
    Ref d = Ref::steal(PyDict_New());
    if (!d) return nullptr;
    auto size = [](const std::string& t) { return static_cast<Py_ssize_t>(t.size()); };
    Ref p = have_last || writer ? Ref::steal(PyUnicode_DecodeFSDefaultAndSize(path.data(), size(path)))
                                : Ref::borrow(Py_None);
    Ref e = error.empty() ? Ref::borrow(Py_None)
                          : Ref::steal(PyUnicode_DecodeUTF8(error.data(), size(error), "replace"));
    if (set_item(d.get(), "active", active ? Py_True : Py_False) < 0 || set_item(d.get(), "path", p.get()) < 0 ||
        set_steal(d.get(), "records", PyLong_FromUnsignedLongLong(t.records)) < 0 ||
        set_steal(d.get(), "bytes", PyLong_FromUnsignedLongLong(t.bytes)) < 0 ||
        set_steal(d.get(), "raw_bytes", PyLong_FromUnsignedLongLong(t.raw_bytes)) < 0 ||
        set_steal(d.get(), "blocks", PyLong_FromUnsignedLongLong(t.blocks)) < 0 ||
        set_steal(d.get(), "dropped", PyLong_FromUnsignedLongLong(t.dropped)) < 0 ||
        set_item(d.get(), "error", e.get()) < 0)
        return nullptr;
    return d.release();
}

}  // namespace

int define_recording_functions(PyObject* module) {
    Ref none_default = Ref::steal(PyTuple_Pack(1, Py_None));
    Ref start_defaults = Ref::steal(PyTuple_Pack(2, Py_None, Py_False));
    if (!none_default || !start_defaults) return -1;
    if (glue::add_function(module, kStart, start_defaults.get()) < 0 || glue::add_function(module, kStop) < 0 ||
        glue::add_function(module, kIs) < 0 || glue::add_function(module, kMark, none_default.get()) < 0 ||
        glue::add_function(module, kDecode) < 0)
        return -1;
    return 0;
}

}  // namespace ferrule
