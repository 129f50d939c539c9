// Launching and controlling processes through the Win32ProcessGlue entry
// points, called with the test JNI environment.  The children are the helper
// program, started directly or through process_spawner; every test checks
// that no child it started is left running.
#include "com_qor_vt_process_Win32ProcessGlue.h"
#include "common/test/test_jni_env.h"
#include "procctl/process_handles.h"
#include "procctl/win32/test/win32_test_support.h"
#include "procctl/win32/win32_process.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

using win32test::fileExists;
using win32test::helperCommand;
using win32test::readFile;
using win32test::ScratchDirectory;
using win32test::writeFile;

extern "C" JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM* vm, void* reserved);
extern "C" JNIEXPORT BOOL WINAPI win32_ConsoleControlHandler(DWORD event);

namespace {

using Strings = std::vector<std::optional<std::string>>;

const char* const exceptionPackage = "com/qor/vt/process/exception/";

std::string buildDirectory()
{
    std::string bin = win32test::programDirectory();
    return bin.substr(0, bin.find_last_of("\\/", bin.size() - 2) + 1);
}

std::string spawnerDirectory()
{
    return buildDirectory() + "spawner";
}

// True under wine, which marks its ntdll with an export of its own.
bool underWine()
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// The names of the running processes started from the test's programs.
std::vector<std::string> leftoverProcesses()
{
    std::vector<std::string> found;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return found;
    }
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        std::string name = entry.szExeFile;
        if (_stricmp(name.c_str(), "win_helper.exe") == 0 || _stricmp(name.c_str(), "process_spawner.exe") == 0) {
            found.push_back(name + " " + std::to_string(entry.th32ProcessID));
        }
    }
    CloseHandle(snapshot);
    return found;
}

// The record behind a live handle.
Win32ProcessRecord* recordOf(jlong handle)
{
    auto* record = static_cast<Win32ProcessRecord*>(process_BeginHandleUse(handle));
    process_EndHandleUse(handle);
    return record;
}

// Puts process_spawner on PATH (the launch finds it by the system's program
// search) in both the runtime's and the system's copy of the environment.
void setPath(const std::string& value)
{
    _putenv_s("PATH", value.c_str());
}

class Win32Launch : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        // What the virtual machine does when it loads the library.
        JNI_OnLoad(nullptr, nullptr);
        const char* path = getenv("PATH");
        originalPath = path != nullptr ? path : "";
        setPath(spawnerDirectory() + ";" + originalPath);
    }
    static void TearDownTestSuite() { setPath(originalPath); }

    void TearDown() override
    {
        // No child may outlive its test.
        for (jlong record : records) {
            Win32ProcessRecord* r = recordOf(record);
            if (r != nullptr && r->processHandle != INVALID_HANDLE_VALUE) {
                EXPECT_EQ(WaitForSingleObject(r->processHandle, 5000), WAIT_OBJECT_0)
                    << "child " << r->processId << " still running";
                TerminateProcess(r->processHandle, 1);
            }
            Java_com_qor_vt_process_Win32ProcessGlue_done(jni, nullptr, record);
        }
        // Nor any spawner or grandchild the records do not know of; a
        // spawner may take a moment to end after its reply.
        std::vector<std::string> left = leftoverProcesses();
        for (int i = 0; i < 50 && !left.empty(); i++) {
            Sleep(100);
            left = leftoverProcesses();
        }
        EXPECT_TRUE(left.empty()) << left.front();
        EXPECT_FALSE(jni.exceptionPending()) << jni.pending()->message;
    }

    // create(), remembering the record for the clean-up.
    jlong create(const std::string& commandLine, const Strings* environment, const char* directory, int priority,
                 const Strings* redirections, bool direct)
    {
        jlong record = Java_com_qor_vt_process_Win32ProcessGlue_create(
            jni, nullptr, jni.string(commandLine), environment != nullptr ? jni.stringArray(*environment) : nullptr,
            directory != nullptr ? jni.string(std::string(directory)) : nullptr, priority,
            redirections != nullptr ? jni.stringArray(*redirections) : nullptr, direct ? JNI_TRUE : JNI_FALSE);
        if (record != 0) {
            records.push_back(record);
        }
        return record;
    }

    // Runs a child through the spawner with the given redirections and waits for it.
    int runSpawned(const std::string& arguments, const Strings& redirections, const char* directory = nullptr,
                   const Strings* environment = nullptr)
    {
        jlong record = create(helperCommand(arguments), environment, directory, -1, &redirections, false);
        if (jni.exceptionPending()) {
            return -1000;
        }
        Java_com_qor_vt_process_Win32ProcessGlue_waitForTermination(jni, nullptr, record);
        return Java_com_qor_vt_process_Win32ProcessGlue_getExitCode(jni, nullptr, record);
    }

    // The class (without its package) and message of the pending exception.
    std::pair<std::string, std::string> thrown()
    {
        auto exception = jni.takeException();
        if (!exception) {
            return {"<none>", ""};
        }
        std::string name = exception->className;
        if (name.rfind(exceptionPackage, 0) == 0) {
            name = name.substr(strlen(exceptionPackage));
        }
        return {name, exception->message};
    }

    static std::string originalPath;
    TestJniEnv jni;
    std::vector<jlong> records;
    ScratchDirectory dir;
};

