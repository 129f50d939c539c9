// The pieces of the node-facts tests that every fixture shares, and the
// test program's entry point.
#include "hostscout/win32/test/scout_test_support.h"

#include <string>
#include <vector>

namespace scouttest {

HMODULE loadedStandin(const char* name)
{
    HMODULE module = LoadLibraryA(name);
    char path[MAX_PATH + 1] = {0};
    GetModuleFileNameA(module, path, MAX_PATH);
    return std::string(path).find("standin") != std::string::npos ? module : nullptr;
}

GlpiFn systemGlpi = nullptr;

BOOL WINAPI glpiWithThreadFlags(SYSTEM_LOGICAL_PROCESSOR_INFORMATION* records, DWORD* length)
{
    BOOL ok = systemGlpi(records, length);
    if (!ok || records == nullptr) {
        return ok;
    }
    DWORD exLength = 0;
    GetLogicalProcessorInformationEx(RelationProcessorCore, nullptr, &exLength);
    std::vector<char> ex(exLength);
    auto* first = reinterpret_cast<SYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX*>(ex.data());
    if (!GetLogicalProcessorInformationEx(RelationProcessorCore, first, &exLength)) {
        return ok;
    }
    for (DWORD i = 0; i < *length / sizeof *records; i++) {
        for (DWORD at = 0; at < exLength && records[i].Relationship == RelationProcessorCore;) {
            auto* core = reinterpret_cast<SYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX*>(ex.data() + at);
            if (core->Processor.GroupMask[0].Mask == records[i].ProcessorMask) {
                records[i].ProcessorCore.Flags = core->Processor.Flags;
            }
            at += core->Size;
        }
    }
    return ok;
}

} // namespace scouttest

int main(int argc, char** argv)
{
    // The stand-ins of system DLLs are found here (the DLL override says
    // whether a stand-in or the system's own is loaded).
    SetDllDirectoryA(win32test::standinDirectory().c_str());
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
