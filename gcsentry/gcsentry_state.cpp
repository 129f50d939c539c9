// GcSentry's module state. It is set once by Agent_OnLoad, before any Java
// code runs, and never reset; heapUsed and gcCount are then read and written
// only while gcsentryMonitor is held.
#include "gcsentry/gcsentry.h"

// 1 until Agent_OnLoad runs: a library loaded only as a JNI library answers 1.
jint initializationStatus = STATUS_NOT_LOADED;

// The functions the virtual machine registered as "com.qor.GetHeapFreeMemory"
// and "com.qor.GetHeapTotalMemory"; NULL when it offers none.
jvmtiExtensionFunction freeHeapFcn = nullptr;
jvmtiExtensionFunction totalHeapFcn = nullptr;

// Total minus free heap at the end of the most recent collection; -1 until it
// is first computed (and for good when the heap functions are missing).
jlong heapUsed = -1;

// "mr_gcsentry_monitor": guards heapUsed and gcCount and carries the notification.
jrawMonitorID gcsentryMonitor = nullptr;

jvmtiEnv* jvmti = nullptr;

// Collections finished since start-up. A waiter waits until this moves, so a
// raw-monitor wait that wakes up without a notification does not release it.
std::uint64_t gcCount = 0;
