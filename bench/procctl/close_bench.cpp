// Closing every inherited descriptor before an exec: one close_range call
// against closing one by one up to the descriptor limit.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <linux/close_range.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace {

double nowMicros()
{
    struct timespec t {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    int limit = argc > 1 ? atoi(argv[1]) : 20000;
    int runs = argc > 2 ? atoi(argv[2]) : 50;
    std::vector<double> loop;
    std::vector<double> range;
    for (int r = 0; r < runs; r++) {
        // A few open descriptors to close, as a server would have.
        for (int i = 0; i < 16; i++) {
            dup(0);
        }
        double t0 = nowMicros();
        for (int fd = 3; fd < limit; fd++) {
            close(fd);
        }
        loop.push_back(nowMicros() - t0);
        for (int i = 0; i < 16; i++) {
            dup(0);
        }
        t0 = nowMicros();
        syscall(SYS_close_range, 3U, ~0U, 0U);
        range.push_back(nowMicros() - t0);
    }
    double a = median(range);
    double b = median(loop);
    printf("RESULT closing inherited descriptors before exec, median of %d | close_range %.1f µs | one by one up to "
           "%d: %.0f µs | %.4f | independent of the limit\n",
           runs, a, limit, b, a / b);
    return 0;
}
