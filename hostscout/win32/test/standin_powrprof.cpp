// A stand-in for the system's powrprof.dll, loaded in its place through a
// DLL override: CallNtPowerInformation passes the request to the system
// (wine answers from the Linux cpufreq files), or fails when the environment
// holds QOR_POWRPROF_FAIL.
#include "common/win32.h"

namespace {

using NtPowerInformationFn = LONG(WINAPI*)(int, void*, ULONG, void*, ULONG);
constexpr LONG STATUS_ACCESS_DENIED_CODE = static_cast<LONG>(0xC0000022);

} // namespace

extern "C" __declspec(dllexport) LONG WINAPI
    CallNtPowerInformation(int level, void* input, ULONG inputLength, void* output, ULONG outputLength)
{
    if (GetEnvironmentVariableA("QOR_POWRPROF_FAIL", nullptr, 0) != 0) {
        return STATUS_ACCESS_DENIED_CODE;
    }
    auto system = procAddress<NtPowerInformationFn>(GetModuleHandleA("ntdll.dll"), "NtPowerInformation");
    return system != nullptr ? system(level, input, inputLength, output, outputLength) : STATUS_ACCESS_DENIED_CODE;
}
