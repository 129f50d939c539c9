// Pure scanners of /proc text and the one reader of stat files. They run once
// per measured process on every sample, so they walk the text by hand instead
// of using a formatted scan.
#include "common/linux/proc_stat_text.h"

#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

const char* skipBlanks(const char* p)
{
    while (isBlank(*p)) {
        p++;
    }
    return p;
}

// One field after blanks: an optional "-" and digits, ended by a blank or the
// end of the text. Null when the field is missing or not a number.
const char* readField(const char* p, uint64_t* value)
{
    p = skipBlanks(p);
    bool negative = *p == '-';
    if (negative) {
        p++;
    }
    if (!isDigit(*p)) {
        return nullptr;
    }
    uint64_t v = 0;
    while (isDigit(*p)) {
        v = v * 10 + static_cast<uint64_t>(*p - '0');
        p++;
    }
    if (*p != '\0' && !isBlank(*p)) {
        return nullptr;
    }
    *value = negative ? 0 - v : v;
    return p;
}

} // namespace

int parseProcStatFields(const char* text, ProcStatFields* fields)
{
    *fields = ProcStatFields{};
    const char* open = strchr(text, '(');
    if (open == nullptr) {
        return 0;
    }
    const char* close = strrchr(open, ')');
    if (close == nullptr) {
        return 0;
    }
    const char* p = skipBlanks(close + 1);
    if (*p == '\0') {
        return 0;
    }
    // Field 1; a number too long for an id is none.
    uint64_t pid = 0;
    for (const char* q = skipBlanks(text); isDigit(*q) && pid <= INT32_MAX; q++) {
        pid = pid * 10 + static_cast<uint64_t>(*q - '0');
    }
    fields->pid = pid <= INT32_MAX ? static_cast<int32_t>(pid) : 0;
    size_t nameLength = static_cast<size_t>(close - open - 1);
    if (nameLength >= sizeof fields->comm) {
        nameLength = sizeof fields->comm - 1;
    }
    memcpy(fields->comm, open + 1, nameLength);
    fields->state = *p;
    p++;

    int last = 3;
    for (int field = 4; field <= 22; field++) {
        uint64_t v = 0;
        p = readField(p, &v);
        if (p == nullptr) {
            break;
        }
        last = field;
        switch (field) {
        case 4:
            fields->ppid = static_cast<int32_t>(v);
            break;
        case 5:
            fields->pgrp = static_cast<int32_t>(v);
            break;
        case 6:
            fields->session = static_cast<int32_t>(v);
            break;
        case 7:
            fields->ttyNr = static_cast<int32_t>(v);
            break;
        case 14:
            fields->utime = v;
            break;
        case 15:
            fields->stime = v;
            break;
        case 20:
            fields->numThreads = static_cast<int64_t>(v);
            break;
        case 22:
            fields->startTime = v;
            break;
        default:
            break;
        }
    }
    return last;
}

int readProcStatFile(const char* path, ProcStatFields* fields)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    char text[PROC_STAT_READ_SIZE + 1];
    ssize_t n = read(fd, text, PROC_STAT_READ_SIZE);
    close(fd);
    if (n <= 0) {
        return -1;
    }
    text[n] = '\0';
    return parseProcStatFields(text, fields);
}

const char* parseDecimal(const char* p, double* value)
{
    while (*p == ' ' || *p == '\t') {
        p++;
    }
    if (!isDigit(*p)) {
        return nullptr;
    }
    double v = 0.0;
    for (; isDigit(*p); p++) {
        v = v * 10.0 + (*p - '0');
    }
    if (*p == '.') {
        double scale = 0.1;
        for (p++; isDigit(*p); p++, scale /= 10.0) {
            v += (*p - '0') * scale;
        }
    }
    *value = v;
    return p;
}

const char* parseUnsignedDecimal(const char* p, uint64_t* value)
{
    while (*p == ' ' || *p == '\t') {
        p++;
    }
    if (!isDigit(*p)) {
        return nullptr;
    }
    uint64_t v = 0;
    for (; isDigit(*p); p++) {
        auto digit = static_cast<uint64_t>(*p - '0');
        if (v > (UINT64_MAX - digit) / 10) {
            return nullptr;
        }
        v = v * 10 + digit;
    }
    *value = v;
    return p;
}
