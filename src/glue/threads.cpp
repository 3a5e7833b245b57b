#include "glue/threads.hpp"

namespace glue {

#if PY_VERSION_HEX < 0x030D0000
// 3.12 has no PyMutex: a thread lock, made on first use (under the GIL, which
// every 3.12 build has), waited for with the GIL released.
void Mutex::lock() noexcept {
    if (!made_.load(std::memory_order_acquire)) {
        l_ = PyThread_allocate_lock();
        made_.store(true, std::memory_order_release);
    }
    if (!l_) return;  // out of memory: no lock to take, the GIL alone serialises
    if (PyThread_acquire_lock(l_, NOWAIT_LOCK)) return;
    Py_BEGIN_ALLOW_THREADS
    PyThread_acquire_lock(l_, WAIT_LOCK);
    Py_END_ALLOW_THREADS
}

void Mutex::unlock() noexcept {
    if (l_) PyThread_release_lock(l_);
}
#endif

}  // namespace glue