std::string Win32Launch::originalPath;

TEST_F(Win32Launch, DirectLaunchRunsWithTheServersHandlesAndIgnoresRedirection)
{
    // The server's standard output is a pipe here, so the child shares it.
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, &inheritable, 0));
    HANDLE savedOut = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, writeEnd);
    Strings redirections = {std::nullopt, dir / "ignored.txt", std::nullopt};
    jlong record = create(helperCommand("out direct exit 7"), nullptr, nullptr, -1, &redirections, true);
    SetStdHandle(STD_OUTPUT_HANDLE, savedOut);
    CloseHandle(writeEnd);
    ASSERT_NE(record, 0);
    ASSERT_FALSE(jni.exceptionPending()) << thrown().second;

    Java_com_qor_vt_process_Win32ProcessGlue_waitForTermination(jni, nullptr, record);
    std::string out;
    char buffer[256];
    DWORD n = 0;
    while (ReadFile(readEnd, buffer, sizeof(buffer), &n, nullptr) && n > 0) {
        out.append(buffer, n);
    }
    CloseHandle(readEnd);
    EXPECT_EQ(out, "direct\n");
    EXPECT_FALSE(fileExists(dir / "ignored.txt"));
    EXPECT_EQ(Java_com_qor_vt_process_Win32ProcessGlue_getExitCode(jni, nullptr, record), 7);
    EXPECT_EQ(Java_com_qor_vt_process_Win32ProcessGlue_ping(jni, nullptr, record), JNI_FALSE);

    Win32ProcessRecord* r = recordOf(record);
    EXPECT_EQ(jni.utf8(Java_com_qor_vt_process_Win32ProcessGlue_id(jni, nullptr, record)),
              std::to_string(r->processId));
    EXPECT_EQ(GetProcessId(r->processHandle), r->processId);
}

TEST_F(Win32Launch, SpawnerRedirectsToFilesTruncatesAppendsAndSharesOneHandle)
{
    // Output and error to the same path in another case: one handle, one
    // file position, so the lines keep their order.
    EXPECT_EQ(runSpawned("out A err B out C exit 3", {std::nullopt, dir / "both.txt", dir / "BOTH.TXT"}), 3);
    EXPECT_EQ(readFile(dir / "both.txt"), "A\nB\nC\n");

    // Without "!" an existing file is appended to; with it, emptied first.
    writeFile(dir / "log.txt", "OLD\n");
    EXPECT_EQ(runSpawned("out NEW", {std::nullopt, dir / "log.txt", std::nullopt}), 0);
    EXPECT_EQ(readFile(dir / "log.txt"), "OLD\nNEW\n");
    EXPECT_EQ(runSpawned("out FRESH", {std::nullopt, "!" + dir / "log.txt", std::nullopt}), 0);
    EXPECT_EQ(readFile(dir / "log.txt"), "FRESH\n");

    // Input from a file; relative names are taken in the working directory.
    writeFile(dir / "in.txt", "from a file\n");
    EXPECT_EQ(runSpawned("cat", {"in.txt", "copy.txt", std::nullopt}, dir.path().c_str()), 0);
    EXPECT_EQ(readFile(dir / "copy.txt"), "from a file\n");

    // "/dev/null" is the null device for input and output.
    EXPECT_EQ(runSpawned("cat out gone", {"/dev/null", "/dev/null", std::nullopt}), 0);

    // A missing input file leaves the child without standard input; the
    // launch goes on.
    EXPECT_EQ(runSpawned("handles", {dir / "missing.txt", dir / "handles.txt", std::nullopt}), 0);
    EXPECT_EQ(readFile(dir / "handles.txt").substr(0, 5), "none ");
}

