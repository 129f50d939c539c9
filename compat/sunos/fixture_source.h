// A scripted source for tests: the kstat chain, sysconf values, processors,
// platform name, psinfo records and DLPI providers are whatever the test puts
// here.  Install it for the length of a scope with ScopedSource.
#ifndef SUNOS_FIXTURE_SOURCE_H
#define SUNOS_FIXTURE_SOURCE_H

#include "compat/sunos/sunos_source.h"

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class FixtureSource final : public SunosSource {
  public:
    struct KstatEntry {
        std::string module;
        int instance;
        std::string name;
        uchar_t type;
        std::vector<unsigned char> data;
        uint_t ndata;
        bool readFails;
    };
    struct Processor {
        int state; // a P_ state
        int clockMhz;
        bool infoFails; // processor_info fails for it
    };
    struct Link {
        int openError = 0;
        // Replies by PPA; a PPA without one gets DL_ERROR_ACK/DL_BADPPA on attach.
        std::map<uint32_t, std::pair<DlpiReply, DlpiReply>> replies; // attach, bind
    };

    bool kstatOpenFails = false;
    std::vector<KstatEntry> chain;
    std::map<int, long> sysconfValues;
    std::map<processorid_t, Processor> processors;
    std::optional<std::string> platform;
    std::map<pid_t, std::pair<psinfo_t, size_t>> psinfos;
    std::map<std::string, Link> links;
    std::vector<std::string> requests; // "attach bge 0", "bind bge 0 22", in order
    std::mutex requestsLock;           // the providers answer streams of many threads

    void addCpuStat(int instance, uint32_t idle, uint32_t user, uint32_t kernel, uint32_t wait, bool readFails = false);
    void addNamed(const std::string& module, const std::string& name, const std::vector<kstat_named_t>& values,
                  bool readFails = false);
    // A device whose PPA answers the attach and then binds with the address.
    void addEthernet(const std::string& device, uint32_t ppa, const std::vector<unsigned char>& address);

    static kstat_named_t named(const char* name, uchar_t type, uint64_t value);
    static DlpiReply ack();
    static DlpiReply errorAck(uint32_t dlError);
    static DlpiReply bindAck(const std::vector<unsigned char>& address);

    bool kstatChain(KstatBuilder& builder) override;
    bool sysconfValue(int name, long* value) override;
    int processor(processorid_t id, processor_info_t* info, bool* infoValid) override;
    bool platformName(char* buffer, size_t size) override;
    int psinfo(pid_t pid, psinfo_t* info, size_t* length) override;
    int linkOpen(const char* device) override;
    DlpiReply linkAttach(const char* device, uint32_t ppa) override;
    DlpiReply linkBind(const char* device, uint32_t ppa, uint32_t sap) override;
};

// Installs a source for the life of the object.
class ScopedSource {
  public:
    explicit ScopedSource(SunosSource& source) : previous_(sunos_set_source(&source)) {}
    ~ScopedSource() { sunos_set_source(previous_); }
    ScopedSource(const ScopedSource&) = delete;
    ScopedSource& operator=(const ScopedSource&) = delete;

  private:
    SunosSource* previous_;
};

#endif
