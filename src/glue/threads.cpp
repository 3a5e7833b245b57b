#include "glue/threads.hpp"

#include <thread>

namespace glue {

#if PY_VERSION_HEX < 0x030D0000
void Mutex::wait() noexcept {
    Py_BEGIN_ALLOW_THREADS
    for (bool free = false; !held_.compare_exchange_weak(free, true, std::memory_order_acquire); free = false)
        std::this_thread::yield();
    Py_END_ALLOW_THREADS
}
#endif

}  // namespace glue