TEST_F(Win32Launch, WithoutRedirectionTheSpawnedChildSharesAServerOutputThatIsAFile)
{
    // The server's standard output is a disk file: the child gets a copy of
    // it.  (A console would be withheld; under CTest there is none.)
    SECURITY_ATTRIBUTES plain = {sizeof(plain), nullptr, FALSE};
    HANDLE file = CreateFileA((dir / "server-out.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ, &plain, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    HANDLE savedOut = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, file);
    Strings noFiles = {std::nullopt, std::nullopt, std::nullopt};
    jlong record = create(helperCommand("out shared"), nullptr, nullptr, -1, &noFiles, false);
    SetStdHandle(STD_OUTPUT_HANDLE, savedOut);
    ASSERT_FALSE(jni.exceptionPending()) << thrown().second;
    Java_com_qor_vt_process_Win32ProcessGlue_waitForTermination(jni, nullptr, record);
    // The server's own handle stays open and usable.
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, "server\n", 7, &written, nullptr));
    CloseHandle(file);
    EXPECT_EQ(readFile(dir / "server-out.txt"), "shared\nserver\n");
}

TEST_F(Win32Launch, LongRedirectionPathsAreRefusedNotCut)
{
    // A name past the path limit must not be cut into the name of another
    // file: the stream gets nothing and no file appears.
    std::string longName(300, 'a');
    EXPECT_EQ(CreateRedirectionFile(nullptr, (dir / longName).c_str(), 0), INVALID_HANDLE_VALUE);
    // The directory exists, so a name cut at the limit would open.
    std::string directory = dir.path() + "\\" + std::string(240 - dir.path().size(), 'd');
    ASSERT_TRUE(CreateDirectoryA(directory.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    std::string relative(70, 'f');
    EXPECT_EQ(CreateRedirectionFile(directory.c_str(), relative.c_str(), 0), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(fileExists((directory + "\\" + relative).substr(0, MAX_PATH)));
    EXPECT_EQ(CreateRedirectionFile(nullptr, nullptr, 0), nullptr);

    EXPECT_EQ(runSpawned("handles", {std::nullopt, dir / longName, std::nullopt}), 0);
    EXPECT_FALSE(fileExists((dir / longName).substr(0, MAX_PATH)));
}

TEST_F(Win32Launch, EnvironmentAndWorkingDirectoryReachTheChild)
{
    Strings environment = {"QOR_SET=one", "PATH=C:\\qor"};
    std::string sub = dir / "created";
    EXPECT_EQ(
        runSpawned("env QOR_SET env PATH cwd", {std::nullopt, "out.txt", std::nullopt}, sub.c_str(), &environment), 0);
    std::string expected = "one\nC:\\qor;" + std::string(getenv("PATH")) + "\n" + sub + "\n";
    EXPECT_EQ(readFile(sub + "\\out.txt"), expected);

    // A direct launch gets the same environment and directory; it writes
    // to the server's standard output, a pipe here.
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, &inheritable, 0));
    HANDLE savedOut = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, writeEnd);
    jlong record = create(helperCommand("env QOR_SET cwd"), &environment, sub.c_str(), -1, nullptr, true);
    SetStdHandle(STD_OUTPUT_HANDLE, savedOut);
    CloseHandle(writeEnd);
    ASSERT_FALSE(jni.exceptionPending()) << thrown().second;
    Java_com_qor_vt_process_Win32ProcessGlue_waitForTermination(jni, nullptr, record);
    std::string out;
    char buffer[256];
    DWORD n = 0;
    while (ReadFile(readEnd, buffer, sizeof(buffer), &n, nullptr) && n > 0) {
        out.append(buffer, n);
    }
    CloseHandle(readEnd);
    EXPECT_EQ(out, "one\n" + sub + "\n");
    EXPECT_EQ(Java_com_qor_vt_process_Win32ProcessGlue_getExitCode(jni, nullptr, record), 0);
}

TEST_F(Win32Launch, WorkingDirectoryThatCannotBeCreatedOrIsTooLongFailsBeforeLaunching)
{
    std::string nested = dir / "missing\\sub";
    Strings redirections = {std::nullopt, dir / "ran.txt", std::nullopt};
    jlong record = create(helperCommand("out ran"), nullptr, nested.c_str(), -1, &redirections, false);
    EXPECT_NE(record, 0);
    auto [name, message] = thrown();
    EXPECT_EQ(name, "ProcessOpException");
    EXPECT_NE(message.find(" 003: "), std::string::npos) << message;
    EXPECT_FALSE(fileExists(dir / "ran.txt"));

    // A directory longer than the buffer is refused rather than cut short.
    std::string tooLong = dir.path() + "\\" + std::string(9000, 'x');
    create(helperCommand("out ran"), nullptr, tooLong.c_str(), -1, &redirections, false);
    std::tie(name, message) = thrown();
    EXPECT_EQ(name, "ProcessOpException");
    EXPECT_NE(message.find(" 206: "), std::string::npos) << message;
    EXPECT_FALSE(fileExists(dir / "ran.txt"));

    // "/" and "\" need nothing; an existing directory is fine.
    for (const char* fine : {"\\", "/"}) {
        EXPECT_EQ(runSpawned("exit 4", {}, fine), 4) << fine;
    }
    EXPECT_EQ(runSpawned("exit 5", {}, dir.path().c_str()), 5);
}

