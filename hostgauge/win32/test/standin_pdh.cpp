// A stand-in for the system's pdh.dll (wine's has no per-processor
// "% Processor Time" counters and no name table), loaded in its place through
// a DLL override.  It knows the one object and counter the host gauge asks
// for and behaves like the system's: a rate counter has a value from the
// second collection on.
//
// The environment steers it at every call:
//   QOR_PDH_VALUES  the processors' values in order, such as "10.9,20.9"; the
//                   processors after the list read its last value, all 0 when unset
//   QOR_PDH_NAMES   "de": a German system's names; "fail": the name look-up fails
//   QOR_PDH_FAIL    "open", "collect", "format", or "add:N" (adding instance N)
// and exports of its own tell the tests what it was asked:
//   qor_standin_added_paths   every counter path added, one a line
//   qor_standin_open_queries  the number of queries open
//   qor_standin_stale_handles calls with a query or counter handle that is
//                             not (or no longer) open, which it refuses, as
//                             the system does, instead of using it
// Like the system's, it may be called on several threads at once.
#include "common/win32.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

using PDH_STATUS = LONG;

constexpr PDH_STATUS PDH_OK = 0;
constexpr PDH_STATUS PDH_CSTATUS_NO_OBJECT = static_cast<PDH_STATUS>(0xC0000BB8);
constexpr PDH_STATUS PDH_CSTATUS_NO_COUNTER = static_cast<PDH_STATUS>(0xC0000BB9);
constexpr PDH_STATUS PDH_CSTATUS_NO_INSTANCE = static_cast<PDH_STATUS>(0x800007D1);
constexpr PDH_STATUS PDH_INVALID_HANDLE = static_cast<PDH_STATUS>(0xC0000BBC);
constexpr PDH_STATUS PDH_INVALID_DATA = static_cast<PDH_STATUS>(0xC0000BC6);
constexpr PDH_STATUS PDH_NO_DATA = static_cast<PDH_STATUS>(0x800007D5);
constexpr PDH_STATUS PDH_MORE_DATA = static_cast<PDH_STATUS>(0x800007D2);
constexpr DWORD PDH_FMT_DOUBLE = 0x200;

struct FormattedValue {
    DWORD CStatus;
    union {
        LONG longValue;
        double doubleValue;
        LONGLONG largeValue;
    };
};

struct Counter {
    struct Query* query;
    int instance;
    int collections = 0;
};

struct Query {
    std::vector<Counter*> counters;
};

std::mutex lock;
std::vector<Query*> queries;
std::string addedPaths;
int staleHandles = 0;

std::string environment(const char* name)
{
    char value[256] = {0};
    DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
    return n > 0 && n < sizeof value ? value : "";
}

std::vector<double> values()
{
    std::vector<double> values;
    std::string list = environment("QOR_PDH_VALUES");
    for (const char* p = list.c_str(); *p != '\0';) {
        char* end = nullptr;
        values.push_back(strtod(p, &end));
        p = *end == ',' ? end + 1 : end;
    }
    return values;
}

int processorCount()
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return static_cast<int>(info.dwNumberOfProcessors);
}

bool failing(const std::string& what)
{
    return environment("QOR_PDH_FAIL") == what;
}

const char* objectName()
{
    return environment("QOR_PDH_NAMES") == "de" ? "Prozessor" : "Processor";
}

const char* counterName()
{
    return environment("QOR_PDH_NAMES") == "de" ? "Prozessorzeit (%)" : "% Processor Time";
}

bool knownQuery(const Query* query)
{
    for (const Query* q : queries) {
        if (q == query) {
            return true;
        }
    }
    staleHandles++;
    return false;
}

bool knownCounter(const Counter* counter)
{
    for (const Query* q : queries) {
        for (const Counter* c : q->counters) {
            if (c == counter) {
                return true;
            }
        }
    }
    staleHandles++;
    return false;
}

} // namespace

