// A fixture /proc tree in a temporary directory, and helpers to point the
// meter at it and to reset its tables between tests.
#pragma once

#include "procload/linux/proc_stat.h"
#include "procload/slot_table.h"

#include <cstdint>
#include <string>

namespace procload_test {

// One stat file's worth of fields.
struct StatLine {
    int32_t pid;
    std::string comm = "worker";
    char state = 'S';
    int32_t ppid = 1;
    int32_t pgrp = 0; // 0: the pid itself
    uint64_t utime = 0;
    uint64_t stime = 0;
    int64_t threads = 1;
    uint64_t startTime = 1000;
};

std::string statText(const StatLine& line);

class ProcFixture {
  public:
    ProcFixture();
    ~ProcFixture();
    ProcFixture(const ProcFixture&) = delete;
    ProcFixture& operator=(const ProcFixture&) = delete;

    const std::string& root() const { return root_; }
    // Writes <root>/<relative> with the text, creating directories on the way.
    void write(const std::string& relative, const std::string& text) const;
    void remove(const std::string& relative) const;
    // The flat layout: <root>/<name>/stat, name being the pid or a dotted thread id.
    void flatEntry(const std::string& name, const StatLine& line) const;
    // The task layout: <root>/<pid>/stat (whole process) and <root>/<pid>/task/<pid>/stat.
    void taskProcess(const StatLine& line) const;

  private:
    std::string root_;
};

// Empties the slot table (giving back the parts' memory) and the batch state.
void resetMeter();

// Ids no real process can have: above the kernel's largest pid.
constexpr int32_t FAKE_PID_BASE = 5000000;

} // namespace procload_test