TEST_F(Win32Launch, MissingProgramOrMissingSpawnerIsAnInvalidExecutable)
{
    std::string missing = "\"" + (dir / "no-such-program.exe") + "\"";
    for (bool direct : {true, false}) {
        jlong record = create(missing, nullptr, nullptr, -1, nullptr, direct);
        EXPECT_NE(record, 0);
        auto [name, message] = thrown();
        EXPECT_EQ(name, "InvalidExecutableException") << "direct " << direct;
        EXPECT_NE(message.find(" 002: "), std::string::npos) << message;
    }

    // process_spawner itself not found.
    setPath(originalPath);
    create(helperCommand("exit 0"), nullptr, nullptr, -1, nullptr, false);
    setPath(spawnerDirectory() + ";" + originalPath);
    auto [name, message] = thrown();
    EXPECT_EQ(name, "InvalidExecutableException");

    // A file that is no program.
    writeFile(dir / "corrupt.exe", "this is not a program");
    for (bool direct : {true, false}) {
        create("\"" + (dir / "corrupt.exe") + "\"", nullptr, nullptr, -1, nullptr, direct);
        std::tie(name, message) = thrown();
        EXPECT_EQ(name, "InvalidExecutableException") << "direct " << direct;
        EXPECT_EQ(message.rfind("Error when loading the executable; it may be corrupt.  Please check the execuable "
                                "passed in. 193",
                                0),
                  0u)
            << message;
    }

    // No command line at all.
    EXPECT_EQ(
        Java_com_qor_vt_process_Win32ProcessGlue_create(jni, nullptr, nullptr, nullptr, nullptr, -1, nullptr, JNI_TRUE),
        0);
    std::tie(name, message) = thrown();
    EXPECT_EQ(name, "ProcessOpException");
    EXPECT_EQ(message, "Error in process definition, cannot have null commandline.");
}

TEST_F(Win32Launch, AFailedLaunchsRecordIsRefusedNotTakenForTheServer)
{
    // The invalid-handle value of a failed launch is also this process's
    // pseudo-handle: stopping it must not end the server.
    jlong record = create("\"" + (dir / "absent.exe") + "\"", nullptr, nullptr, -1, nullptr, true);
    ASSERT_NE(record, 0);
    jni.takeException();
    Java_com_qor_vt_process_Win32ProcessGlue_kill(jni, nullptr, record);
    EXPECT_EQ(thrown().first, "ProcessOpException");
    Java_com_qor_vt_process_Win32ProcessGlue_stop(jni, nullptr, record);
    EXPECT_EQ(thrown().first, "ProcessOpException");
    EXPECT_EQ(Java_com_qor_vt_process_Win32ProcessGlue_ping(jni, nullptr, record), JNI_FALSE);
    EXPECT_EQ(thrown().first, "ProcessOpException");
    Java_com_qor_vt_process_Win32ProcessGlue_waitForTermination(jni, nullptr, record);
    EXPECT_EQ(thrown().first, "ProcessOpException");
    EXPECT_EQ(Java_com_qor_vt_process_Win32ProcessGlue_getExitCode(jni, nullptr, record), -1);
    EXPECT_EQ(thrown().first, "ProcessOpException");
}

TEST_F(Win32Launch, PriorityValuesMapToClasses)
{
    const std::pair<int, DWORD> table[] = {
        {-1, 0},
        {0, REALTIME_PRIORITY_CLASS},
        {9, REALTIME_PRIORITY_CLASS},
        {10, HIGH_PRIORITY_CLASS},
        {19, HIGH_PRIORITY_CLASS},
        {20, NORMAL_PRIORITY_CLASS},
        {99, NORMAL_PRIORITY_CLASS},
        {100, IDLE_PRIORITY_CLASS},
        {5000, IDLE_PRIORITY_CLASS},
    };
    for (auto [priority, expected] : table) {
        EXPECT_EQ(win32_PriorityClass(priority), expected) << priority;
    }

    // The class reaches the child both ways.  (Realtime is left out: Windows
    // gives it only to privileged callers.)  Wine starts every process in
    // the normal class whatever the creation flags say; there the request
    // test below checks the flags that are sent.
    if (underWine()) {
        GTEST_SKIP() << "wine ignores the priority class of CreateProcess";
    }
    for (int priority : {15, 150}) {
        for (bool direct : {true, false}) {
            std::string file = dir / ("priority-" + std::to_string(priority) + (direct ? "-direct" : "") + ".txt");
            if (direct) {
                jlong record = create(helperCommand("exit 0"), nullptr, nullptr, priority, nullptr, true);
                ASSERT_FALSE(jni.exceptionPending());
                DWORD seen = GetPriorityClass(recordOf(record)->processHandle);
                Java_com_qor_vt_process_Win32ProcessGlue_waitForTermination(jni, nullptr, record);
                if (seen != 0) {
                    EXPECT_EQ(seen, win32_PriorityClass(priority)) << priority;
                }
            } else {
                Strings redirections = {std::nullopt, file, std::nullopt};
                jlong record = create(helperCommand("priority"), nullptr, nullptr, priority, &redirections, false);
                ASSERT_FALSE(jni.exceptionPending());
                Java_com_qor_vt_process_Win32ProcessGlue_waitForTermination(jni, nullptr, record);
                char expected[32];
                snprintf(expected, sizeof(expected), "0x%lx\n",
                         static_cast<unsigned long>(win32_PriorityClass(priority)));
                EXPECT_EQ(readFile(file), expected) << priority;
            }
        }
    }
}

