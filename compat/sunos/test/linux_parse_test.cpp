// The parsers behind the live source, on fixture text.
#include "compat/sunos/linux_parse.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <sys/sysinfo.h>
#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/lsan_interface.h>
#endif

namespace {

TEST(ParseProcStat, PerProcessorLinesOnlyWithShortLinesTolerated)
{
    const char* text = "cpu  18348 0 7263 168538 159 0 136 0 0 0\n"
                       "cpu0 9164 1 3506 84438 19 2 80 3 0 0\n"
                       "cpu8 5 6 7 8\n"
                       "intr 12345 1 2 3\n"
                       "cpu9 18446744073709551615 0 0 0 0 0 0 0\n";
    LinuxCpuTicks t[4];
    ASSERT_EQ(3, parseProcStatCpus(text, t, 4));
    EXPECT_EQ(0, t[0].id);
    EXPECT_EQ(9164U, t[0].user);
    EXPECT_EQ(1U, t[0].nice);
    EXPECT_EQ(3506U, t[0].system);
    EXPECT_EQ(84438U, t[0].idle);
    EXPECT_EQ(19U, t[0].iowait);
    EXPECT_EQ(2U, t[0].irq);
    EXPECT_EQ(80U, t[0].softirq);
    EXPECT_EQ(3U, t[0].steal);
    EXPECT_EQ(8, t[1].id);
    EXPECT_EQ(8U, t[1].idle);
    EXPECT_EQ(0U, t[1].iowait);
    EXPECT_EQ(9, t[2].id);
    EXPECT_EQ(UINT64_MAX, t[2].user);
    EXPECT_EQ(1, parseProcStatCpus(text, t, 1)) << "never more than the room";
}

TEST(SolarisCpuStates, NiceIsUserTimeAndStealIsNoneOfTheFour)
{
    // Stolen time is time the machine did not give us: busy for neither
    // Solaris nor the Linux CPU meter (user + nice + system + irq + softirq).
    LinuxCpuTicks t{0, 100, 20, 30, 400, 50, 5, 7, 500};
    uint32_t states[4];
    solarisCpuStates(&t, states);
    EXPECT_EQ(400U, states[CPU_IDLE]);
    EXPECT_EQ(120U, states[CPU_USER]);
    EXPECT_EQ(42U, states[CPU_KERNEL]);
    EXPECT_EQ(50U, states[CPU_WAIT]);
    t.user = (uint64_t{1} << 32) + 3;
    t.nice = 0;
    solarisCpuStates(&t, states);
    EXPECT_EQ(3U, states[CPU_USER]) << "32-bit counters wrap";
}

TEST(ParseMeminfo, FreeMemoryIsWhatIsAvailableWhereTheKernelSays)
{
    // Solaris counts the page cache's free list as free memory.
    struct {
        const char* text;
        bool found;
        uint64_t kb;
    } cases[] = {
        {"MemTotal: 24591268 kB\nMemFree: 19600000 kB\nMemAvailable: 23100000 kB\n", true, 23100000},
        {"MemTotal: 24591268 kB\nMemFree: 19600000 kB\nBuffers: 1 kB\n", true, 19600000}, // before Linux 3.14
        {"MemTotal: 24591268 kB\n", false, 0},
    };
    for (const auto& c : cases) {
        uint64_t kb = 0;
        EXPECT_EQ(c.found, parseMeminfoFreeKb(c.text, &kb)) << c.text;
        EXPECT_EQ(c.kb, kb) << c.text;
    }
}

TEST(ParseProcStat, BootTime)
{
    uint64_t seconds = 0;
    ASSERT_TRUE(parseProcStatBtime("cpu  1 2 3 4\nintr 5 6\nbtime 1765090000\nprocesses 42\n", &seconds));
    EXPECT_EQ(1765090000U, seconds);
    EXPECT_FALSE(parseProcStatBtime("cpu  1 2 3 4\n", &seconds));
}

TEST(ParseMeminfo, ValueOfTheExactKey)
{
    const char* text = "MemTotal:       24591268 kB\nMemFree:        23914220 kB\nMemAvailable:   23900000 kB\n";
    uint64_t kb = 0;
    ASSERT_TRUE(parseMeminfoKb(text, "MemFree", &kb));
    EXPECT_EQ(23914220U, kb);
    ASSERT_TRUE(parseMeminfoKb(text, "MemTotal", &kb));
    EXPECT_EQ(24591268U, kb);
    EXPECT_FALSE(parseMeminfoKb(text, "Mem", &kb));
    EXPECT_FALSE(parseMeminfoKb(text, "SwapTotal", &kb));
    EXPECT_FALSE(parseMeminfoKb("MemAvailable:  -5 kB\n", "MemAvailable", &kb)) << "a sign";
    EXPECT_FALSE(parseMeminfoKb("MemAvailable:\n5 kB\n", "MemAvailable", &kb)) << "a number on the next line";
}

TEST(ParseCpuinfo, MhzOfTheProcessorsBlockRounded)
{
    const char* text = "processor\t: 0\nmodel name\t: X\ncpu MHz\t\t: 2096.012\n\n"
                       "processor\t: 1\ncpu MHz\t\t: 1499.6\n\n"
                       "processor\t: 3\nmodel name\t: X\n\n";
    int mhz = 0;
    ASSERT_TRUE(parseCpuinfoMhz(text, 0, &mhz));
    EXPECT_EQ(2096, mhz);
    ASSERT_TRUE(parseCpuinfoMhz(text, 1, &mhz));
    EXPECT_EQ(1500, mhz);
    EXPECT_FALSE(parseCpuinfoMhz(text, 3, &mhz)) << "block without a clock";
    EXPECT_FALSE(parseCpuinfoMhz(text, 2, &mhz));
}

TEST(ParseCpuinfo, MhzWhateverTheCallersDecimalPoint)
{
    // The JVM takes its locale from the environment; the kernel writes a
    // point. A locale with a decimal comma is built in a temporary directory.
    char dir[] = "/tmp/sunos-locale-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    std::string base = dir;
    FILE* source = fopen((base + "/comma.src").c_str(), "w");
    ASSERT_NE(nullptr, source);
    fputs("LC_CTYPE\ncopy \"POSIX\"\nEND LC_CTYPE\n"
          "LC_NUMERIC\ndecimal_point \",\"\nthousands_sep \"\"\ngrouping -1\nEND LC_NUMERIC\n",
          source);
    fclose(source);
    std::string command = "localedef -c -i " + base + "/comma.src -f ANSI_X3.4-1968 " + base + "/comma >/dev/null 2>&1";
    std::system(command.c_str()); // warns of the categories left out
    locale_t comma = nullptr;
    {
#ifdef __SANITIZE_ADDRESS__
        // The C library keeps the list it splits LOCPATH into: its leak, not ours.
        __lsan::ScopedDisabler notOurLeak;
#endif
        setenv("LOCPATH", dir, 1);
        comma = newlocale(LC_NUMERIC_MASK, "comma", nullptr);
        unsetenv("LOCPATH");
    }
    std::system(("rm -rf " + base).c_str());
    if (comma == nullptr) {
        GTEST_SKIP() << "no locale with a decimal comma can be built here (localedef and its charmaps)";
    }
    locale_t previous = uselocale(comma);
    int mhz = 0;
    bool found = parseCpuinfoMhz("processor\t: 0\ncpu MHz\t\t: 2095.998\n", 0, &mhz);
    uselocale(previous);
    freelocale(comma);
    ASSERT_TRUE(found);
    EXPECT_EQ(2096, mhz);
}

TEST(ParseProcessStat, NameWithBlanksAndParentheses)
{
    const char* text = "4242 (my (odd) name) S 1 4240 4239 34816 4242 4194304 100 0 0 0 5 6 0 0 20 0 7 0 "
                       "123456 987654321 2000 18446744073709551615\n";
    LinuxProcessStat s{};
    ASSERT_TRUE(parseProcessStat(text, &s));
    EXPECT_EQ(4242, s.pid);
    EXPECT_STREQ("my (odd) name", s.comm);
    EXPECT_EQ('S', s.state);
    EXPECT_EQ(1, s.ppid);
    EXPECT_EQ(4240, s.pgrp);
    EXPECT_EQ(4239, s.session);
    EXPECT_EQ(34816, s.ttyNr);
    EXPECT_EQ(7, s.numThreads);
    EXPECT_EQ(123456U, s.startTicks);

    const char* longName = "1 (a-name-longer-than-fifteen) R 0 1 1 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 5 0 0\n";
    ASSERT_TRUE(parseProcessStat(longName, &s));
    EXPECT_STREQ("a-name-longer-t", s.comm);
    EXPECT_FALSE(parseProcessStat("7 (cut short) S 1 2\n", &s));
    EXPECT_FALSE(parseProcessStat("garbage", &s));
}

TEST(ParseStatm, SizeAndResident)
{
    uint64_t size = 0;
    uint64_t resident = 0;
    ASSERT_TRUE(parseStatm("1319407 12345 3000 1 0 80000 0\n", &size, &resident));
    EXPECT_EQ(1319407U, size);
    EXPECT_EQ(12345U, resident);
    EXPECT_FALSE(parseStatm("17\n", &size, &resident));
    EXPECT_FALSE(parseStatm("", &size, &resident));
}

} // namespace
