// webhalt.exe run as a program under the test: the command line, the
// failures on the way to the server's event, and the event of a stand-in
// server (event_waiter.exe) set for real.
#include "common/win32.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string utf8(const std::wstring& text)
{
    std::u8string bytes = fs::path(text).u8string();
    return std::string(bytes.begin(), bytes.end());
}

std::string readFile(const fs::path& path)
{
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

// The running webhalt and event_waiter processes.
std::vector<DWORD> leftovers()
{
    std::vector<DWORD> found;
    unique_file_handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, L"webhalt.exe") == 0 || _wcsicmp(entry.szExeFile, L"event_waiter.exe") == 0) {
            found.push_back(entry.th32ProcessID);
        }
    }
    return found;
}

struct Result {
    DWORD status;
    std::string err;
};

class WebhaltWin32 : public ::testing::Test {
  protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() / ("webhalt-test-" + std::to_string(GetCurrentProcessId()));
        fs::create_directories(dir);
    }

    void TearDown() override
    {
        fs::remove_all(dir);
        EXPECT_TRUE(leftovers().empty()) << "a test program is still running";
    }

    std::wstring path(const std::wstring& name) { return (dir / name).wstring(); }

    void writeFile(const std::wstring& name, const std::string& bytes)
    {
        std::ofstream(dir / name, std::ios::binary) << bytes;
    }

    // Starts a program of the build; a caller that gets a handle owns it.
    unique_handle start(const std::wstring& program, const std::wstring& arguments, HANDLE out, HANDLE err)
    {
        wchar_t self[MAX_PATH + 1] = {0};
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring commandLine = L"\"" + (fs::path(self).parent_path() / program).wstring() + L"\" " + arguments;
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = out;
        startup.hStdError = err;
        PROCESS_INFORMATION info = {};
        EXPECT_TRUE(
            CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info));
        CloseHandle(info.hThread);
        return unique_handle(info.hProcess);
    }

    // Runs webhalt.exe to its end; its standard output must stay empty.
    Result run(const std::wstring& arguments)
    {
        SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
        std::wstring outPath = path(L"out.txt");
        std::wstring errPath = path(L"err.txt");
        Result result = {0, ""};
        {
            unique_file_handle out(CreateFileW(outPath.c_str(), GENERIC_WRITE, 0, &inherit, CREATE_ALWAYS,
                                               FILE_ATTRIBUTE_NORMAL, nullptr));
            unique_file_handle err(CreateFileW(errPath.c_str(), GENERIC_WRITE, 0, &inherit, CREATE_ALWAYS,
                                               FILE_ATTRIBUTE_NORMAL, nullptr));
            unique_handle process = start(L"webhalt.exe", arguments, out.get(), err.get());
            if (WaitForSingleObject(process.get(), 10000) != WAIT_OBJECT_0) {
                ADD_FAILURE() << "webhalt did not end";
                TerminateProcess(process.get(), 99);
                WaitForSingleObject(process.get(), INFINITE);
            }
            GetExitCodeProcess(process.get(), &result.status);
        }
        EXPECT_EQ(readFile(outPath), "");
        result.err = readFile(errPath);
        return result;
    }

    fs::path dir;
};

constexpr DWORD refused = static_cast<DWORD>(-1);

// Every case of the command line, and a configuration path at its limit.
TEST_F(WebhaltWin32, CommandLine)
{
    const std::wstring missing = L"nothere\\" + std::wstring(251, L'x');
    const struct {
        std::wstring arguments;
        DWORD status;
        std::string err;
    } cases[] = {
        {L"", refused, "error: no Apache configuration file specified\n"},
        {L"-k shutdown", refused, "error: no Apache configuration file specified\n"},
        {L"-f httpd.conf", refused, "error: -k must be specified\n"},
        {L"-k shutdown -f", refused, "error: filename must be specified for -f argument\n"},
        {L"-f httpd.conf -k", refused, "error: action must be specified for -k argument\n"},
        {L"-F httpd.conf -k shutdown", refused, ""},
        {L"-f httpd.conf -k shutdown -fk x", refused, ""},
        {L"-f first.conf -f nothere/second.conf -k shutdown", 1, "_wfsopen(nothere\\second.conf): 3\n"},
        {L"-k shutdown -f " + missing, 1, "_wfsopen(" + utf8(missing) + "): 3\n"},
        {L"-k shutdown -f " + missing + L"x", refused,
         "error: the configuration file path is longer than 259 characters\n"},
    };
    for (const auto& c : cases) {
        Result result = run(c.arguments);
        EXPECT_EQ(result.status, c.status) << c.err;
        EXPECT_EQ(result.err, c.err);
    }
}

