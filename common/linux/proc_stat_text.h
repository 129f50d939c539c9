// The text of /proc/<pid>/stat (and /proc/<pid>/task/<tid>/stat), and the
// decimal numbers the kernel writes in its files. Pure scanners on a
// terminated buffer, with one thin reader; every library that needs a
// process's stat fields parses them here.
#pragma once

#include <cstddef>
#include <cstdint>

// The fields of one stat line the libraries use, numbered as in proc(5).
struct ProcStatFields {
    int32_t pid;        // field 1; 0 when the text does not start with it
    char comm[16];      // field 2 without its parentheses, cut at 15 bytes, terminated
    char state;         // field 3, whatever letter the kernel wrote
    int32_t ppid;       // field 4
    int32_t pgrp;       // field 5
    int32_t session;    // field 6
    int32_t ttyNr;      // field 7
    uint64_t utime;     // field 14, clock ticks
    uint64_t stime;     // field 15, clock ticks
    int64_t numThreads; // field 20
    uint64_t startTime; // field 22, clock ticks after boot
};

// Scans one stat line. The command name may itself hold blanks and
// parentheses, so the fields resume after the last ")" that follows the first
// "(". Every field after the name is a decimal number (a negative one reads
// as its two's complement). Answers the number of the last field read: 0 when
// the text has no "(" ... ")" or no state after it, 3 when only the state was
// there, 22 for a line that holds the start time; the fields beyond it are 0.
int parseProcStatFields(const char* text, ProcStatFields* fields);

// The largest stat text the reader takes: one read of at most this many bytes.
constexpr size_t PROC_STAT_READ_SIZE = 4095;

// Reads and scans the stat file at path with one open, one read and one
// close; answers what parseProcStatFields answers, or -1 when the file cannot
// be read.
int readProcStatFile(const char* path, ProcStatFields* fields);

// A decimal number with an optional fraction ("12.50"), after optional
// spaces and tabs, without the locale's decimal point (the JVM sets the
// locale from the environment). Answers the first byte after it, or null when
// no digit follows the blanks.
const char* parseDecimal(const char* p, double* value);

// A whole unsigned decimal number after optional spaces and tabs, at most
// UINT64_MAX (longer ones are refused). Answers the first byte after it, or
// null when there is no number.
const char* parseUnsignedDecimal(const char* p, uint64_t* value);
