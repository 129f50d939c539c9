// Code-set conversions on Windows: between the ANSI code page and UTF-8,
// through UTF-16.
#include "common/win32.h"
#include "procctl/process_log.h"
#include "procctl/process_strutil.h"

#include <climits>
#include <cstdlib>
#include <cstring>

static constexpr UINT CODE_PAGE_UTF8 = 65001;

static char* convertThroughUtf16(char* dst, const char* src, size_t size, UINT from, UINT to)
{
    if (src == nullptr || dst == nullptr || size == 0) {
        return nullptr;
    }
    size_t length = strlen(src);
    // Three UTF-16 units per source byte is more than any code page needs.
    if (length >= INT_MAX / 6) {
        dst[0] = '\0';
        return nullptr;
    }
    auto* scratch = static_cast<wchar_t*>(calloc(3 * (length + 1), sizeof(wchar_t)));
    if (scratch == nullptr) {
        process_log("Failed to allocate a buffer for containing a UTf-16 form string.  OS error reported was: [%d]\n",
                    static_cast<int>(GetLastError()));
        dst[0] = '\0';
        return nullptr;
    }
    char* result = nullptr;
    int units =
        MultiByteToWideChar(from, 0, src, static_cast<int>(length + 1), scratch, static_cast<int>(3 * length + 3));
    if (units == 0) {
        process_log("Failed to convert UTF-8 to UTF-18.  OS error reported was: [%d]\n",
                    static_cast<int>(GetLastError()));
        dst[0] = '\0';
    } else {
        int room = size > INT_MAX ? INT_MAX : static_cast<int>(size);
        // A destination too small fails the call part-way through; it is
        // terminated here either way.
        if (WideCharToMultiByte(to, 0, scratch, static_cast<int>(wcslen(scratch) + 1), dst, room, nullptr, nullptr) ==
            0) {
            process_log("Failed to convert UTF-16 to CP_ACP.  OS error reported was: [%d]\n",
                        static_cast<int>(GetLastError()));
        } else {
            result = dst;
        }
        dst[size - 1] = '\0';
    }
    free(scratch);
    return result;
}

char* process_stringConverterToUTF8(char* dst, const char* src, size_t size)
{
    return convertThroughUtf16(dst, src, size, CP_ACP, CODE_PAGE_UTF8);
}

char* process_stringConverterFromUTF8(char* dst, const char* src, size_t size)
{
    return convertThroughUtf16(dst, src, size, CODE_PAGE_UTF8, CP_ACP);
}
