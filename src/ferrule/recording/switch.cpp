// Recording on and off: the module functions, and the entry observer that
// records each call before it runs. A record is encoded into a buffer of the
// calling thread's (encoder.cpp) and appended whole to the current block of
// the writer (writer.cpp), whose thread compresses and writes it without
// the GIL. A write error ends the recording; the next callback (or
// stop_recording) warns once.
#include "ferrule/recording/recorder.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <utility>

#include "ferrule/entry.hpp"
#include "ferrule/recording/encoder.hpp"
#include "ferrule/recording/writer.hpp"
#include "glue/module.hpp"
#include "glue/runtime.hpp"
#include "glue/threads.hpp"

namespace ferrule {

namespace {

using glue::Ref;
using namespace recording;

constexpr std::size_t kMaxRecord = 64 * 1024 * 1024;  // a bigger one is dropped (and counted)

struct Last {  // the most recent recording, once it has ended
    std::string path;
    Totals totals;
    std::string error;
};

// The switch's state below is read and changed under `control`, in short
// stretches that run no Python code (so a callback made from inside one
// cannot wait for itself); the writer is joined and deleted outside it.
glue::Mutex control;

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

PyObject* recording_stats_impl();

// Reports a failed writer once, from a callback: a RuntimeWarning (an
// "error" filter's exception is dropped: the recorder must not change what a
// callback does; stats() keeps the error).
void warn_failure() {
    std::string text("ferrule: recording to ");
    {
        glue::MutexLock held(control);
        if (warned || !writer || !writer->failed()) return;
        warned = true;
        text.append(writer->path()).append(" stopped: ").append(writer->error());
    }
    if (PyErr_WarnEx(PyExc_RuntimeWarning, text.c_str(), 1) < 0) PyErr_Clear();
}

void detach_observer() {
    glue::MutexLock held(control);
    if (!observing) return;
    set_entry_observer(nullptr);
    observing = false;
}

// Ends the current recording: the observer first, then the writer's thread
// (joined without the GIL), then the caches. 0, or -1 with an error set
// (a warning turned into an error by a filter).
int finish(bool may_raise) {
    detach_observer();
    // Taken over in one piece, so a second stop on another thread finds
    // nothing to join or delete, and a record begun for it is dropped.
    Writer* w;
    {
        glue::MutexLock held(control);
        w = writer;
        if (!w) return 0;
        writer = nullptr;
        ++generation;
    }
    Py_BEGIN_ALLOW_THREADS
    w->stop_and_join();
    Py_END_ALLOW_THREADS
    std::string text("ferrule: recording to ");
    bool warn;
    {
        glue::MutexLock held(control);
        last.path = w->path();
        last.totals = w->totals();
        last.error = w->error();
        have_last = true;
        warn = !warned && !last.error.empty();
        if (warn) {
            warned = true;
            text.append(last.path).append(" stopped: ").append(last.error);
        }
    }
    delete w;
    forget_types();
    if (!warn) return 0;
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
    Writer* w;
    unsigned long long gen;
    bool failed;
    {
        glue::MutexLock held(control);
        w = writer;
        if (!w) return false;
        gen = generation;
        failed = w->failed();
    }
    glue::PendingError pending;
    if (failed) {
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
    // A property read while encoding, or another thread, may have stopped this recording.
    glue::MutexLock held(control);
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

void observe(Callback c, PyObject* const* args, bool nested, std::int64_t wall) {
    record_one([&](Bytes& b) { encode_call(b, c, args, nested, wall); });
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
    Ref enum_cls = encoder_types();
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
    remember_types(std::move(enum_cls));
    glue::MutexLock held(control);
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
    {
        glue::MutexLock held(control);
        if (writer && !writer->failed()) {
            PyErr_Format(PyExc_RuntimeError, "already recording to %s", writer->path().c_str());
            return nullptr;
        }
        if (starting) {
            PyErr_SetString(PyExc_RuntimeError, "a recording is being started");
            return nullptr;
        }
        starting = true;
    }
    struct Claim {
        ~Claim() {
            glue::MutexLock held(control);
            starting = false;
        }
    } claim;
    return start_claimed(a);
}

bool is_on() {
    glue::MutexLock held(control);
    return writer && observing && !writer->failed();
}

PyObject* stop_recording(PyObject* const*) {
    bool on;
    {
        glue::MutexLock held(control);
        on = writer != nullptr;
    }
    if (!on) Py_RETURN_NONE;
    if (finish(true) < 0) return nullptr;
    return recording_stats();
}

PyObject* is_recording(PyObject* const*) { return PyBool_FromLong(is_on()); }

PyObject* record_mark(PyObject* const* a) {
    if (!is_on()) Py_RETURN_FALSE;
    bool kept = record_one([&](Bytes& b) { encode_mark(b, a[0], a[1]); });
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
    bool active, named;
    std::string path, error;
    Totals t;
    {
        glue::MutexLock held(control);  // released before any object is made
        active = writer && observing && !writer->failed();
        named = have_last || writer;
        if (writer) {
            path = writer->path();
            t = writer->totals();
            error = writer->error();
        } else if (have_last) {
            path = last.path;
            t = last.totals;
            error = last.error;
        }
    }
    Ref d = Ref::steal(PyDict_New());
    if (!d) return nullptr;
    auto size = [](const std::string& t) { return static_cast<Py_ssize_t>(t.size()); };
    Ref p = named ? Ref::steal(PyUnicode_DecodeFSDefaultAndSize(path.data(), size(path)))
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
