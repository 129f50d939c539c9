// A stand-in for the system's iphlpapi.dll, loaded in its place through a
// DLL override, for the adapter lists wine cannot give: a system that does
// not support GetAdaptersAddresses, an 8-byte hardware address, a list that
// grows between the size query and the read, failing calls.  The
// environment steers it at every call:
//   QOR_IPHLP_ADAPTERS  the adapters' addresses in list order, such as
//                       "lo,00-1A-2B-3C-4D-5E" ("lo" has no address, as a
//                       loopback adapter); that list when unset
//   QOR_IPHLP_GAA       "unsupported" (ERROR_NOT_SUPPORTED), "error" (the read
//                       fails), "grow" (an adapter appears after the size query)
//   QOR_IPHLP_GAI       "error", "grow"
#include "common/win32.h"

#include <winsock2.h>

#include <iphlpapi.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Address = std::vector<unsigned char>;

std::string environment(const char* name, const char* fallback)
{
    char value[512] = {0};
    DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
    return n > 0 && n < sizeof value ? value : fallback;
}

std::vector<Address> adapters()
{
    std::vector<Address> list;
    std::string text = environment("QOR_IPHLP_ADAPTERS", "lo,00-1A-2B-3C-4D-5E");
    size_t start = 0;
    while (true) {
        size_t end = text.find(',', start);
        std::string item = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        Address address;
        for (const char* p = item == "lo" ? "" : item.c_str(); *p != '\0';) {
            char* next = nullptr;
            address.push_back(static_cast<unsigned char>(strtoul(p, &next, 16)));
            p = *next == '-' ? next + 1 : next;
        }
        list.push_back(address);
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return list;
}

// The list as a call sees it: "grow" adds an adapter once the size was asked for.
std::vector<Address> adaptersFor(const std::string& mode, bool sizeQuery)
{
    std::vector<Address> list = adapters();
    if (mode == "grow" && !sizeQuery) {
        list.push_back({0x02, 0x00, 0x00, 0x00, 0x00, 0x99});
    }
    return list;
}

char adapterName[] = "{standin}";

} // namespace

extern "C" {

__declspec(dllexport) ULONG WINAPI GetAdaptersAddresses(ULONG /*family*/, ULONG /*flags*/, void* /*reserved*/,
                                                        IP_ADAPTER_ADDRESSES* buffer, ULONG* size)
{
    std::string mode = environment("QOR_IPHLP_GAA", "");
    if (mode == "unsupported") {
        return ERROR_NOT_SUPPORTED;
    }
    std::vector<Address> list = adaptersFor(mode, buffer == nullptr);
    auto needed = static_cast<ULONG>(list.size() * sizeof(IP_ADAPTER_ADDRESSES));
    if (buffer == nullptr || *size < needed) {
        *size = needed;
        return ERROR_BUFFER_OVERFLOW;
    }
    if (mode == "error") {
        return ERROR_INVALID_PARAMETER;
    }
    memset(buffer, 0, needed);
    for (size_t i = 0; i < list.size(); i++) {
        IP_ADAPTER_ADDRESSES& a = buffer[i];
        a.Length = sizeof a;
        a.IfIndex = static_cast<DWORD>(i + 1);
        a.Next = i + 1 < list.size() ? &buffer[i + 1] : nullptr;
        a.AdapterName = adapterName;
        a.PhysicalAddressLength = static_cast<DWORD>(list[i].size());
        memcpy(a.PhysicalAddress, list[i].data(), list[i].size() < 8 ? list[i].size() : 8);
    }
    return NO_ERROR;
}

__declspec(dllexport) ULONG WINAPI GetAdaptersInfo(IP_ADAPTER_INFO* buffer, ULONG* size)
{
    std::string mode = environment("QOR_IPHLP_GAI", "");
    std::vector<Address> list = adaptersFor(mode, buffer == nullptr);
    auto needed = static_cast<ULONG>(list.size() * sizeof(IP_ADAPTER_INFO));
    if (buffer == nullptr || *size < needed) {
        *size = needed;
        return ERROR_BUFFER_OVERFLOW;
    }
    if (mode == "error") {
        return ERROR_INVALID_PARAMETER;
    }
    memset(buffer, 0, needed);
    for (size_t i = 0; i < list.size(); i++) {
        IP_ADAPTER_INFO& a = buffer[i];
        a.Next = i + 1 < list.size() ? &buffer[i + 1] : nullptr;
        a.Index = static_cast<DWORD>(i + 1);
        a.AddressLength = static_cast<UINT>(list[i].size());
        memcpy(a.Address, list[i].data(), list[i].size() < 8 ? list[i].size() : 8);
    }
    return NO_ERROR;
}

} // extern "C"
