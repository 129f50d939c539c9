// A fresh copy of libGcSentry.so per test, and stderr capture (see loaded_agent.h).
#include "gcsentry/test/loaded_agent.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

LoadedAgent::LoadedAgent()
{
    namespace fs = std::filesystem;
    std::string pattern = (fs::temp_directory_path() / "gcsentry-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp failed";
        return;
    }
    fs::path copy = fs::path(pattern) / "libGcSentry.so";
    fs::copy_file(GCSENTRY_LIBRARY, copy);
    handle_ = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    // Once mapped, the copy's file is not needed any more.
    fs::remove_all(pattern);
    if (handle_ == nullptr) {
        ADD_FAILURE() << "dlopen: " << dlerror();
        return;
    }
    Agent_OnLoad = reinterpret_cast<decltype(Agent_OnLoad)>(lookup("Agent_OnLoad"));
    init = reinterpret_cast<decltype(init)>(lookup("Java_com_qor_vt_mr_gcsentry_JvmtiGlobalGCDetector_init"));
    waitForGCCompletion = reinterpret_cast<decltype(waitForGCCompletion)>(
        lookup("Java_com_qor_vt_mr_gcsentry_JvmtiGlobalGCDetector_waitForGCCompletion"));
    cadenzGCFinishCallback = reinterpret_cast<decltype(cadenzGCFinishCallback)>(lookup("cadenzGCFinishCallback"));
    standardGCFinishCallback = reinterpret_cast<decltype(standardGCFinishCallback)>(lookup("standardGCFinishCallback"));
    gcFinish = reinterpret_cast<decltype(gcFinish)>(lookup("gcFinish"));
    failure = reinterpret_cast<decltype(failure)>(lookup("failure"));
}

LoadedAgent::~LoadedAgent()
{
    if (handle_ != nullptr) {
        dlclose(handle_);
    }
}

void* LoadedAgent::lookup(const char* name)
{
    void* symbol = dlsym(handle_, name);
    if (symbol == nullptr) {
        ADD_FAILURE() << "no export " << name;
    }
    return symbol;
}

StderrCapture::StderrCapture()
{
    fflush(stderr);
    saved_ = dup(STDERR_FILENO);
    char path[] = "/tmp/gcsentry-stderr-XXXXXX";
    file_ = mkstemp(path);
    unlink(path);
    dup2(file_, STDERR_FILENO);
}

StderrCapture::~StderrCapture()
{
    text();
}

std::string StderrCapture::text()
{
    if (saved_ < 0) {
        return {};
    }
    fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    saved_ = -1;
    std::string out;
    lseek(file_, 0, SEEK_SET);
    char buffer[4096];
    ssize_t n;
    while ((n = read(file_, buffer, sizeof(buffer))) > 0) {
        out.append(buffer, static_cast<size_t>(n));
    }
    close(file_);
    file_ = -1;
    return out;
}
