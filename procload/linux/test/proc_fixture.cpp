#include "procload/linux/test/proc_fixture.h"
#include "procload/linux/cpu_utilisation.h"
#include "procload/procload_log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace procload_test {

std::string statText(const StatLine& line)
{
    char text[1024];
    snprintf(text, sizeof(text),
             "%d (%s) %c %d %d %d 0 -1 4194560 10 0 0 0 %llu %llu 0 0 20 0 %lld 0 %llu 10000 200 "
             "18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 1 0 0 0 0 0\n",
             line.pid, line.comm.c_str(), line.state, line.ppid, line.pgrp != 0 ? line.pgrp : line.pid, line.pid,
             static_cast<unsigned long long>(line.utime), static_cast<unsigned long long>(line.stime),
             static_cast<long long>(line.threads), static_cast<unsigned long long>(line.startTime));
    return text;
}

ProcFixture::ProcFixture()
{
    char templ[] = "/tmp/procload-fixture-XXXXXX";
    EXPECT_NE(mkdtemp(templ), nullptr);
    root_ = templ;
    procRoot = root_.c_str();
}

static int removeEntry(const char* path, const struct stat* /*sb*/, int /*flag*/, struct FTW* /*ftw*/)
{
    return ::remove(path);
}

ProcFixture::~ProcFixture()
{
    procRoot = "/proc";
    nftw(root_.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

void ProcFixture::write(const std::string& relative, const std::string& text) const
{
    std::string path = root_;
    size_t start = 0;
    for (size_t slash = relative.find('/'); slash != std::string::npos; slash = relative.find('/', start)) {
        path = root_ + "/" + relative.substr(0, slash);
        mkdir(path.c_str(), 0755);
        start = slash + 1;
    }
    std::ofstream out(root_ + "/" + relative, std::ios::trunc);
    out << text;
}

void ProcFixture::remove(const std::string& relative) const
{
    std::string path = root_ + "/" + relative;
    nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

void ProcFixture::flatEntry(const std::string& name, const StatLine& line) const
{
    write(name + "/stat", statText(line));
}

void ProcFixture::taskProcess(const StatLine& line) const
{
    std::string pid = std::to_string(line.pid);
    write(pid + "/stat", statText(line));
    write(pid + "/task/" + pid + "/stat", statText(line));
}

void resetMeter()
{
    for (LastProcessSlot& slot : lastProcessInfo) {
        free(slot.oldTime);
        free(slot.lastTime);
        free(slot.createTime);
        free(slot.myProc);
        slot = LastProcessSlot{};
    }
    lastProcessInfoSize = 0;
    slotLivenessProbe = confirmProcessActive;
    slotPartAllocator = malloc;
    excessThreadCounter = 0;
    debugEnabled = 0;
    nProcessors = 2;
    processorAllowance = 2.0;
    // What initStats does: the start of measurement is now.
    gettimeofday(ownProcessSlot.createTime, nullptr);
}

} // namespace procload_test