TEST_F(Win32Launch, BindStopKillWaitAndExitCodes)
{
    jlong child = create(helperCommand("sleep 60000"), nullptr, nullptr, -1, nullptr, true);
    ASSERT_FALSE(jni.exceptionPending());
    std::string pid = jni.utf8(Java_com_qor_vt_process_Win32ProcessGlue_id(jni, nullptr, child));

    // A running process: its exit code is refused (and reads STILL_ACTIVE);
    // a wait of 0 seconds polls and reports it still running.
    EXPECT_EQ(Java_com_qor_vt_process_Win32ProcessGlue_getExitCode(jni, nullptr, child), 259);
    EXPECT_EQ(thrown().first, "ProcessStillActiveException");
    Java_com_qor_vt_process_Win32ProcessGlue_waitForTerminationWithTimeout(jni, nullptr, child, 0);
    auto [name, message] = thrown();
    EXPECT_EQ(name, "ProcessStillActiveException");
    EXPECT_EQ(message.rfind("Error waiting for process to terminate.  258", 0), 0u) << message;
    EXPECT_EQ(Java_com_qor_vt_process_Win32ProcessGlue_ping(jni, nullptr, child), JNI_TRUE);

    // Bound again by its id, it can be stopped; the exit code is 3.
    jlong bound = Java_com_qor_vt_process_Win32ProcessGlue_recreate(jni, nullptr, jni.string(pid));
    ASSERT_FALSE(jni.exceptionPending()) << thrown().second;
    records.push_back(bound);
    EXPECT_EQ(jni.utf8(Java_com_qor_vt_process_Win32ProcessGlue_id(jni, nullptr, bound)), pid);
    Java_com_qor_vt_process_Win32ProcessGlue_stop(jni, nullptr, bound);
    EXPECT_FALSE(jni.exceptionPending());
    Java_com_qor_vt_process_Win32ProcessGlue_waitForTerminationWithTimeout(jni, nullptr, child, 10);
    EXPECT_FALSE(jni.exceptionPending());
    EXPECT_EQ(Java_com_qor_vt_process_Win32ProcessGlue_getExitCode(jni, nullptr, child), 3);
    EXPECT_EQ(Java_com_qor_vt_process_Win32ProcessGlue_getExitCode(jni, nullptr, bound), 3);
    // Stopping a process that has ended already succeeds without a word.
    Java_com_qor_vt_process_Win32ProcessGlue_stop(jni, nullptr, child);
    Java_com_qor_vt_process_Win32ProcessGlue_kill(jni, nullptr, child);
    EXPECT_FALSE(jni.exceptionPending()) << thrown().second;

    // kill through the spawner's handle, and a wait with a limit that the
    // child meets.
    Strings none = {};
    jlong spawned = create(helperCommand("sleep 60000"), nullptr, nullptr, -1, &none, false);
    ASSERT_FALSE(jni.exceptionPending()) << thrown().second;
    Java_com_qor_vt_process_Win32ProcessGlue_kill(jni, nullptr, spawned);
    EXPECT_FALSE(jni.exceptionPending());
    Java_com_qor_vt_process_Win32ProcessGlue_waitForTerminationWithTimeout(jni, nullptr, spawned, 10);
    EXPECT_EQ(Java_com_qor_vt_process_Win32ProcessGlue_getExitCode(jni, nullptr, spawned), 3);

    jlong quick = create(helperCommand("sleep 200 exit 12"), nullptr, nullptr, -1, nullptr, true);
    Java_com_qor_vt_process_Win32ProcessGlue_waitForTerminationWithTimeout(jni, nullptr, quick, 30);
    EXPECT_FALSE(jni.exceptionPending());
    EXPECT_EQ(Java_com_qor_vt_process_Win32ProcessGlue_getExitCode(jni, nullptr, quick), 12);
}

