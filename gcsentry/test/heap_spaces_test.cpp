// The heap in use from the virtual machine's performance-data memory, against
// the test JVMTI environment: the block is a real one (the G1 fixture) in a
// file named as HotSpot names it, .../hsperfdata_<user>/<pid>, mapped shared
// into this process; the agent looks for it when the VMInit event fires and
// sums its spaces' used counters at each collection end.
#include "gcsentry/test/fake_jni.h"
#include "gcsentry/test/fake_jvmti.h"
#include "gcsentry/test/loaded_agent.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::int64_t GiB = 1024LL * 1024 * 1024;
// Where the fixture's four used counters lie (old space, eden, s0, s1).
constexpr std::size_t USED_OFFSETS[] = {6352, 7000, 7336, 7672};
constexpr std::size_t MAPPING_SIZE = 32768;

// The fixture in a file named dirName/fileName under a private temporary
// directory, mapped shared, as the virtual machine maps its own.
class PerfDataFile {
  public:
    PerfDataFile(const std::string& dirName, const std::string& fileName)
    {
        std::string pattern = (fs::temp_directory_path() / "gcsentry-test-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            ADD_FAILURE() << "mkdtemp failed";
            return;
        }
        root_ = pattern;
        fs::create_directory(root_ / dirName);
        path_ = root_ / dirName / fileName;
        fs::copy_file(GCSENTRY_FIXTURE_DIR "/hsperfdata_g1.bin", path_);
        fs::resize_file(path_, MAPPING_SIZE);
        int fd = open(path_.c_str(), O_RDWR | O_CLOEXEC);
        void* at = mmap(nullptr, MAPPING_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
        if (at == MAP_FAILED) {
            ADD_FAILURE() << "mmap failed";
            return;
        }
        block_ = static_cast<unsigned char*>(at);
    }
    ~PerfDataFile()
    {
        if (block_ != nullptr) {
            munmap(block_, MAPPING_SIZE);
        }
        if (!root_.empty()) {
            fs::remove_all(root_);
        }
    }
    PerfDataFile(const PerfDataFile&) = delete;
    PerfDataFile& operator=(const PerfDataFile&) = delete;

    // The collector's side: the used values of the four spaces.
    void setUsed(std::int64_t oldSpace, std::int64_t eden, std::int64_t s0, std::int64_t s1)
    {
        const std::int64_t values[] = {oldSpace, eden, s0, s1};
        for (int i = 0; i < 4; i++) {
            memcpy(block_ + USED_OFFSETS[i], &values[i], sizeof(std::int64_t));
        }
    }
    // As a temporary-file cleaner would: the mapping stays.
    void removeFile() { fs::remove(path_); }

  private:
    fs::path root_;
    fs::path path_;
    unsigned char* block_ = nullptr;
};

std::string ownPid()
{
    return std::to_string(getpid());
}

class HeapSpaces : public ::testing::Test {
  protected:
    FakeJvmti jvmti;
    FakeJni jni{jvmti};
    LoadedAgent agent;

    void start()
    {
        ASSERT_EQ(agent.Agent_OnLoad(jvmti.vm(), nullptr, nullptr), 0);
        ASSERT_EQ(agent.init(jni.env(), nullptr), 0);
        jvmti.vmInit();
    }

    // The value a waiter reads after one collection.
    jlong waitAcrossCollection()
    {
        std::atomic<jlong> value{0};
        std::thread waiter([&] { value = agent.waitForGCCompletion(jni.env(), nullptr); });
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (jvmti.waiting() == 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
        jvmti.collectionEnds();
        waiter.join();
        return value;
    }
};

TEST_F(HeapSpaces, EachCollectionSumsTheSpacesAsTheyAreThen)
{
    PerfDataFile file("hsperfdata_someone", ownPid());
    start();
    file.setUsed(3 * GiB, 1 * GiB + 5, 0, 2 * GiB); // beyond 32 bits
    EXPECT_EQ(waitAcrossCollection(), 6 * GiB + 5);
    file.setUsed(100, 0, 20, 0);
    EXPECT_EQ(waitAcrossCollection(), 120);
    EXPECT_FALSE(jvmti.held());
}

TEST_F(HeapSpaces, AMappingWhoseFileWasRemovedIsStillRead)
{
    PerfDataFile file("hsperfdata_root", ownPid());
    file.removeFile();
    start();
    file.setUsed(7, 11, 13, 17);
    EXPECT_EQ(waitAcrossCollection(), 48);
}

TEST_F(HeapSpaces, OnlyTheVirtualMachinesOwnFileCounts)
{
    // Another process's block (as a monitoring tool in this process would
    // map it), and one outside an hsperfdata_ directory.
    PerfDataFile other("hsperfdata_root", ownPid() + "0");
    PerfDataFile elsewhere("perfdata_root", ownPid());
    start();
    other.setUsed(1, 2, 3, 4);
    elsewhere.setUsed(1, 2, 3, 4);
    EXPECT_EQ(waitAcrossCollection(), -1);
}

TEST_F(HeapSpaces, TheHeapFunctionsWinOverTheCounters)
{
    PerfDataFile file("hsperfdata_root", ownPid());
    jvmti.extensionFunctionIds = {FakeJvmti::HEAP_TOTAL_ID, FakeJvmti::HEAP_FREE_ID};
    jvmti.heapTotal = 50;
    jvmti.heapFree = 8;
    start();
    file.setUsed(1, 2, 3, 4);
    EXPECT_EQ(waitAcrossCollection(), 42);
}

} // namespace