extern "C" {

__declspec(dllexport) PDH_STATUS WINAPI PdhOpenQueryA(const char* /*source*/, DWORD_PTR /*userData*/, void** query)
{
    std::lock_guard<std::mutex> guard(lock);
    if (failing("open")) {
        return PDH_INVALID_HANDLE;
    }
    queries.push_back(new Query);
    *query = queries.back();
    return PDH_OK;
}

__declspec(dllexport) PDH_STATUS WINAPI PdhCloseQuery(void* handle)
{
    std::lock_guard<std::mutex> guard(lock);
    auto* query = static_cast<Query*>(handle);
    if (!knownQuery(query)) {
        return PDH_INVALID_HANDLE;
    }
    for (Counter* counter : query->counters) {
        delete counter;
    }
    delete query;
    for (size_t i = 0; i < queries.size(); i++) {
        if (queries[i] == query) {
            queries.erase(queries.begin() + static_cast<long>(i));
            break;
        }
    }
    return PDH_OK;
}

__declspec(dllexport) PDH_STATUS WINAPI
    PdhLookupPerfNameByIndexA(const char* /*machine*/, DWORD index, char* name, DWORD* size)
{
    std::string names = environment("QOR_PDH_NAMES");
    const char* found = index == 238 ? objectName() : index == 6 ? counterName() : nullptr;
    if (names == "fail" || found == nullptr) {
        return PDH_CSTATUS_NO_OBJECT;
    }
    if (*size < strlen(found) + 1) {
        *size = static_cast<DWORD>(strlen(found) + 1);
        return PDH_MORE_DATA;
    }
    strcpy(name, found);
    return PDH_OK;
}

__declspec(dllexport) PDH_STATUS WINAPI
    PdhAddCounterA(void* handle, const char* path, DWORD_PTR /*userData*/, void** counter)
{
    std::lock_guard<std::mutex> guard(lock);
    auto* query = static_cast<Query*>(handle);
    if (!knownQuery(query)) {
        return PDH_INVALID_HANDLE;
    }
    addedPaths += std::string(path) + "\n";
    // \Object(instance)\Counter
    std::string text = path;
    std::string object = std::string("\\") + objectName() + "(";
    if (text.compare(0, object.size(), object) != 0) {
        return PDH_CSTATUS_NO_OBJECT;
    }
    char* end = nullptr;
    long instance = strtol(text.c_str() + object.size(), &end, 10);
    if (end == text.c_str() + object.size() || std::string(end) != std::string(")\\") + counterName()) {
        return PDH_CSTATUS_NO_COUNTER;
    }
    if (instance < 0 || instance >= processorCount() || failing("add:" + std::to_string(instance))) {
        return PDH_CSTATUS_NO_INSTANCE;
    }
    auto* added = new Counter{query, static_cast<int>(instance), 0};
    query->counters.push_back(added);
    *counter = added;
    return PDH_OK;
}

__declspec(dllexport) PDH_STATUS WINAPI PdhCollectQueryData(void* handle)
{
    std::lock_guard<std::mutex> guard(lock);
    auto* query = static_cast<Query*>(handle);
    if (!knownQuery(query)) {
        return PDH_INVALID_HANDLE;
    }
    if (failing("collect") || query->counters.empty()) {
        return PDH_NO_DATA;
    }
    for (Counter* counter : query->counters) {
        counter->collections++;
    }
    return PDH_OK;
}

__declspec(dllexport) PDH_STATUS WINAPI
    PdhGetFormattedCounterValue(void* handle, DWORD format, DWORD* type, FormattedValue* value)
{
    std::lock_guard<std::mutex> guard(lock);
    auto* counter = static_cast<Counter*>(handle);
    // A counter that was never added (null) is refused too, but is not stale.
    if (counter == nullptr || !knownCounter(counter) || format != PDH_FMT_DOUBLE || value == nullptr) {
        return PDH_INVALID_HANDLE;
    }
    if (type != nullptr) {
        *type = 0;
    }
    if (counter->collections < 2 || failing("format")) {
        value->CStatus = static_cast<DWORD>(PDH_INVALID_DATA);
        return PDH_INVALID_DATA;
    }
    std::vector<double> list = values();
    auto at = static_cast<size_t>(counter->instance);
    value->CStatus = 0;
    value->doubleValue = list.empty() ? 0.0 : at < list.size() ? list[at] : list.back();
    return PDH_OK;
}

__declspec(dllexport) const char* qor_standin_added_paths()
{
    std::lock_guard<std::mutex> guard(lock);
    return addedPaths.c_str();
}

__declspec(dllexport) int qor_standin_open_queries()
{
    std::lock_guard<std::mutex> guard(lock);
    return static_cast<int>(queries.size());
}

__declspec(dllexport) int qor_standin_stale_handles()
{
    std::lock_guard<std::mutex> guard(lock);
    return staleHandles;
}

} // extern "C"
