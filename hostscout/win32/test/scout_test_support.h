// What the tests of the Windows node facts share: the natives of a fresh
// copy of NTHostScout.dll, environment variables set for one test, the
// stand-ins of system DLLs, and the fixture that gives wine's processor
// records the hardware-thread flag it leaves out.
#pragma once

#include "com_qor_vt_mr_hostscout_nt_NTHostScout.h"
#include "com_qor_vt_mr_hostscout_process_ProcessDetectorImpl.h"
#include "com_qor_vt_mr_vv_hostscout_NetworkInterfaceUtil.h"
#include "common/test/child_pipes.h"
#include "common/test/test_jni_env.h"
#include "common/test/win32_seams.h"
#include "procctl/win32/test/win32_test_support.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>

namespace scouttest {

using win32test::ExportPatch;
using win32test::LibraryCopy;

#define NATIVE(cls, name)                                                                                              \
    decltype(&Java_com_qor_vt_mr_##cls##_##name) name =                                                                \
        lib.entry<decltype(&Java_com_qor_vt_mr_##cls##_##name)>("Java_com_qor_vt_mr_" #cls "_" #name)

// The natives of a fresh copy of the library.
struct Scout {
    LibraryCopy lib{"NTHostScout"};
    NATIVE(hostscout_nt_NTHostScout, getCpuInfo);
    NATIVE(hostscout_nt_NTHostScout, getMemInfo);
    NATIVE(hostscout_process_ProcessDetectorImpl, _1updateProcessStats);
    NATIVE(vv_hostscout_NetworkInterfaceUtil, getMacAddrsWin);
    NATIVE(vv_hostscout_NetworkInterfaceUtil, enableNativeTracing);
};

inline const char* const hostScoutClass = "com/qor/vt/mr/hostscout/nt/NTHostScout";
inline const char* const detectorClass = "com/qor/vt/mr/hostscout/process/ProcessDetectorImpl";

class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name)
    {
        SetEnvironmentVariableA(name, *value != '\0' ? value : nullptr);
    }
    ~ScopedEnv() { SetEnvironmentVariableA(name_, nullptr); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    const char* name_;
};

// The module name loads, and whether it is our stand-in.
HMODULE loadedStandin(const char* name);

// Wine's GetLogicalProcessorInformation with each core's hardware-thread
// flag as GetLogicalProcessorInformationEx has it.
using GlpiFn = BOOL(WINAPI*)(SYSTEM_LOGICAL_PROCESSOR_INFORMATION*, DWORD*);
BOOL WINAPI glpiWithThreadFlags(SYSTEM_LOGICAL_PROCESSOR_INFORMATION* records, DWORD* length);
extern GlpiFn systemGlpi;

class ScoutTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_NE(scout.getCpuInfo, nullptr) << "NTHostScout.dll did not load";
        HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
        systemGlpi = procAddress<GlpiFn>(kernel32, "GetLogicalProcessorInformation");
        threadFlags = std::make_unique<ExportPatch>(kernel32, "GetLogicalProcessorInformation",
                                                    reinterpret_cast<const void*>(&glpiWithThreadFlags));
        ASSERT_TRUE(threadFlags->applied());
    }

    std::optional<double> field(jobject object, const char* name) { return jni.numberField(object, name); }

    std::unique_ptr<ExportPatch> threadFlags;
    Scout scout;
    TestJniEnv jni;
};

} // namespace scouttest