TEST_F(Win32Launch, StopAndKillWithoutTheRightToEndAreAccessDenied)
{
    jlong child = create(helperCommand("sleep 60000"), nullptr, nullptr, -1, nullptr, true);
    ASSERT_FALSE(jni.exceptionPending()) << thrown().second;
    Win32ProcessRecord* r = recordOf(child);

    // A record holding only the narrowest rights of the binding ladder, as
    // a process of another user may grant: it can be pinged, not ended.
    auto* limited = static_cast<Win32ProcessRecord*>(malloc(sizeof(Win32ProcessRecord)));
    ASSERT_NE(limited, nullptr);
    limited->processId = r->processId;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), r->processHandle, GetCurrentProcess(), &limited->processHandle,
                                SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, 0));
    jlong narrow = process_IssueHandle(limited, [](void* record) {
        CloseHandle(static_cast<Win32ProcessRecord*>(record)->processHandle);
        free(record);
    });
    Java_com_qor_vt_process_Win32ProcessGlue_stop(jni, nullptr, narrow);
    auto [name, message] = thrown();
    EXPECT_EQ(name, "AccessDeniedException");
    EXPECT_EQ(message.rfind("Error stopping process due to insufficient permissions.  005: ", 0), 0u) << message;
    Java_com_qor_vt_process_Win32ProcessGlue_kill(jni, nullptr, narrow);
    std::tie(name, message) = thrown();
    EXPECT_EQ(name, "AccessDeniedException");
    EXPECT_EQ(message.rfind("Error stopping process due to insufficient permissions.   005: ", 0), 0u) << message;
    EXPECT_EQ(Java_com_qor_vt_process_Win32ProcessGlue_ping(jni, nullptr, narrow), JNI_TRUE);
    Java_com_qor_vt_process_Win32ProcessGlue_done(jni, nullptr, narrow);

    Java_com_qor_vt_process_Win32ProcessGlue_kill(jni, nullptr, child);
    EXPECT_FALSE(jni.exceptionPending());
    Java_com_qor_vt_process_Win32ProcessGlue_waitForTerminationWithTimeout(jni, nullptr, child, 10);
    EXPECT_EQ(Java_com_qor_vt_process_Win32ProcessGlue_getExitCode(jni, nullptr, child), 3);
}

TEST_F(Win32Launch, BindingToIdsOfNoProcessIsProcessHasExited)
{
    // An id of no process, 0 and a non-number (atoi gives 0) are all
    // rejected by the system as invalid.
    // (Wine still binds to the id of a process that has just ended; Windows
    // refuses it once the last handle is closed.  An id far above any in use
    // stands in for it.)
    for (const std::string& pid : {std::string("99999996"), std::string("0"), std::string("not a number")}) {
        jlong record = Java_com_qor_vt_process_Win32ProcessGlue_recreate(jni, nullptr, jni.string(pid));
        EXPECT_NE(record, 0);
        records.push_back(record);
        auto [name, message] = thrown();
        EXPECT_EQ(name, "ProcessHasExitedException") << pid;
        EXPECT_EQ(message.rfind("Error recreating/binding to process.  087", 0), 0u) << message;
    }
    EXPECT_EQ(Java_com_qor_vt_process_Win32ProcessGlue_recreate(jni, nullptr, nullptr), 0);
    EXPECT_EQ(thrown(), std::make_pair(std::string("ProcessOpException"), std::string("Error recreating process. ")));
}

TEST_F(Win32Launch, SelfRecordCanBePingedButNotWaitedForNorAskedItsExitCode)
{
    jlong self = Java_com_qor_vt_process_Win32ProcessGlue_createSelf(jni, nullptr);
    ASSERT_NE(self, 0);
    ASSERT_FALSE(jni.exceptionPending());
    EXPECT_EQ(jni.utf8(Java_com_qor_vt_process_Win32ProcessGlue_id(jni, nullptr, self)),
              std::to_string(GetCurrentProcessId()));
    Java_com_qor_vt_process_Win32ProcessGlue_waitForTermination(jni, nullptr, self);
    EXPECT_EQ(thrown(), std::make_pair(std::string("WaitForSelfTerminationException"),
                                       std::string("Attempt to wait for self to terminate")));
    Java_com_qor_vt_process_Win32ProcessGlue_waitForTerminationWithTimeout(jni, nullptr, self, 1);
    EXPECT_EQ(thrown().first, "WaitForSelfTerminationException");
    EXPECT_EQ(Java_com_qor_vt_process_Win32ProcessGlue_getExitCode(jni, nullptr, self), -1);
    EXPECT_EQ(thrown(), std::make_pair(std::string("ProcessStillActiveException"),
                                       std::string("Attempt to get exit code of self")));
    EXPECT_EQ(Java_com_qor_vt_process_Win32ProcessGlue_ping(jni, nullptr, self), JNI_TRUE);
    Java_com_qor_vt_process_Win32ProcessGlue_done(jni, nullptr, self);
}

