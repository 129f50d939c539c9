// The table of live handles: a fixed number of buckets, each a list of
// entries, under one lock.  An entry stays in the table while calls use its
// record, also after its handle has been retired.
#include "procctl/process_handles.h"

#include <cstdint>
#include <cstdlib>
#include <mutex>

namespace {

struct HandleEntry {
    uint64_t id;
    void* record;
    void (*destroy)(void*);
    long uses;
    bool retired;
    bool reserved; // issued, but not yet handed out
    HandleEntry* next;
};

constexpr size_t BUCKETS = 1024;

std::mutex tableLock;
HandleEntry* buckets[BUCKETS];
uint64_t issued = 0;

HandleEntry** slotOf(uint64_t id)
{
    HandleEntry** slot = &buckets[(id ^ (id >> 32)) % BUCKETS];
    while (*slot != nullptr && (*slot)->id != id) {
        slot = &(*slot)->next;
    }
    return slot;
}

// Unlinks the entry when it is retired and unused, and hands it back for
// destruction outside the lock; null otherwise.
HandleEntry* takeIfFinished(HandleEntry** slot)
{
    HandleEntry* entry = *slot;
    if (!entry->retired || entry->uses != 0) {
        return nullptr;
    }
    *slot = entry->next;
    return entry;
}

void destroy(HandleEntry* entry)
{
    if (entry != nullptr) {
        entry->destroy(entry->record);
        free(entry);
    }
}

} // namespace

jlong process_IssueHandle(void* record, void (*destroyRecord)(void*))
{
    jlong handle = process_ReserveHandle(record, destroyRecord);
    process_PublishHandle(handle);
    return handle;
}

jlong process_ReserveHandle(void* record, void (*destroyRecord)(void*))
{
    auto* entry = static_cast<HandleEntry*>(calloc(1, sizeof(HandleEntry)));
    if (entry == nullptr) {
        return 0;
    }
    entry->record = record;
    entry->destroy = destroyRecord;
    entry->reserved = true;
    std::lock_guard<std::mutex> lock(tableLock);
    // An odd multiplier maps the count one to one onto numbers spread over
    // the whole range, none of them 0, and far from small integers.
    entry->id = ++issued * 0x9E3779B97F4A7C15ULL;
    HandleEntry** slot = slotOf(entry->id);
    *slot = entry;
    return static_cast<jlong>(entry->id);
}

void process_PublishHandle(jlong handle)
{
    std::lock_guard<std::mutex> lock(tableLock);
    HandleEntry* entry = *slotOf(static_cast<uint64_t>(handle));
    if (handle != 0 && entry != nullptr) {
        entry->reserved = false;
    }
}

void* process_BeginHandleUse(jlong handle)
{
    std::lock_guard<std::mutex> lock(tableLock);
    HandleEntry* entry = *slotOf(static_cast<uint64_t>(handle));
    if (handle == 0 || entry == nullptr || entry->retired || entry->reserved) {
        return nullptr;
    }
    entry->uses++;
    return entry->record;
}

void process_EndHandleUse(jlong handle)
{
    HandleEntry* finished = nullptr;
    {
        std::lock_guard<std::mutex> lock(tableLock);
        HandleEntry** slot = slotOf(static_cast<uint64_t>(handle));
        if (*slot != nullptr) {
            (*slot)->uses--;
            finished = takeIfFinished(slot);
        }
    }
    destroy(finished);
}

int process_RetireHandle(jlong handle)
{
    HandleEntry* finished = nullptr;
    {
        std::lock_guard<std::mutex> lock(tableLock);
        HandleEntry** slot = slotOf(static_cast<uint64_t>(handle));
        if (handle == 0 || *slot == nullptr || (*slot)->retired || (*slot)->reserved) {
            return 0;
        }
        (*slot)->retired = true;
        finished = takeIfFinished(slot);
    }
    destroy(finished);
    return 1;
}
