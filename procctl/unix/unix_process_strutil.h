// The Unix code-set conversions: iconv between named code sets, and the
// process's code set as the locale reports it.
#pragma once

#include "procctl/process_strutil.h"

#include <iconv.h>

extern "C" {

JNIEXPORT int iconv_valid(iconv_t descriptor);
JNIEXPORT char* process_stringConverter(char* dst, const char* src, size_t size, const char* fromCode,
                                        const char* toCode);

// The process's code set: the locale's, or "ISO8859-1" when it reports none.
JNIEXPORT const char* process_getCodeSet(void);
JNIEXPORT const char* process_codeSetOrDefault(const char* reported);
}
