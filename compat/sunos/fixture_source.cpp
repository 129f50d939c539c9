// The scripted source of the tests.
#include "compat/sunos/fixture_source.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/dlpi.h>
#include <sys/sysinfo.h>

void FixtureSource::addCpuStat(int instance, uint32_t idle, uint32_t user, uint32_t kernel, uint32_t wait,
                               bool readFails)
{
    cpu_stat_t stat{};
    stat.cpu_sysinfo.cpu[CPU_IDLE] = idle;
    stat.cpu_sysinfo.cpu[CPU_USER] = user;
    stat.cpu_sysinfo.cpu[CPU_KERNEL] = kernel;
    stat.cpu_sysinfo.cpu[CPU_WAIT] = wait;
    const auto* bytes = reinterpret_cast<const unsigned char*>(&stat);
    chain.push_back({"cpu_stat", instance, "cpu_stat" + std::to_string(instance), KSTAT_TYPE_RAW,
                     std::vector<unsigned char>(bytes, bytes + sizeof stat), 1, readFails});
}

void FixtureSource::addNamed(const std::string& module, const std::string& name,
                             const std::vector<kstat_named_t>& values, bool readFails)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(values.data());
    chain.push_back({module, 0, name, KSTAT_TYPE_NAMED,
                     std::vector<unsigned char>(bytes, bytes + values.size() * sizeof(kstat_named_t)),
                     static_cast<uint_t>(values.size()), readFails});
}

void FixtureSource::addEthernet(const std::string& device, uint32_t ppa, const std::vector<unsigned char>& address)
{
    std::vector<unsigned char> dlsap = address;
    dlsap.push_back(22); // the SAP, as the provider appends it
    dlsap.push_back(0);
    links[device].replies[ppa] = {ack(), bindAck(dlsap)};
}

kstat_named_t FixtureSource::named(const char* name, uchar_t type, uint64_t value)
{
    kstat_named_t n{};
    snprintf(n.name, sizeof n.name, "%s", name);
    n.data_type = type;
    switch (type) {
    case KSTAT_DATA_INT32:
        n.value.i32 = static_cast<int32_t>(value);
        break;
    case KSTAT_DATA_UINT32:
        n.value.ui32 = static_cast<uint32_t>(value);
        break;
    default:
        n.value.ui64 = value;
        break;
    }
    return n;
}

DlpiReply FixtureSource::ack()
{
    DlpiReply reply{};
    reply.kind = DlpiReply::Ack;
    return reply;
}

DlpiReply FixtureSource::errorAck(uint32_t dlError)
{
    DlpiReply reply{};
    reply.kind = DlpiReply::ErrorAck;
    reply.dlError = dlError;
    return reply;
}

DlpiReply FixtureSource::bindAck(const std::vector<unsigned char>& address)
{
    DlpiReply reply = ack();
    reply.addrLength = static_cast<uint32_t>(address.size());
    memcpy(reply.addr, address.data(), std::min(address.size(), sizeof reply.addr));
    return reply;
}

bool FixtureSource::kstatChain(KstatBuilder& builder)
{
    if (kstatOpenFails) {
        return false;
    }
    for (const KstatEntry& e : chain) {
        if (!builder.add(e.module.c_str(), e.instance, e.name.c_str(), e.type, e.data.data(), e.data.size(), e.ndata,
                         e.readFails)) {
            return false;
        }
    }
    return true;
}

bool FixtureSource::sysconfValue(int name, long* value)
{
    auto it = sysconfValues.find(name);
    if (it == sysconfValues.end()) {
        return false;
    }
    *value = it->second;
    return true;
}

int FixtureSource::processor(processorid_t id, processor_info_t* info, bool* infoValid)
{
    auto it = processors.find(id);
    if (it == processors.end()) {
        return -1;
    }
    *info = processor_info_t{};
    info->pi_state = it->second.state;
    info->pi_clock = it->second.clockMhz;
    snprintf(info->pi_processor_type, sizeof info->pi_processor_type, "%s", "sparcv9");
    *infoValid = !it->second.infoFails;
    return it->second.state;
}

bool FixtureSource::platformName(char* buffer, size_t size)
{
    if (!platform) {
        return false;
    }
    snprintf(buffer, size, "%s", platform->c_str());
    return true;
}

int FixtureSource::psinfo(pid_t pid, psinfo_t* info, size_t* length)
{
    auto it = psinfos.find(pid);
    if (it == psinfos.end()) {
        return ENOENT;
    }
    *info = it->second.first;
    *length = it->second.second;
    return 0;
}

int FixtureSource::linkOpen(const char* device)
{
    auto it = links.find(device);
    if (it == links.end()) {
        return ENOENT;
    }
    return it->second.openError;
}

DlpiReply FixtureSource::linkAttach(const char* device, uint32_t ppa)
{
    std::lock_guard<std::mutex> guard(requestsLock);
    requests.push_back("attach " + std::string(device) + " " + std::to_string(ppa));
    const Link& link = links[device];
    auto it = link.replies.find(ppa);
    return it == link.replies.end() ? errorAck(DL_BADPPA) : it->second.first;
}

DlpiReply FixtureSource::linkBind(const char* device, uint32_t ppa, uint32_t sap)
{
    std::lock_guard<std::mutex> guard(requestsLock);
    requests.push_back("bind " + std::string(device) + " " + std::to_string(ppa) + " " + std::to_string(sap));
    const Link& link = links[device];
    auto it = link.replies.find(ppa);
    return it == link.replies.end() ? errorAck(DL_BADPPA) : it->second.second;
}
