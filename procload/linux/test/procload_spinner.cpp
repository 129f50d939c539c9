// A target process for the meter's tests and benchmark. It prints "ready"
// once its threads run and exits when its standard input closes, so it never
// outlives the process that started it.
//   procload_spinner spin N              N threads that spin
//   procload_spinner idle N              N threads in all, blocked
//   procload_spinner churn BUSY_MS IDLE_MS
//       one short-lived thread after another, each spinning BUSY_MS of CPU,
//       with IDLE_MS between them
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// CPU time of the calling thread, in nanoseconds.
uint64_t threadCpuNanos()
{
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    uint64_t micros = static_cast<uint64_t>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000U +
                      static_cast<uint64_t>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
    return micros * 1000U;
}

void* spin(void* /*arg*/)
{
    volatile uint64_t sink = 0;
    for (;;) {
        sink = sink + 1;
    }
    return nullptr;
}

void* block(void* /*arg*/)
{
    for (;;) {
        pause();
    }
    return nullptr;
}

long busyMillis = 0;
long idleMillis = 0;

void* spinBriefly(void* /*arg*/)
{
    uint64_t start = threadCpuNanos();
    volatile uint64_t sink = 0;
    while (threadCpuNanos() - start < static_cast<uint64_t>(busyMillis) * 1000000U) {
        sink = sink + 1;
    }
    return nullptr;
}

void* churn(void* /*arg*/)
{
    for (;;) {
        pthread_t worker;
        if (pthread_create(&worker, nullptr, spinBriefly, nullptr) == 0) {
            pthread_join(worker, nullptr);
        }
        usleep(static_cast<useconds_t>(idleMillis) * 1000U);
    }
    return nullptr;
}

void start(void* (*body)(void*))
{
    pthread_t thread;
    if (pthread_create(&thread, nullptr, body, nullptr) != 0) {
        perror("pthread_create");
        _exit(2);
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: %s spin N | idle N | churn BUSY_MS IDLE_MS\n", argv[0]);
        return 2;
    }
    long n = strtol(argv[2], nullptr, 10);
    if (strcmp(argv[1], "spin") == 0) {
        for (long i = 0; i < n; i++) {
            start(spin);
        }
    } else if (strcmp(argv[1], "idle") == 0) {
        for (long i = 1; i < n; i++) {
            start(block);
        }
    } else if (strcmp(argv[1], "churn") == 0 && argc > 3) {
        busyMillis = n;
        idleMillis = strtol(argv[3], nullptr, 10);
        start(churn);
    } else {
        fprintf(stderr, "unknown mode %s\n", argv[1]);
        return 2;
    }
    printf("ready\n");
    fflush(stdout);
    char buffer[64];
    while (read(STDIN_FILENO, buffer, sizeof(buffer)) > 0) {
    }
    _exit(0);
}
