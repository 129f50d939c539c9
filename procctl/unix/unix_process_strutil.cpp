// Code-set conversions on Unix, with iconv and the locale's code set.
#include "procctl/unix/unix_process_strutil.h"

#include <cerrno>
#include <cstring>
#include <langinfo.h>

int iconv_valid(iconv_t descriptor)
{
    return descriptor != reinterpret_cast<iconv_t>(-1) ? 1 : 0; // NOLINT(performance-no-int-to-ptr)
}

const char* process_codeSetOrDefault(const char* reported)
{
    if (reported == nullptr || reported[0] == '\0') {
        return "ISO8859-1";
    }
    return reported;
}

const char* process_getCodeSet(void)
{
    return process_codeSetOrDefault(nl_langinfo(CODESET));
}

char* process_stringConverter(char* dst, const char* src, size_t size, const char* fromCode, const char* toCode)
{
    if (src == nullptr || dst == nullptr || size == 0) {
        return nullptr;
    }
    if (fromCode == nullptr) {
        fromCode = "ISO8859-1";
    }
    if (toCode == nullptr) {
        toCode = "ISO8859-1";
    }
    if (strcmp(fromCode, toCode) == 0) {
        process_copyBounded(dst, src, size);
        return dst;
    }

    dst[0] = '\0';
    iconv_t descriptor = iconv_open(toCode, fromCode);
    if (iconv_valid(descriptor) == 0) {
        return nullptr;
    }
    // The terminating NUL is converted too, so a complete conversion ends
    // the destination by itself.
    char* in = const_cast<char*>(src);
    size_t inLeft = strlen(src) + 1;
    char* out = dst;
    size_t outLeft = size;
    size_t converted = iconv(descriptor, &in, &inLeft, &out, &outLeft);
    dst[size - 1] = '\0';
    iconv_close(descriptor);
    return converted == static_cast<size_t>(-1) ? nullptr : dst;
}

// Code sets whose bytes go to UTF-8 unchanged (ASCII, or taken as such).
static const char* const passThroughCodeSets[] = {
    "C", "POSIX", "UTF-8", "ASCII", "US-ASCII", "ISO-8859-1", "ISO8859-1", "iso88591",
};

char* process_stringConverterToUTF8(char* dst, const char* src, size_t size)
{
    if (src == nullptr || dst == nullptr) {
        return nullptr;
    }
    const char* codeSet = process_getCodeSet();
    for (const char* name : passThroughCodeSets) {
        if (strcmp(codeSet, name) == 0) {
            if (size == 0) {
                return nullptr;
            }
            process_copyBounded(dst, src, size);
            return dst;
        }
    }
    return process_stringConverter(dst, src, size, codeSet, "UTF-8");
}

char* process_stringConverterFromUTF8(char* dst, const char* src, size_t size)
{
    if (src == nullptr || dst == nullptr) {
        return nullptr;
    }
    const char* codeSet = process_getCodeSet();
    if (strcmp(codeSet, "UTF-8") == 0) {
        if (size == 0) {
            return nullptr;
        }
        process_copyBounded(dst, src, size);
        return dst;
    }
    return process_stringConverter(dst, src, size, "UTF-8", codeSet);
}
