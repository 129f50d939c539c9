// Shared pieces of the Windows process-control tests: a scratch directory,
// the helper program's command line, files and standard output captured.
#pragma once

#include "common/win32.h"

#include <string>

namespace win32test {

// The directory of the running test program, with a trailing backslash.
std::string programDirectory();

// The helper program's quoted path, then the arguments.
std::string helperCommand(const std::string& arguments);

// A fresh directory under the temporary directory, removed with its files
// (one level deep) when the object goes.
class ScratchDirectory {
  public:
    ScratchDirectory();
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "\\" + name; }

  private:
    std::string path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& text);
bool fileExists(const std::string& path);

// Runs body with the C runtime's standard output sent to a file and returns
// what was written.
template <typename F> std::string captureStdout(F body);
std::string captureStdoutOf(void (*body)(void*), void* context);

template <typename F> std::string captureStdout(F body)
{
    return captureStdoutOf([](void* c) { (*static_cast<F*>(c))(); }, &body);
}

} // namespace win32test
