// The child's environment as a spawn plans it: the lines before the first
// empty line are the requested entries, those after it the server's
// environment.  Checks what a caller relies on: one entry per name, the last
// request for a name wins, a bare name removes it, path-like values never
// get an empty element, and names nobody asked for are passed on unchanged.
#include "procctl/process_env.h"
#include "procctl/process_error.h"
#include "procctl/unix/unix_process.h"
#include "procctl/unix/unix_spawn_plan.h"

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <strings.h>
#include <unistd.h>
#include <vector>

namespace {

std::string nameOf(const std::string& entry)
{
    return entry.substr(0, entry.find('='));
}

bool additive(const std::string& name)
{
    for (const char* known : process_additiveVariables) {
        if (strcasecmp(name.c_str(), known) == 0) {
            return true;
        }
    }
    return false;
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> list;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end;
        list.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return list;
}

std::vector<char*> pointers(std::vector<std::string>& list)
{
    std::vector<char*> result;
    for (std::string& entry : list) {
        result.push_back(entry.data());
    }
    result.push_back(nullptr);
    return result;
}

void check(bool condition)
{
    if (!condition) {
        __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    if (text.find('\0') != std::string::npos) {
        return 0; // C strings end there: Java's text is refused before this step
    }
    size_t split = text.find("\n\n");
    std::vector<std::string> requested = lines(text.substr(0, split));
    std::vector<std::string> server;
    std::map<std::string, std::string> inherited;
    if (split != std::string::npos) {
        for (std::string& entry : lines(text.substr(split + 2))) {
            // One entry per name, as a process's own environment has it.
            if (entry.find('=') != std::string::npos && inherited.emplace(nameOf(entry), entry).second) {
                server.push_back(entry);
            }
        }
    }
    std::map<std::string, std::string> lastRequest;
    for (const std::string& entry : requested) {
        lastRequest[nameOf(entry)] = entry;
    }

    std::vector<char*> serverList = pointers(server);
    std::vector<char*> requestedList = pointers(requested);
    char* argv[] = {const_cast<char*>("/bin/true"), nullptr};
    SpawnPlan plan{};
    int sysErr = 0;
    char** saved = environ;
    environ = serverList.data();
    UnixSpawnRequest request{"/bin/true", nullptr, requestedList.data(), nullptr, 20, nullptr, 022, nullptr, nullptr,
                             0,           nullptr};
    int result = unix_PrepareSpawnPlan(&plan, &request, argv, 0, &sysErr);
    environ = saved;
    if (result != PROC_SUCCESS) {
        unix_ReleaseSpawnPlan(&plan);
        return 0;
    }
    std::map<std::string, std::string> child;
    for (char** entry = plan.child.envp; *entry != nullptr; entry++) {
        std::string text(*entry);
        check(child.emplace(nameOf(text), text).second); // one entry per name
    }
    unix_ReleaseSpawnPlan(&plan);

    for (const auto& [name, entry] : child) {
        if (lastRequest.count(name) == 0) {
            check(inherited.count(name) == 1 && inherited[name] == entry); // passed on unchanged
        }
    }
    for (const auto& [name, entry] : lastRequest) {
        bool bare = entry.find('=') == std::string::npos;
        auto found = child.find(name);
        if (!additive(name)) {
            check(bare ? found == child.end() : found != child.end() && found->second == entry);
            continue;
        }
        if (found == child.end()) {
            continue; // a request without elements adds nothing where nothing was
        }
        std::string value = found->second.substr(name.size() + 1);
        if (value != inherited[name].substr(std::min(inherited[name].size(), name.size() + 1))) {
            // A merged value: elements only, the requested ones first.
            check(!value.empty() && value.front() != ':' && value.back() != ':' &&
                  value.find("::") == std::string::npos);
        }
    }
    return 0;
}
