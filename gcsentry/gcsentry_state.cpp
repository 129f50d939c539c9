// GcSentry's module state. It is set once by Agent_OnLoad, before any Java
// code runs, and never reset; heapUsed, gcCount and the spaces' counters are
// then read and written only while gcsentryMonitor is held.
#include "gcsentry/gcsentry.h"

// 1 until Agent_OnLoad runs: a library loaded only as a JNI library answers 1.
jint initializationStatus = STATUS_NOT_LOADED;

// The functions the virtual machine registered as "com.qor.GetHeapFreeMemory"
// and "com.qor.GetHeapTotalMemory"; NULL when it offers none.
jvmtiExtensionFunction freeHeapFcn = nullptr;
jvmtiExtensionFunction totalHeapFcn = nullptr;

// The heap in use at the end of the most recent collection (total minus free
// from the heap functions, or the sum of the spaces' used counters); -1 until
// it is first computed, and for good when there is neither.
jlong heapUsed = -1;

// "mr_gcsentry_monitor": guards heapUsed, gcCount and the spaces' counters
// below, and carries the notification.
jrawMonitorID gcsentryMonitor = nullptr;

jvmtiEnv* jvmti = nullptr;

// Collections finished since start-up. A waiter waits until this moves, so a
// raw-monitor wait that wakes up without a notification does not release it.
std::uint64_t gcCount = 0;

// The used counter of every heap space in the virtual machine's performance-data
// memory, found once when the virtual machine has started (vmInitCallback);
// heapSpaceCount stays 0 without that memory or when the heap functions exist.
const volatile std::int64_t* heapSpaceUsed[PERFDATA_MAX_SPACES] = {};
int heapSpaceCount = 0;
