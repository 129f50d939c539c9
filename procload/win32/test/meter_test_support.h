// Shared pieces of the Windows meter tests: procload_target.exe started in a
// job of its own, the meter's state made fresh, times read as the tests'
// reference, and the natives' arrays.
#pragma once

#include "common/test/test_jni_env.h"
#include "common/win32.h"

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace procload_test {

// Kernel and user time of a process or thread and the system time right
// after, all in 100-ns units, as the tests' reference.
struct Times {
    uint64_t creation = 0;
    uint64_t cpu = 0; // kernel + user
    uint64_t now = 0;
};

// procload_target.exe with arguments, its standard input and output pipes,
// in a job that holds it and every process it starts. The test program
// waits for "ready" (when the arguments print it) and ends the program by
// closing its input; the object ends whatever is left at the latest.
class Target {
  public:
    explicit Target(const std::string& arguments);
    ~Target();
    Target(const Target&) = delete;
    Target& operator=(const Target&) = delete;

    bool started() const { return process_ != nullptr; }
    int32_t id() const { return static_cast<int32_t>(id_); }
    HANDLE process() const { return process_; }
    // Reads "ready" from the program's output.
    bool ready();
    // A program that serves: its own process times, and a busy thread.
    Times times();
    bool busy(int milliseconds);
    // Processes of the job still running.
    int running() const;
    // Closes the program's input and waits until no process of the job runs
    // (and, under wine, until no Linux process of the program or its
    // descendants is left); true when they all ended by themselves within
    // the limit.
    bool finish(DWORD milliseconds = 30000);

  private:
    std::string request(const std::string& line);

    std::string tag_;
    HANDLE job_ = nullptr;
    HANDLE process_ = nullptr;
    HANDLE input_ = nullptr;
    HANDLE output_ = nullptr;
    DWORD id_ = 0;
};

// The tests' own reading of a process's or thread's times (read is
// GetProcessTimes or GetThreadTimes).
Times timesOf(BOOL(WINAPI* read)(HANDLE, FILETIME*, FILETIME*, FILETIME*, FILETIME*), HANDLE object);
// Percent of the machine's processors for cpu over the interval.
double percent(uint64_t cpu, uint64_t elapsed);
int processors();
// A since-creation figure against the times read just before and just after
// it: within a point of what they give.
void expectSinceCreation(double figure, const Times& before, const Times& after, const char* what);

// Every process's parent, from a snapshot of the system's process list.
std::map<int32_t, int32_t> parentsNow();

// The meter as the library has it after loading: empty slot table, the own
// process's sample cleared, debug off, the real liveness probe. Under wine
// the process times of a Target come from its Linux process (see
// meter_test_support.cpp).
void resetMeter();

// Java arrays for the natives and their contents.
jintArray intArray(TestJniEnv& jni, const std::vector<jint>& values);
jlongArray longArray(TestJniEnv& jni, const std::vector<jlong>& values);
// The elements of a Java array of T.
template <typename T> std::vector<T> elements(TestJniEnv& jni, jobject array)
{
    std::vector<unsigned char> bytes = jni.primitiveBytes(array);
    std::vector<T> values(bytes.size() / sizeof(T));
    memcpy(values.data(), bytes.data(), values.size() * sizeof(T));
    return values;
}

} // namespace procload_test
