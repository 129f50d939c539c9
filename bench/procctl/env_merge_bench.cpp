// The child's environment as a spawn plans it, without the spawn: 16,000
// requested entries against 1,000, over a server environment of 1,000 more.
#include "procctl/process_error.h"
#include "procctl/unix/unix_process.h"
#include "procctl/unix/unix_spawn_plan.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// Median milliseconds of planning a spawn whose request holds `count` entries.
double planMillis(size_t count, int runs)
{
    std::vector<std::string> server;
    for (size_t i = 0; i < 1000; i++) {
        server.push_back("SERVER_VARIABLE_" + std::to_string(i) + "=server" + std::to_string(i));
    }
    server.emplace_back("PATH=/usr/bin:/bin");
    std::vector<std::string> requested;
    for (size_t i = 0; i < count; i++) {
        requested.push_back(
            (i % 32 == 0 ? "SERVER_VARIABLE_" + std::to_string(i / 32) : "REQUESTED_VARIABLE_" + std::to_string(i)) +
            "=value" + std::to_string(i));
    }
    requested.back() = "PATH=/opt/bench/bin";
    std::vector<char*> serverList;
    serverList.reserve(server.size() + 1);
    for (std::string& entry : server) {
        serverList.push_back(entry.data());
    }
    serverList.push_back(nullptr);
    std::vector<char*> requestedList;
    requestedList.reserve(requested.size() + 1);
    for (std::string& entry : requested) {
        requestedList.push_back(entry.data());
    }
    requestedList.push_back(nullptr);

    char* argv[] = {const_cast<char*>("/bin/true"), nullptr};
    char** saved = environ;
    environ = serverList.data();
    std::vector<double> took;
    for (int run = 0; run < runs; run++) {
        SpawnPlan plan{};
        int sysErr = 0;
        auto start = std::chrono::steady_clock::now();
        UnixSpawnRequest request{
            "/bin/true", nullptr, requestedList.data(), nullptr, 20, nullptr, 022, nullptr, nullptr, 0, nullptr};
        int result = unix_PrepareSpawnPlan(&plan, &request, argv, 0, &sysErr);
        took.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        unix_ReleaseSpawnPlan(&plan);
        if (result != PROC_SUCCESS) {
            fprintf(stderr, "the plan failed: %d (%d)\n", result, sysErr);
            environ = saved;
            return -1;
        }
    }
    environ = saved;
    std::sort(took.begin(), took.end());
    return took[took.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    int runs = argc > 1 ? atoi(argv[1]) : 50;
    double small = planMillis(1000, runs);
    double large = planMillis(16000, runs);
    if (small < 0 || large < 0) {
        return 1;
    }
    printf("RESULT environment merge alone (the spawn's plan), 16,000 requested entries over 1,001 of the server's, "
           "median of %d | %.2f ms | 1,000 requested entries: %.2f ms | %.1f | < 20 ms (16 times the entries: 16 if "
           "linear, 256 if quadratic)\n",
           runs, large, small, large / small);
    return 0;
}
