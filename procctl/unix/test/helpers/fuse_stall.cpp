// A file system that holds every request: a process that touches the mount
// waits in the kernel, and once this program has read its request no signal
// ends that wait, SIGKILL included.  The tests use it for a child that cannot
// be killed.
//
//   fuse_stall MOUNTPOINT [MILLISECONDS]
//
// Prints "ready" once mounted.  With MILLISECONDS, each held request is
// answered (ENOENT) that long after it was read; without, requests are held
// until standard input ends, when the program unmounts and exits (closing the
// connection fails every held request).  Needs root and /dev/fuse.
#include <linux/fuse.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/mount.h>
#include <unistd.h>
#include <vector>

namespace {

long long nowMs()
{
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

void reply(int fd, uint64_t unique, int error, const void* body, size_t size)
{
    unsigned char buffer[sizeof(fuse_out_header) + sizeof(fuse_init_out)] = {};
    fuse_out_header header{};
    header.len = static_cast<uint32_t>(sizeof(header) + size);
    header.error = -error;
    header.unique = unique;
    memcpy(buffer, &header, sizeof(header));
    memcpy(buffer + sizeof(header), body, size);
    if (write(fd, buffer, header.len) < 0) {
        perror("fuse_stall: reply");
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: fuse_stall MOUNTPOINT [MILLISECONDS]\n");
        return 2;
    }
    long long answerAfter = argc > 2 ? atoll(argv[2]) : -1;
    int fd = open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        perror("fuse_stall: /dev/fuse");
        return 3;
    }
    char options[128];
    snprintf(options, sizeof(options), "fd=%d,rootmode=40000,user_id=0,group_id=0,allow_other", fd);
    if (mount("fuse_stall", argv[1], "fuse", MS_NOSUID | MS_NODEV, options) != 0) {
        perror("fuse_stall: mount");
        return 3;
    }
    printf("ready\n");
    fflush(stdout);

    struct Held {
        uint64_t unique;
        long long due;
    };
    std::vector<Held> held;
    std::vector<unsigned char> buffer(FUSE_MIN_READ_BUFFER + 128 * 1024);
    for (;;) {
        int wait = -1;
        if (!held.empty() && answerAfter >= 0) {
            long long left = held.front().due - nowMs();
            wait = left > 0 ? static_cast<int>(left) : 0;
        }
        struct pollfd fds[2] = {{0, POLLIN, 0}, {fd, POLLIN, 0}};
        if (poll(fds, 2, wait) < 0 && errno != EINTR) {
            break;
        }
        if ((fds[0].revents & (POLLIN | POLLHUP)) != 0) {
            char c;
            if (read(0, &c, 1) <= 0) {
                break;
            }
        }
        while (!held.empty() && answerAfter >= 0 && held.front().due <= nowMs()) {
            reply(fd, held.front().unique, ENOENT, nullptr, 0);
            held.erase(held.begin());
        }
        if ((fds[1].revents & POLLIN) == 0) {
            continue;
        }
        ssize_t n = read(fd, buffer.data(), buffer.size());
        if (n < static_cast<ssize_t>(sizeof(fuse_in_header))) {
            if (n < 0 && (errno == EINTR || errno == ENOENT)) {
                continue;
            }
            break;
        }
        fuse_in_header in{};
        memcpy(&in, buffer.data(), sizeof(in));
        if (in.opcode == FUSE_INIT) {
            fuse_init_out init{};
            init.major = FUSE_KERNEL_VERSION;
            init.minor = FUSE_KERNEL_MINOR_VERSION;
            init.max_write = 4096;
            reply(fd, in.unique, 0, &init, sizeof(init));
        } else if (in.opcode != FUSE_FORGET && in.opcode != FUSE_BATCH_FORGET) {
            held.push_back({in.unique, nowMs() + answerAfter});
        }
    }
    close(fd);
    umount2(argv[1], MNT_DETACH);
    return 0;
}
