// Seams for the Windows tests of libraries that look system functions up at
// run time: a private copy of a library of the build (so that its
// module-wide state starts afresh), an export of a loaded system DLL
// redirected or hidden (for kernel32, which no stand-in DLL can replace),
// and the Linux truth read through wine's Z: drive.
#pragma once

#include "common/win32.h"

#include <cstdint>
#include <optional>
#include <string>

namespace win32test {

// A copy of the build's DLL name (in the test program's directory) under a
// name of its own, loaded; unloaded and deleted with the object.  Its
// globals, cached modules and one-shot switches are its own.
class LibraryCopy {
  public:
    explicit LibraryCopy(const std::string& name);
    ~LibraryCopy();
    LibraryCopy(const LibraryCopy&) = delete;
    LibraryCopy& operator=(const LibraryCopy&) = delete;

    HMODULE module() const { return module_; }
    // The export name as a function of type F; null when missing.
    template <typename F> F entry(const char* name) const { return procAddress<F>(module_, name); }

  private:
    std::string path_;
    HMODULE module_ = nullptr;
};

// The export name of the loaded module made to lead to replacement (or to
// nothing, for a null replacement) for GetProcAddress and for modules loaded
// from then on, until the object goes.  The module's own callers and
// modules already bound to it are not affected.
class ExportPatch {
  public:
    ExportPatch(HMODULE module, const char* name, const void* replacement);
    ~ExportPatch();
    ExportPatch(const ExportPatch&) = delete;
    ExportPatch& operator=(const ExportPatch&) = delete;
    bool applied() const { return slot_ != nullptr; }

  private:
    DWORD* slot_ = nullptr;
    DWORD saved_ = 0;
};

// The directory of the build's stand-ins of system DLLs.
std::string standinDirectory();

// A Linux file read through wine's Z: drive ("/proc/meminfo"); nullopt when
// it cannot be read.
std::optional<std::string> linuxFile(const std::string& path);
// A "Key:  value kB" line of /proc/meminfo or /proc/<pid>/status, in kB.
std::optional<uint64_t> kbField(const std::string& text, const std::string& key);
// Processors the Linux system has online (/sys/devices/system/cpu/online).
int linuxOnlineProcessors();
// The Linux pid of the one process whose command line holds token, or 0.
int linuxPidWith(const std::string& token);

} // namespace win32test
