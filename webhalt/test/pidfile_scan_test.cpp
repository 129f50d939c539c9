// The directive scan and the pid reader, for bytes and for wide text.  Built
// into both platforms' test programs.
#include "webhalt/pidfile_scan.h"

#include <gtest/gtest.h>

#include <string>

namespace {

template <typename Char> std::basic_string<Char> widen(const std::string& text)
{
    return std::basic_string<Char>(text.begin(), text.end());
}

struct ScanCase {
    const char* name;
    std::string configuration;
    PidFileScan result;
    std::string path;
};

const std::string longPath(pidFilePathMax, 'p');

const ScanCase scanCases[] = {
    {"quoted path keeps blanks and slashes", "PidFile \"C:/Program Files/web/logs/httpd.pid\"\n", PidFileScan::found,
     "C:/Program Files/web/logs/httpd.pid"},
    {"plain path ends at a blank", "PidFile\tlogs/httpd.pid  # the pid\n", PidFileScan::found, "logs/httpd.pid"},
    {"indented and commented lines are ignored",
     "  PidFile indented.pid\n#PidFile commented.pid\n# PidFile \"c.pid\"\nPidFile real.pid\n", PidFileScan::found,
     "real.pid"},
    {"the first directive wins", "ServerRoot /srv\nPidFile first.pid\nPidFile \"second.pid\"\n", PidFileScan::found,
     "first.pid"},
    {"another word or no path is no directive", "PidFileX x.pid\nPidFile\nPidFile \nPidFile \"\"\nPidFile last.pid",
     PidFileScan::found, "last.pid"},
    {"line ends are not part of the path", "PidFile \"unterminated.pid\r\n", PidFileScan::found, "unterminated.pid"},
    {"crlf after a plain path", "Listen 80\r\nPidFile crlf.pid\r\n", PidFileScan::found, "crlf.pid"},
    {"a long line is one line", std::string(1023, '#').append("PidFile mid-line.pid\nPidFile start.pid\n"),
     PidFileScan::found, "start.pid"},
    {"a path of the longest size", "PidFile \"" + longPath + "\"\n", PidFileScan::found, longPath},
    {"a longer path is refused, not cut", "PidFile " + longPath + "q\nPidFile short.pid\n", PidFileScan::tooLong, ""},
    {"no directive", "Listen 80\npidfile lower.pid\n", PidFileScan::missing, ""},
    {"empty file", "", PidFileScan::missing, ""},
};

template <typename Char> void checkScan()
{
    for (const ScanCase& c : scanCases) {
        Char path[pidFilePathSize];
        std::basic_string<Char> text = widen<Char>(c.configuration);
        EXPECT_EQ(scanPidFile(std::basic_string_view<Char>(text), path), c.result) << c.name;
        EXPECT_EQ(std::basic_string<Char>(path), widen<Char>(c.path)) << c.name;
    }
}

TEST(PidFileScan, Bytes)
{
    checkScan<char>();
}

TEST(PidFileScan, WideText)
{
    checkScan<wchar_t>();
}

struct PidCase {
    const char* text;
    bool found;
    int pid;
};

const PidCase pidCases[] = {
    {"1234\n", true, 1234},
    {"42 \t\r\n\n", true, 42},
    {"2147483647", true, 2147483647},
    {"2147483648", false, 0},
    {"99999999999999999999", false, 0},
    {"1234abc", false, 0},
    {"1234 1", false, 0},
    {"1234\nabc", false, 0},
    {" 42", false, 0},
    {"+5", false, 0},
    {"-7", false, 0},
    {"pid 1234", false, 0},
    {"", false, 0},
};

template <typename Char> void checkPid()
{
    for (const PidCase& c : pidCases) {
        int pid = 0;
        std::basic_string<Char> text = widen<Char>(c.text);
        EXPECT_EQ(parsePid(std::basic_string_view<Char>(text), pid), c.found) << c.text;
        EXPECT_EQ(pid, c.pid) << c.text;
    }
}

TEST(PidFileScan, Pid)
{
    checkPid<char>();
    checkPid<wchar_t>();
}

} // namespace
