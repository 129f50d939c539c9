// The emulated interfaces themselves: the kstat chain, psinfo files and DLPI
// streams on a scripted source, and the live source on this machine.
#include "compat/sunos/fixture_source.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <kstat.h>
#include <procfs.h>
#include <string>
#include <stropts.h>
#include <sys/dlpi.h>
#include <sys/processor.h>
#include <sys/sysinfo.h>
#include <sys/systeminfo.h>
#include <thread>
#include <type_traits>
#include <unistd.h>
#include <vector>

namespace {

class Emulation : public ::testing::Test {
  protected:
    FixtureSource fixture;
    ScopedSource scoped{fixture};
};

TEST_F(Emulation, KstatChainInOrderWithReadsIntoTheCallersBuffer)
{
    fixture.addCpuStat(0, 1, 2, 3, 4);
    fixture.addNamed("unix", "system_pages", {FixtureSource::named("freemem", KSTAT_DATA_UINT64, 77)});
    fixture.addCpuStat(1, 5, 6, 7, 8, /*readFails=*/true);
    kstat_ctl_t* kc = kstat_open();
    ASSERT_NE(nullptr, kc);
    kstat_t* ks = kc->kc_chain;
    ASSERT_NE(nullptr, ks);
    EXPECT_STREQ("cpu_stat0", ks->ks_name);
    EXPECT_STREQ("cpu_stat", ks->ks_module);
    EXPECT_EQ(KSTAT_TYPE_RAW, ks->ks_type);
    cpu_stat_t stat{};
    ASSERT_NE(-1, kstat_read(kc, ks, &stat));
    EXPECT_EQ(2U, stat.cpu_sysinfo.cpu[CPU_USER]);
    EXPECT_EQ(4U, stat.cpu_sysinfo.cpu[CPU_WAIT]);

    ks = ks->ks_next;
    ASSERT_NE(nullptr, ks);
    EXPECT_EQ(KSTAT_TYPE_NAMED, ks->ks_type);
    EXPECT_EQ(sizeof(kstat_named_t), ks->ks_data_size);
    ASSERT_NE(-1, kstat_read(kc, ks, nullptr)) << "a read without a buffer fills ks_data";
    EXPECT_EQ(1U, ks->ks_ndata);
    EXPECT_EQ(77U, static_cast<kstat_named_t*>(ks->ks_data)->value.ui64);
    EXPECT_EQ(ks, kstat_lookup(kc, "unix", -1, "system_pages"));

    ks = ks->ks_next;
    ASSERT_NE(nullptr, ks);
    EXPECT_EQ(-1, kstat_read(kc, ks, &stat));
    EXPECT_EQ(nullptr, ks->ks_next);
    EXPECT_EQ(0, kstat_close(kc));

    fixture.kstatOpenFails = true;
    EXPECT_EQ(nullptr, kstat_open());
}

TEST_F(Emulation, PsinfoFileHoldsTheRecordOrAsMuchAsTheSourceGives)
{
    psinfo_t info{};
    info.pr_pid = 4242;
    info.pr_size = 1234;
    info.pr_rssize = 567;
    fixture.psinfos[4242] = {info, sizeof info};
    fixture.psinfos[4243] = {info, 100};

    int fd = open("/proc/4242/psinfo", O_RDONLY | O_NDELAY);
    ASSERT_GT(fd, 0);
    unsigned char bytes[400];
    ASSERT_EQ(336, read(fd, bytes, sizeof bytes));
    uint32_t word = 0;
    memcpy(&word, bytes + 44, 4);
    EXPECT_EQ(1234U, word);
    memcpy(&word, bytes + 48, 4);
    EXPECT_EQ(567U, word);
    EXPECT_EQ(0, close(fd));

    fd = open("/proc/4243/psinfo", O_RDONLY);
    ASSERT_GT(fd, 0);
    EXPECT_EQ(100, read(fd, bytes, sizeof bytes));
    close(fd);

    errno = 0;
    EXPECT_EQ(-1, open("/proc/4244/psinfo", O_RDONLY));
    EXPECT_EQ(ENOENT, errno);
    // Ids beyond the range of a pid name no process, not the one they wrap to
    // (2^32 + 4242 is 4242 in 32 bits).
    for (const char* path : {"/proc/4294971538/psinfo", "/proc/99999999999999999999004242/psinfo"}) {
        errno = 0;
        EXPECT_EQ(-1, open(path, O_RDONLY)) << path;
        EXPECT_EQ(ENOENT, errno) << path;
    }
}

TEST_F(Emulation, OtherPathsAreTheMachinesOwn)
{
    int fd = open("/dev/null", O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(3, write(fd, "abc", 3));
    EXPECT_EQ(0, close(fd));
    fd = open("/proc/self/stat", O_RDONLY);
    ASSERT_GE(fd, 0);
    char c = 0;
    EXPECT_EQ(1, read(fd, &c, 1));
    close(fd);
    EXPECT_EQ(-1, open("/no/such/file", O_RDONLY));
    EXPECT_EQ(ENOENT, errno);
}

int words(const struct strbuf& ctl, int index)
{
    uint32_t w = 0;
    memcpy(&w, ctl.buf + 4 * index, 4);
    return static_cast<int>(w);
}

TEST_F(Emulation, DlpiStreamAttachesBindsAndReplies)
{
    fixture.addEthernet("bge", 0, {0x00, 0x14, 0x4F, 0xA2, 0x3B, 0x1C});
    int fd = open("/dev/bge", O_RDWR);
    ASSERT_GE(fd, 0);
    alignas(4) char area[256];
    struct strbuf ctl = {sizeof area, 0, area};
    struct strbuf dat = {0, 0, nullptr};
    int flags = 0;

    // A bind before the attach is out of state.
    dl_bind_req_t bind = {DL_BIND_REQ, 22, 1, DL_CLDLS, 0, 0};
    memcpy(area, &bind, sizeof bind);
    ctl.len = sizeof bind;
    ASSERT_EQ(0, putmsg(fd, &ctl, nullptr, 0));
    ASSERT_EQ(0, getmsg(fd, &ctl, &dat, &flags));
    EXPECT_EQ(DL_ERROR_ACK, words(ctl, 0));
    EXPECT_EQ(DL_BIND_REQ, words(ctl, 1));
    EXPECT_EQ(DL_OUTSTATE, words(ctl, 2));
    EXPECT_EQ(-1, dat.len);

    dl_attach_req_t attach = {DL_ATTACH_REQ, 0};
    memcpy(area, &attach, sizeof attach);
    ctl.len = sizeof attach;
    ASSERT_EQ(0, putmsg(fd, &ctl, nullptr, 0));
    ASSERT_EQ(0, getmsg(fd, &ctl, &dat, &flags));
    EXPECT_EQ(static_cast<int>(sizeof(dl_ok_ack_t)), ctl.len);
    EXPECT_EQ(DL_OK_ACK, words(ctl, 0));

    memcpy(area, &bind, sizeof bind);
    ctl.len = sizeof bind;
    ASSERT_EQ(0, putmsg(fd, &ctl, nullptr, 0));
    ASSERT_EQ(0, getmsg(fd, &ctl, &dat, &flags));
    dl_bind_ack_t ack;
    memcpy(&ack, area, sizeof ack);
    EXPECT_EQ(static_cast<t_uscalar_t>(DL_BIND_ACK), ack.dl_primitive);
    EXPECT_EQ(22U, ack.dl_sap);
    EXPECT_EQ(8U, ack.dl_addr_length);
    ASSERT_EQ(static_cast<int>(ack.dl_addr_offset + 8), ctl.len);
    EXPECT_EQ(0, memcmp(area + ack.dl_addr_offset, "\x00\x14\x4F\xA2\x3B\x1C\x16\x00", 8));

    // Nothing asked, nothing to read; and a closed stream is no stream.
    EXPECT_EQ(-1, getmsg(fd, &ctl, &dat, &flags));
    EXPECT_EQ(EAGAIN, errno);
    EXPECT_EQ(0, close(fd));
    EXPECT_EQ(-1, putmsg(fd, &ctl, nullptr, 0));
    EXPECT_EQ(ENOSTR, errno);
}

TEST_F(Emulation, DlpiReplyLongerThanTheBufferIsCut)
{
    fixture.addEthernet("bge", 0, {1, 2, 3, 4, 5, 6});
    int fd = open("/dev/bge", O_RDWR);
    ASSERT_GE(fd, 0);
    alignas(4) char area[64];
    struct strbuf ctl = {sizeof area, 0, area};
    dl_attach_req_t attach = {DL_ATTACH_REQ, 0};
    memcpy(area, &attach, sizeof attach);
    ctl.len = sizeof attach;
    ASSERT_EQ(0, putmsg(fd, &ctl, nullptr, 0));
    ctl.maxlen = 4;
    int flags = 0;
    EXPECT_EQ(MORECTL, getmsg(fd, &ctl, nullptr, &flags));
    EXPECT_EQ(4, ctl.len);
    close(fd);
    EXPECT_EQ(-1, open("/dev/missing", O_RDWR));
    EXPECT_EQ(ENOENT, errno);
}

// Opens, attaches, binds and closes a stream; true when the bind acknowledgement
// carried the address.
bool boundAddress(const char* device, const unsigned char* address)
{
    int fd = open(device, O_RDWR);
    if (fd < 0) {
        return false;
    }
    alignas(4) char area[256];
    struct strbuf ctl = {sizeof area, 0, area};
    int flags = 0;
    dl_attach_req_t attach = {DL_ATTACH_REQ, 0};
    memcpy(area, &attach, sizeof attach);
    ctl.len = sizeof attach;
    bool ok = putmsg(fd, &ctl, nullptr, 0) == 0 && getmsg(fd, &ctl, nullptr, &flags) == 0 && words(ctl, 0) == DL_OK_ACK;
    dl_bind_req_t bind = {DL_BIND_REQ, 22, 1, DL_CLDLS, 0, 0};
    memcpy(area, &bind, sizeof bind);
    ctl.len = sizeof bind;
    ok = ok && putmsg(fd, &ctl, nullptr, 0) == 0 && getmsg(fd, &ctl, nullptr, &flags) == 0 &&
         words(ctl, 0) == DL_BIND_ACK && memcmp(area + words(ctl, 3), address, 6) == 0;
    return close(fd) == 0 && ok;
}

TEST_F(Emulation, DlpiStreamsOfManyThreadsAtOnceKeepTheirOwnState)
{
    const unsigned char address[] = {0x00, 0x14, 0x4F, 0xA2, 0x3B, 0x1C};
    fixture.addEthernet("bge", 0, {address, address + 6});
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 32; t++) {
        threads.emplace_back([&] {
            for (int i = 0; i < 250; i++) {
                failures += boundAddress("/dev/bge", address) ? 0 : 1;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(0, failures.load()) << "of 8000 streams";
}

TEST_F(Emulation, DlpiStreamsOpenAtOnceAreNotLimitedBelowTheDescriptors)
{
    // A server with more callers than a small table has entries: every one
    // of them must get its stream, and each stream keeps its own attachment.
    fixture.addEthernet("bge", 0, {1, 2, 3, 4, 5, 6});
    std::vector<int> fds;
    for (int i = 0; i < 200; i++) {
        int fd = open("/dev/bge", O_RDWR);
        ASSERT_GE(fd, 0) << "stream " << i << ": " << strerror(errno);
        fds.push_back(fd);
    }
    alignas(4) char area[64];
    struct strbuf ctl = {sizeof area, 0, area};
    int flags = 0;
    for (int fd : fds) {
        dl_attach_req_t attach = {DL_ATTACH_REQ, 0};
        memcpy(area, &attach, sizeof attach);
        ctl.len = sizeof attach;
        ASSERT_EQ(0, putmsg(fd, &ctl, nullptr, 0));
        ASSERT_EQ(0, getmsg(fd, &ctl, nullptr, &flags));
        EXPECT_EQ(DL_OK_ACK, words(ctl, 0));
    }
    for (int fd : fds) {
        EXPECT_EQ(0, close(fd));
    }
}

TEST_F(Emulation, ProcessorsAndPlatformFromTheSource)
{
    fixture.processors[3] = {P_NOINTR, 1500, false};
    EXPECT_EQ(-1, p_online(0, P_STATUS));
    EXPECT_EQ(P_NOINTR, p_online(3, P_STATUS));
    EXPECT_EQ(-1, p_online(3, P_OFFLINE)) << "states are not changed";
    processor_info_t info{};
    ASSERT_EQ(0, processor_info(3, &info));
    EXPECT_EQ(1500, info.pi_clock);

    fixture.platform = "SUNW,Sun-Fire-V490";
    char name[8];
    EXPECT_EQ(19, sysinfo(SI_PLATFORM, name, sizeof name)) << "the size the whole name needs";
    EXPECT_STREQ("SUNW,Su", name);
    fixture.platform.reset();
    EXPECT_EQ(-1, sysinfo(SI_PLATFORM, name, sizeof name));
}

// Component code compiled here must see what it would see on the real system.
TEST(Headers, NamesHaveTheSystemsValuesAndTypes)
{
    EXPECT_EQ(0x0f, DL_NOADDR);
    EXPECT_EQ(0x08, DL_BADPPA);
    EXPECT_EQ(0x0b, DL_ATTACH_REQ);
    EXPECT_EQ(513, SI_PLATFORM);
    EXPECT_TRUE((std::is_same_v<decltype(&sysinfo), int (*)(int, char*, long)>));
}

TEST(LiveSource, KstatHasACpuStatPerProcessorAndFreePages)
{
    std::ifstream stat("/proc/stat");
    std::string line;
    int cpus = 0;
    while (std::getline(stat, line)) {
        cpus += line.size() > 3 && line.compare(0, 3, "cpu") == 0 && isdigit(line[3]) ? 1 : 0;
    }
    kstat_ctl_t* kc = kstat_open();
    ASSERT_NE(nullptr, kc);
    int cpuStats = 0;
    uint64_t freemem = 0;
    for (kstat_t* ks = kc->kc_chain; ks != nullptr; ks = ks->ks_next) {
        if (strncmp(ks->ks_name, "cpu_stat", 8) == 0) {
            cpu_stat_t s{};
            ASSERT_NE(-1, kstat_read(kc, ks, &s));
            EXPECT_GT(s.cpu_sysinfo.cpu[CPU_IDLE] + s.cpu_sysinfo.cpu[CPU_USER] + s.cpu_sysinfo.cpu[CPU_KERNEL], 0U);
            cpuStats++;
        } else if (strcmp(ks->ks_name, "system_pages") == 0) {
            ASSERT_NE(-1, kstat_read(kc, ks, nullptr));
            const auto* named = static_cast<const kstat_named_t*>(ks->ks_data);
            for (uint_t i = 0; i < ks->ks_ndata; i++) {
                if (strcmp(named[i].name, "freemem") == 0) {
                    freemem = named[i].value.ui64;
                }
            }
        }
    }
    kstat_close(kc);
    EXPECT_EQ(cpus, cpuStats);
    EXPECT_GT(freemem, 0U);
}

TEST(LiveSource, OwnPsinfoAndProcessorsAndPlatform)
{
    int fd = open("/proc/self/psinfo", O_RDONLY);
    ASSERT_GT(fd, 0);
    psinfo_t info{};
    ASSERT_EQ(static_cast<ssize_t>(sizeof info), read(fd, &info, sizeof info));
    close(fd);
    EXPECT_EQ(getpid(), info.pr_pid);
    EXPECT_EQ(getppid(), info.pr_ppid);
    EXPECT_GT(info.pr_rssize, 0U);
    EXPECT_GE(info.pr_size, info.pr_rssize);
    EXPECT_GE(info.pr_nlwp, 1);
    EXPECT_GT(info.pr_start.tv_sec, 1000000000) << "started after boot, in seconds since the epoch";
    EXPECT_LE(info.pr_start.tv_sec, time(nullptr));

    EXPECT_EQ(P_ONLINE, p_online(0, P_STATUS)) << "the boot processor is online";
    EXPECT_EQ(-1, p_online(1 << 20, P_STATUS));
    char platform[257];
    EXPECT_GT(sysinfo(SI_PLATFORM, platform, sizeof platform), 1);
}

} // namespace