volatile sig_atomic_t breakSeen = 0;

TEST_F(Win32Launch, ThreadDumpRaisesBreakAndOnLoadInstallsTheLogoffHandler)
{
    jlong self = Java_com_qor_vt_process_Win32ProcessGlue_createSelf(jni, nullptr);
    auto previous = signal(SIGBREAK, [](int) { breakSeen = 1; });
    Java_com_qor_vt_process_Win32ProcessGlue_pokeVMThreadDump(jni, nullptr, self);
    signal(SIGBREAK, previous);
    EXPECT_EQ(breakSeen, 1);
    Java_com_qor_vt_process_Win32ProcessGlue_done(jni, nullptr, self);

    EXPECT_EQ(JNI_OnLoad(nullptr, nullptr), 0x00010002);
    EXPECT_TRUE(win32_ConsoleControlHandler(CTRL_LOGOFF_EVENT));
    EXPECT_FALSE(win32_ConsoleControlHandler(CTRL_C_EVENT));
    EXPECT_FALSE(win32_ConsoleControlHandler(CTRL_SHUTDOWN_EVENT));
    SetConsoleCtrlHandler(win32_ConsoleControlHandler, FALSE);
}

TEST_F(Win32Launch, EmptyCommandLineThroughTheSpawnerFailsWithoutHanging)
{
    DWORD pid = 0;
    HANDLE handle = nullptr;
    const char* const noRedirections[3] = {nullptr, nullptr, nullptr};
    DWORD result = win32_CreateProcess("", 0, nullptr, nullptr, -1, noRedirections, &pid, &handle, 0);
    EXPECT_NE(result, 0u);
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
}

TEST_F(Win32Launch, HandlesAreCheckedNotTrusted)
{
    // Released while another thread waits on it: the release takes effect
    // when the wait returns, and the wait returns as any other.
    jlong child = Java_com_qor_vt_process_Win32ProcessGlue_create(
        jni, nullptr, jni.string(helperCommand("sleep 60000")), nullptr, nullptr, -1, nullptr, JNI_TRUE);
    ASSERT_FALSE(jni.exceptionPending()) << thrown().second;
    std::string pid = jni.utf8(Java_com_qor_vt_process_Win32ProcessGlue_id(jni, nullptr, child));
    std::optional<TestJniEnv::Exception> waitFailure;
    std::thread waiter([child, &waitFailure] {
        TestJniEnv own;
        Java_com_qor_vt_process_Win32ProcessGlue_waitForTermination(own, nullptr, child);
        waitFailure = own.takeException();
    });
    Sleep(100);
    Java_com_qor_vt_process_Win32ProcessGlue_done(jni, nullptr, child);
    EXPECT_FALSE(jni.exceptionPending()) << thrown().second;
    jlong bound = Java_com_qor_vt_process_Win32ProcessGlue_recreate(jni, nullptr, jni.string(pid));
    records.push_back(bound);
    Java_com_qor_vt_process_Win32ProcessGlue_kill(jni, nullptr, bound);
    waiter.join();
    EXPECT_FALSE(waitFailure.has_value()) << waitFailure->message;

    // Released handles, and numbers that were never handles, are refused
    // without being read.
    jlong self = Java_com_qor_vt_process_Win32ProcessGlue_createSelf(jni, nullptr);
    Java_com_qor_vt_process_Win32ProcessGlue_done(jni, nullptr, self);
    ASSERT_FALSE(jni.exceptionPending());
    int local = 0;
    for (jlong h :
         {child, self, self + 1, jlong{1}, jlong{-1}, jlong{4096},
          static_cast<jlong>(reinterpret_cast<uintptr_t>(&local)), static_cast<jlong>(0x8000000000000000ULL)}) {
        Java_com_qor_vt_process_Win32ProcessGlue_ping(jni, nullptr, h);
        auto [name, message] = thrown();
        EXPECT_EQ(name, "ProcessOpException") << h;
        EXPECT_EQ(message.rfind("Error pinging process.  006: ", 0), 0u) << message;
        Java_com_qor_vt_process_Win32ProcessGlue_kill(jni, nullptr, h);
        EXPECT_EQ(thrown().first, "ProcessOpException") << h;
        Java_com_qor_vt_process_Win32ProcessGlue_id(jni, nullptr, h);
        EXPECT_EQ(thrown().first, "ProcessOpException") << h;
        Java_com_qor_vt_process_Win32ProcessGlue_done(jni, nullptr, h);
        std::tie(name, message) = thrown();
        EXPECT_EQ(name, "ProcessOpException") << h;
        EXPECT_EQ(message.rfind("Error releasing process object.  006: ", 0), 0u) << message;
    }
}

