// Agent_OnLoad against the test JVMTI environment: both ways it starts, the
// extension queries it makes, and every failing step with its status and its
// "MR: gcsentry: failed call to JVMTI %s" line.
#include "gcsentry/test/fake_jni.h"
#include "gcsentry/test/fake_jvmti.h"
#include "gcsentry/test/loaded_agent.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Calls = std::vector<std::string>;

const Calls STANDARD_PATH = {
    "GetEnv",          "CreateRawMonitor",  "GetExtensionFunctions",    "GetExtensionEvents",
    "AddCapabilities", "SetEventCallbacks", "SetEventNotificationMode", "SetEventNotificationMode"};
const Calls EXTENSION_PATH = {"GetEnv", "CreateRawMonitor", "GetExtensionFunctions", "GetExtensionEvents",
                              "SetExtensionEventCallback"};

// What a virtual machine lists besides our extensions (HotSpot 17's own ids).
const std::vector<std::string> OTHER_FUNCTIONS = {"com.sun.hotspot.functions.IsClassUnloadingEnabled",
                                                  "com.sun.hotspot.functions.GetVirtualThread"};

class AgentStartup : public ::testing::Test {
  protected:
    FakeJvmti jvmti;
    FakeJni jni{jvmti};
    LoadedAgent agent;

    jint load()
    {
        char options[] = "ignored=1";
        return agent.Agent_OnLoad(jvmti.vm(), options, nullptr);
    }
};

TEST_F(AgentStartup, InitAnswersOneWhenTheAgentNeverRan)
{
    EXPECT_EQ(agent.init(jni.env(), nullptr), 1);
    // The mend: no environment and no monitor exist, so the wait answers -1 at once.
    EXPECT_EQ(agent.waitForGCCompletion(jni.env(), nullptr), -1);
    EXPECT_EQ(jvmti.monitorCalls(), 0);
    EXPECT_TRUE(jni.calls().empty());
}

TEST_F(AgentStartup, StandardEventWhenTheVmOffersNoExtensionEvent)
{
    jvmti.extensionFunctionIds = OTHER_FUNCTIONS;
    jvmti.extensionEvents = {{87, "com.sun.hotspot.events.ClassUnload"},
                             {88, "com.qor.garbagecollectioncyclefinish"}}; // wrong case: not ours
    StderrCapture err;
    ASSERT_EQ(load(), 0);
    EXPECT_EQ(err.text(), "");
    EXPECT_EQ(agent.init(jni.env(), nullptr), 0);

    EXPECT_EQ(jvmti.calls(), STANDARD_PATH);
    EXPECT_EQ(jvmti.requestedVersion, 0x30010000);
    EXPECT_EQ(jvmti.monitorName, "mr_gcsentry_monitor");

    jvmtiCapabilities onlyGcEvents;
    memset(&onlyGcEvents, 0, sizeof(onlyGcEvents));
    onlyGcEvents.can_generate_garbage_collection_events = 1;
    EXPECT_EQ(memcmp(&jvmti.capabilities, &onlyGcEvents, sizeof(onlyGcEvents)), 0);

    // The JVMTI 1.0 table of 35 entries, all empty but VMInit (event 50, where
    // the heap counters are looked for) and GarbageCollectionFinish (event 82).
    EXPECT_EQ(jvmti.callbacksSize, static_cast<jint>(35 * sizeof(void*)));
    ASSERT_EQ(jvmti.callbackSlots.size(), 35U);
    for (size_t i = 0; i < jvmti.callbackSlots.size(); i++) {
        if (i == JVMTI_EVENT_GARBAGE_COLLECTION_FINISH - JVMTI_MIN_EVENT_TYPE_VAL) {
            EXPECT_EQ(jvmti.callbackSlots[i], reinterpret_cast<void*>(agent.standardGCFinishCallback));
        } else if (i == JVMTI_EVENT_VM_INIT - JVMTI_MIN_EVENT_TYPE_VAL) {
            EXPECT_NE(jvmti.callbackSlots[i], nullptr);
        } else {
            EXPECT_EQ(jvmti.callbackSlots[i], nullptr) << "slot " << i;
        }
    }
    ASSERT_EQ(jvmti.notificationModes.size(), 2U);
    const jvmtiEvent enabled[] = {JVMTI_EVENT_GARBAGE_COLLECTION_FINISH, JVMTI_EVENT_VM_INIT};
    for (size_t i = 0; i < 2; i++) {
        EXPECT_EQ(jvmti.notificationModes[i].mode, JVMTI_ENABLE);
        EXPECT_EQ(jvmti.notificationModes[i].event, enabled[i]);
        EXPECT_EQ(jvmti.notificationModes[i].thread, nullptr);
    }
    EXPECT_EQ(jvmti.extensionCallback, nullptr);

    // Every description the two queries handed out was given back.
    EXPECT_EQ(jvmti.liveAllocations(), 0U);
    EXPECT_EQ(jvmti.foreignDeallocations(), 0);
}

