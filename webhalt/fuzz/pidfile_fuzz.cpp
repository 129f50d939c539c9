// A web server configuration and a pid file, as bytes (the Linux tool) and
// as wide text (the Windows tool reads the same bytes as wide characters).
#include "webhalt/pidfile_scan.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

template <typename Char> static void scan(std::basic_string_view<Char> text)
{
    Char path[pidFilePathSize];
    PidFileScan result = scanPidFile(text, path);
    size_t length = std::char_traits<Char>::length(path);
    if (length > pidFilePathMax || (result == PidFileScan::found) != (length > 0)) {
        __builtin_trap(); // a path is found, terminated and fits, or it is empty
    }
    int pid = -1;
    if (parsePid(text.substr(0, pidTextMax), pid) && (pid < 0 || text[0] < '0' || text[0] > '9')) {
        __builtin_trap(); // a pid is digits from the first character on, never a sign
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    scan(std::string_view(reinterpret_cast<const char*>(data), size));
    std::wstring wide(size / sizeof(wchar_t), L'\0');
    memcpy(wide.data(), data, wide.size() * sizeof(wchar_t));
    scan(std::wstring_view(wide));
    return 0;
}