TEST_F(Win32Launch, AHandleNamesNothingUntilItsRecordIsComplete)
{
    // Handles are issued in steps of one size: the next one is known. While
    // create runs, that number must name nothing (a done on it would free the
    // record that the launch is still filling in).
    jlong h1 = process_IssueHandle(nullptr, [](void*) {});
    jlong h2 = process_IssueHandle(nullptr, [](void*) {});
    process_RetireHandle(h1);
    process_RetireHandle(h2);
    const jlong next = static_cast<jlong>(static_cast<uint64_t>(h2) * 2 - static_cast<uint64_t>(h1));
    std::atomic<bool> returned{false};
    std::string seen;
    std::thread guesser([&] {
        TestJniEnv own;
        while (!returned.load() && seen.empty()) {
            jstring id = Java_com_qor_vt_process_Win32ProcessGlue_id(own, nullptr, next);
            if (!own.takeException()) {
                seen = own.utf8(id);
            }
        }
    });
    jlong child = create(helperCommand("exit 5"), nullptr, nullptr, -1, nullptr, true);
    returned = true;
    guesser.join();
    ASSERT_EQ(child, next);
    std::string pid = jni.utf8(Java_com_qor_vt_process_Win32ProcessGlue_id(jni, nullptr, child));
    EXPECT_TRUE(seen.empty() || seen == pid) << "a record seen half made: process " << seen;
}

TEST_F(Win32Launch, AWaitOfMinusOneSecondsHasNoLimit)
{
    jlong child = create(helperCommand("sleep 1500 exit 4"), nullptr, nullptr, -1, nullptr, true);
    ASSERT_FALSE(jni.exceptionPending()) << thrown().second;
    Java_com_qor_vt_process_Win32ProcessGlue_waitForTerminationWithTimeout(jni, nullptr, child, -1);
    EXPECT_FALSE(jni.exceptionPending()) << thrown().second;
    EXPECT_EQ(Java_com_qor_vt_process_Win32ProcessGlue_getExitCode(jni, nullptr, child), 4);
}

TEST_F(Win32Launch, SpawnerRequestAndFailureReplyAreLaidOutByteForByte)
{
    setPath(buildDirectory() + "recording-spawner;" + originalPath);
    std::string record = dir / "request.txt";
    Strings environment = {"QOR_SPAWNER_RECORD=" + record};
    Strings redirections = {std::nullopt, dir / "out.txt", std::nullopt};
    std::string command = "program with \"quoted\" arguments";
    create(command, &environment, nullptr, 15, &redirections, false);
    auto [name, message] = thrown();
    // The spawner's error code reaches the exception.
    EXPECT_EQ(name, "ProcessOpException");
    EXPECT_NE(message.find(" 1234"), std::string::npos) << message;
    std::string expected = "server " + std::to_string(GetCurrentProcessId()) +
                           "\nstdin .*\nstdout disk\nstderr .*\nflags 0x88\nlength " + std::to_string(command.size()) +
                           "\ncommand \\[" + "program with \"quoted\" arguments" + "\\]\nextra 0\n";
    std::string seen = readFile(record);
    EXPECT_TRUE(std::regex_match(seen, std::regex(expected))) << seen;

    // A command line of 0 bytes goes with length 0 and nothing after it.
    _putenv_s("QOR_SPAWNER_RECORD", record.c_str());
    DWORD pid = 0;
    HANDLE handle = nullptr;
    EXPECT_EQ(win32_CreateProcess("", 0, nullptr, nullptr, 150, nullptr, &pid, &handle, 0), 1234u);
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
    // A failure reply whose handle is the invalid-handle value keeps its code too.
    _putenv_s("QOR_SPAWNER_REPLY", "invalid");
    EXPECT_EQ(win32_CreateProcess("", 0, nullptr, nullptr, 150, nullptr, &pid, &handle, 0), 1234u);
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
    _putenv_s("QOR_SPAWNER_REPLY", "");
    _putenv_s("QOR_SPAWNER_RECORD", "");
    setPath(spawnerDirectory() + ";" + originalPath);
    seen = readFile(record);
    EXPECT_NE(seen.find("flags 0x48\nlength 0\ncommand []\nextra 0\n"), std::string::npos) << seen;
}

} // namespace