TEST_F(AgentStartup, ExtensionEventAloneWhenTheVmOffersIt)
{
    jvmti.extensionFunctionIds = OTHER_FUNCTIONS;
    jvmti.extensionEvents = {
        {87, "com.sun.hotspot.events.ClassUnload"}, {90, FakeJvmti::CYCLE_FINISH_ID}, {91, FakeJvmti::CYCLE_FINISH_ID}};
    StderrCapture err;
    ASSERT_EQ(load(), 0);
    EXPECT_EQ(err.text(), "");
    EXPECT_EQ(agent.init(jni.env(), nullptr), 0);

    // The first matching event gets the extension callback; no capability is
    // added and the standard event is neither given a callback nor enabled.
    EXPECT_EQ(jvmti.calls(), EXTENSION_PATH);
    EXPECT_EQ(jvmti.extensionCallbackIndex, 90);
    EXPECT_EQ(jvmti.extensionCallback, agent.cadenzGCFinishCallback);
    jvmtiCapabilities none;
    memset(&none, 0, sizeof(none));
    EXPECT_EQ(memcmp(&jvmti.capabilities, &none, sizeof(none)), 0);
    EXPECT_EQ(jvmti.callbacksSize, -1);
    EXPECT_TRUE(jvmti.notificationModes.empty());
    EXPECT_EQ(jvmti.liveAllocations(), 0U);
    EXPECT_EQ(jvmti.foreignDeallocations(), 0);
}

TEST_F(AgentStartup, NoExtensionsAtAll)
{
    ASSERT_EQ(load(), 0);
    EXPECT_EQ(jvmti.calls(), STANDARD_PATH);
    EXPECT_EQ(jvmti.liveAllocations(), 0U);
}

TEST_F(AgentStartup, GetEnvGivingNoEnvironmentIsStatusTwo)
{
    jvmti.getEnvGivesNull = true;
    StderrCapture err;
    EXPECT_EQ(load(), -1);
    EXPECT_EQ(err.text(), "MR: gcsentry: failed call to JVMTI GetEnv\n");
    EXPECT_EQ(agent.init(jni.env(), nullptr), 2);
    EXPECT_EQ(jvmti.calls(), Calls{"GetEnv"});
    EXPECT_EQ(agent.waitForGCCompletion(jni.env(), nullptr), -1);
    EXPECT_EQ(jvmti.monitorCalls(), 0);
}

TEST_F(AgentStartup, FailureRoutinePrintsTheCallName)
{
    StderrCapture err;
    agent.failure("SomeCall");
    EXPECT_EQ(err.text(), "MR: gcsentry: failed call to JVMTI SomeCall\n");
}

// One failing start-up step: the function that fails, whether the virtual
// machine offers the extension event (steps 6 and later depend on it), the
// status and name the agent reports, and the calls made up to the failure.
struct FailingStep {
    const char* function;
    bool extensionEvent;
    jint status;
    Calls calls;
};

void PrintTo(const FailingStep& step, std::ostream* os)
{
    *os << step.function;
}

class AgentStartupFailure : public AgentStartup, public ::testing::WithParamInterface<FailingStep> {};

TEST_P(AgentStartupFailure, ReportsTheStepAndRefusesToStart)
{
    const FailingStep& step = GetParam();
    jvmti.extensionFunctionIds = {FakeJvmti::HEAP_TOTAL_ID, FakeJvmti::HEAP_FREE_ID};
    if (step.extensionEvent) {
        jvmti.extensionEvents = {{90, FakeJvmti::CYCLE_FINISH_ID}};
    }
    if (strcmp(step.function, "GetEnv") == 0) {
        jvmti.getEnvResult = JNI_EVERSION;
    } else {
        jvmti.failing[step.function] = JVMTI_ERROR_INTERNAL;
    }
    StderrCapture err;
    EXPECT_EQ(load(), -1);
    EXPECT_EQ(err.text(), std::string("MR: gcsentry: failed call to JVMTI ") + step.function + "\n");
    EXPECT_EQ(agent.init(jni.env(), nullptr), step.status);
    EXPECT_EQ(jvmti.calls(), step.calls);
    // Whatever the queries handed out before the failure was given back.
    EXPECT_EQ(jvmti.liveAllocations(), 0U);

    // The mend: a wait after a failed start-up answers -1 at once, without
    // touching the monitor (which may not exist).
    int monitorCallsBefore = jvmti.monitorCalls();
    EXPECT_EQ(agent.waitForGCCompletion(jni.env(), nullptr), -1);
    EXPECT_EQ(jvmti.monitorCalls(), monitorCallsBefore);
    EXPECT_TRUE(jni.calls().empty());
}

Calls upTo(const Calls& path, const char* last)
{
    Calls calls;
    for (const auto& call : path) {
        calls.push_back(call);
        if (call == last) {
            break;
        }
    }
    return calls;
}

FailingStep step(const char* function, bool extensionEvent, jint status)
{
    return {function, extensionEvent, status, upTo(extensionEvent ? EXTENSION_PATH : STANDARD_PATH, function)};
}

INSTANTIATE_TEST_SUITE_P(EveryStep, AgentStartupFailure,
                         ::testing::Values(step("GetEnv", false, 2), step("CreateRawMonitor", false, 3),
                                           step("GetExtensionFunctions", false, 4),
                                           step("GetExtensionEvents", false, 5),
                                           step("SetExtensionEventCallback", true, 6),
                                           step("AddCapabilities", false, 7), step("SetEventCallbacks", false, 8),
                                           step("SetEventNotificationMode", false, 9)),
                         [](const ::testing::TestParamInfo<FailingStep>& info) { return info.param.function; });

} // namespace
