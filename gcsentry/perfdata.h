// The virtual machine's performance-data memory (the counters jstat reads),
// and where GcSentry finds the heap in use in it.
//
// HotSpot keeps its counters in one block of memory, on Linux a file it maps
// shared (/tmp/hsperfdata_<user>/<pid>). The block starts with a prologue:
//
//   offset  size  field
//        0     4  magic, the bytes CA FE C0 C0
//        4     1  byte order of every number below (0 big endian, 1 little endian)
//        5     1  major version (2), 6: minor version (0)
//        7     1  accessible: 1 once the virtual machine has set the block up
//        8     4  bytes in use, 12: overflow (bytes of counters that did not
//                 fit and that the virtual machine keeps elsewhere, unlisted)
//       16     8  modification time stamp
//       24     4  offset of the first entry, 28: number of entries
//
// and a chain of entries, each starting at the end of the one before:
//
//        0     4  length of the entry, header, name and data included
//        4     4  offset of the name (a NUL-terminated string) from the entry's start
//        8     4  vector length (0 for a single value)
//       12     1  data type ('J' for a 64-bit integer, 'B' for bytes)
//       13     1  flags, 14: units (2 bytes), 15: variability
//       16     4  offset of the data from the entry's start
//
// The heap in use is the sum of the 64-bit counters named
// "sun.gc.generation.<g>.space.<s>.used": every space of every generation,
// which the collector brings up to date at the end of each collection.
#pragma once

#include <cstddef>
#include <cstdint>

// At most this many heap spaces are summed (HotSpot 17 lists four: eden, two
// survivor spaces and the old space). A block that lists more is not used.
constexpr int PERFDATA_MAX_SPACES = 16;

// Outcome of perfdata_findHeapSpaces.
constexpr int PERFDATA_OK = 0;
constexpr int PERFDATA_TOO_SHORT = 1;       // no room for the prologue
constexpr int PERFDATA_BAD_MAGIC = 2;       // not a performance-data block
constexpr int PERFDATA_UNSUPPORTED = 3;     // another byte order, or a major version other than 2
constexpr int PERFDATA_NOT_ACCESSIBLE = 4;  // the virtual machine has not finished setting it up
constexpr int PERFDATA_BAD_PROLOGUE = 5;    // bytes in use, entry offset or entry count out of range
constexpr int PERFDATA_BAD_ENTRY = 6;       // an entry that does not fit, or that holds no name
constexpr int PERFDATA_BAD_COUNTER = 7;     // a space's used counter that is not one aligned 64-bit value in bytes
constexpr int PERFDATA_NO_SPACES = 8;       // no heap space listed
constexpr int PERFDATA_TOO_MANY_SPACES = 9; // more than PERFDATA_MAX_SPACES listed
constexpr int PERFDATA_INCOMPLETE = 10;     // some counters did not fit: a space may be missing from the list

struct PerfDataSpaces {
    int count;
    // Where each space's 64-bit used value lies, from the start of the block;
    // a multiple of 8, so that a block mapped at a page reads each in one load.
    std::size_t usedOffset[PERFDATA_MAX_SPACES];
};

// Finds the used counter of every heap space in a performance-data block of
// length bytes, written in this machine's byte order. Only the bytes in use
// (as the prologue says, and never more than length) are read, each field of
// the block once, so a block that the virtual machine changes meanwhile, or one
// that is cut short or damaged, is never read out of bounds: it answers an
// error. Answers PERFDATA_OK with spaces filled, or an error with count 0.
int perfdata_findHeapSpaces(const unsigned char* block, std::size_t length, PerfDataSpaces* spaces);

// Finds the virtual machine's own performance-data memory in this process and
// the used counter of every heap space in it; fills used and answers how many
// were found, 0 when the memory is not mapped (-XX:-UsePerfData,
// -XX:+PerfDisableSharedMem) or cannot be read. Reads files and may wait a
// little: call it once, outside any collection.
int perfdata_locateHeapSpaces(const volatile std::int64_t* used[PERFDATA_MAX_SPACES]);
