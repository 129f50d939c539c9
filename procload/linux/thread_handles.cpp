// The table of handed-out thread handles. A thread enters it when it first
// asks for its handle and leaves it from its own exit path (the destructor of
// a thread_local runs in the ending thread before the C library releases the
// thread's descriptor). Clocks are read under the table's lock, so an ending
// thread waits in that destructor until a read of its clock is over: no read
// ever touches a released descriptor.
#include "procload/linux/thread_handles.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <pthread.h>

namespace {

std::mutex handlesLock;
int64_t* handles = nullptr; // the live handles, in no order
size_t handleCount = 0;
size_t handleCapacity = 0;

bool known(int64_t handle)
{
    for (size_t i = 0; i < handleCount; i++) {
        if (handles[i] == handle) {
            return true;
        }
    }
    return false;
}

bool add(int64_t handle)
{
    if (handleCount == handleCapacity) {
        size_t capacity = handleCapacity == 0 ? 64 : handleCapacity * 2;
        auto* grown = static_cast<int64_t*>(realloc(handles, capacity * sizeof(int64_t)));
        if (grown == nullptr) {
            return false;
        }
        handles = grown;
        handleCapacity = capacity;
    }
    handles[handleCount++] = handle;
    return true;
}

void drop(int64_t handle)
{
    for (size_t i = 0; i < handleCount; i++) {
        if (handles[i] == handle) {
            handles[i] = handles[--handleCount];
            return;
        }
    }
}

struct Registration {
    int64_t handle = 0; // 0 until the thread is in the table

    Registration() = default;
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;
    ~Registration()
    {
        if (handle != 0) {
            std::lock_guard<std::mutex> guard(handlesLock);
            drop(handle);
        }
    }
};

thread_local Registration registration;

} // namespace

int64_t registerCurrentThread()
{
    auto handle = static_cast<int64_t>(pthread_self());
    if (registration.handle == 0) {
        std::lock_guard<std::mutex> guard(handlesLock);
        // Without memory for the entry the handle is still answered; its
        // clock reads nothing until a later call gets the entry in.
        if (add(handle)) {
            registration.handle = handle;
        }
    }
    return handle;
}

bool readRegisteredThreadCpu(int64_t handle, int* rc1, int* rc2, uint64_t* nanos)
{
    *rc1 = ESRCH;
    *rc2 = -1;
    std::lock_guard<std::mutex> guard(handlesLock);
    if (handle == 0 || !known(handle)) {
        return false;
    }
    clockid_t clock;
    *rc1 = pthread_getcpuclockid(static_cast<pthread_t>(handle), &clock);
    if (*rc1 != 0) {
        return false;
    }
    timespec value{};
    *rc2 = clock_gettime(clock, &value);
    if (*rc2 != 0) {
        return false;
    }
    *nanos = static_cast<uint64_t>(value.tv_sec) * 1000000000U + static_cast<uint64_t>(value.tv_nsec);
    return true;
}