// The steps from the configuration file to the event, and where each stops.
TEST_F(WebhaltWin32, SignallingFailures)
{
    const std::wstring conf = path(L"httpd.conf");
    std::wstring slashed = path(L"httpd.pid");
    std::replace(slashed.begin(), slashed.end(), L'\\', L'/');
    const std::string directive = "PidFile \"" + utf8(slashed) + "\"\n";
    const std::string pidFile = utf8(path(L"httpd.pid"));
    const std::wstring common = L"-f \"" + conf + L"\" -k ";
    const struct {
        std::string configuration;
        const char* pid; // nullptr for no pid file
        std::wstring action;
        DWORD status;
        std::string err;
    } cases[] = {
        {"Listen 80\n", nullptr, L"shutdown", 1, "error: could not find PidFile directive in " + utf8(conf) + "\n"},
        {"PidFile " + std::string(261, 'p') + "\n", nullptr, L"shutdown", refused,
         "error: the PidFile path in " + utf8(conf) + " is longer than 260 characters\n"},
        {directive + std::string(16 * 1024 * 1024, '#'), nullptr, L"shutdown", 1,
         "error: the configuration file " + utf8(conf) + " is longer than 16 MiB\n"},
        {directive, nullptr, L"shutdown", 1, "_wfsopen(" + pidFile + "): 2\n"},
        {directive, "pid 1234\n", L"shutdown", 1, "error: could not find pid in " + pidFile + "\n"},
        {directive, "4000000 1\n", L"shutdown", 1, "error: could not find pid in " + pidFile + "\n"},
        {directive, "4000000\n", L"shutdown", 1, "OpenEvent(ap4000000_shutdown): 2\n"},
        // "ap4000000_" and the action fill the 103 characters of the name.
        {directive, "4000000\n", std::wstring(93, L'a'), 1, "OpenEvent(ap4000000_" + std::string(93, 'a') + "): 2\n"},
        {directive, "4000000\n", std::wstring(94, L'a'), refused,
         "error: the event name for action " + std::string(94, 'a') + " is longer than 103 characters\n"},
    };
    for (const auto& c : cases) {
        writeFile(L"httpd.conf", c.configuration);
        DeleteFileW(path(L"httpd.pid").c_str());
        if (c.pid != nullptr) {
            writeFile(L"httpd.pid", c.pid);
        }
        Result result = run(common + c.action);
        EXPECT_EQ(result.status, c.status) << c.err;
        EXPECT_EQ(result.err, c.err);
    }
}

// A server stand-in creates ap<pid>_shutdown and waits; webhalt finds it
// through the configuration and the pid file and sets the event.  The
// directory's name has a blank and characters outside the ANSI code page, so
// every path on the way must stay wide.
TEST_F(WebhaltWin32, SetsTheServersEvent)
{
    const std::wstring server = L"server \u00e9\u0436";
    fs::create_directories(dir / server);
    const std::wstring pidFile = path(server + L"\\httpd.pid");
    std::wstring slashed = pidFile;
    std::replace(slashed.begin(), slashed.end(), L'\\', L'/');
    writeFile(server + L"\\httpd.conf", "# PidFile \"wrong.pid\"\nPidFile \"" + utf8(slashed) + "\"\n");

    unique_handle waiter = start(L"event_waiter.exe", L"\"" + pidFile + L"\" shutdown 10000", nullptr, nullptr);
    ASSERT_TRUE(waiter);
    for (int i = 0; i < 100 && readFile(pidFile).find('\n') == std::string::npos; i++) {
        Sleep(100);
    }
    Result result = run(L"-f \"" + path(server + L"\\httpd.conf") + L"\" -k shutdown");
    EXPECT_EQ(result.status, 0u);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(WaitForSingleObject(waiter.get(), 1000), WAIT_OBJECT_0) << "the server did not see its event";
    DWORD status = 99;
    TerminateProcess(waiter.get(), 99);
    WaitForSingleObject(waiter.get(), INFINITE);
    GetExitCodeProcess(waiter.get(), &status);
    EXPECT_EQ(status, 0u);
}

} // namespace
