// open and close as a Solaris program sees them: /proc/<pid>/psinfo is a
// psinfo_t record and /dev/<device> a DLPI stream; every other path is the
// machine's own.  Both are defined under their own names and hidden, so they
// take effect inside the library built on this emulation and nowhere else.
#include "compat/sunos/dlpi_stream.h"
#include "compat/sunos/sunos_source.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// The pid of "/proc/<pid>/psinfo" or "/proc/self/psinfo"; -1 for any other path.
pid_t psinfoPid(const char* path)
{
    static const char prefix[] = "/proc/";
    static const char suffix[] = "/psinfo";
    if (strncmp(path, prefix, sizeof prefix - 1) != 0) {
        return -1;
    }
    const char* p = path + sizeof prefix - 1;
    pid_t pid = 0;
    if (strncmp(p, "self", 4) == 0) {
        pid = getpid();
        p += 4;
    } else {
        // No process has an id beyond the range of pid_t: such a name is no
        // psinfo file (it must not wrap round to the id of another process).
        const char* digits = p;
        long long value = 0;
        while (*p >= '0' && *p <= '9') {
            value = value * 10 + (*p - '0');
            if (value > INT32_MAX) {
                return -1;
            }
            p++;
        }
        if (p == digits) {
            return -1;
        }
        pid = static_cast<pid_t>(value);
    }
    return strcmp(p, suffix) == 0 ? pid : -1;
}

// A descriptor that reads the bytes of the record, as a file of that length.
int psinfoOpen(pid_t pid)
{
    psinfo_t info{};
    size_t length = 0;
    int error = sunos_source().psinfo(pid, &info, &length);
    if (error != 0) {
        errno = error;
        return -1;
    }
    if (length > sizeof info) {
        length = sizeof info;
    }
    int fd = static_cast<int>(syscall(SYS_memfd_create, "psinfo", MFD_CLOEXEC));
    if (fd < 0) {
        return -1;
    }
    const auto* bytes = reinterpret_cast<const char*>(&info);
    size_t done = 0;
    while (done < length) {
        ssize_t n = write(fd, bytes + done, length - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            int saved = errno;
            sunos_sys_close(fd);
            errno = saved;
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    lseek(fd, 0, SEEK_SET);
    return fd;
}

} // namespace

int sunos_sys_open(const char* path, int flags)
{
    return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags | O_CLOEXEC, 0));
}

int sunos_sys_close(int fd)
{
    return static_cast<int>(syscall(SYS_close, fd));
}

long sunos_read_file(const char* path, char* buffer, size_t size)
{
    if (size == 0) {
        return -1;
    }
    int fd = sunos_sys_open(path, O_RDONLY);
    if (fd < 0) {
        return -1;
    }
    size_t total = 0;
    while (total < size - 1) {
        ssize_t n = read(fd, buffer + total, size - 1 - total);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        total += static_cast<size_t>(n);
    }
    buffer[total] = '\0';
    sunos_sys_close(fd);
    return static_cast<long>(total);
}

extern "C" {

// The C library names the parameters differently.
int open(const char* path, int flags, ...) // NOLINT(readability-inconsistent-declaration-parameter-name)
{
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    // The C library answers a null path with EFAULT; so does this.  Its
    // declaration says the path is never null, so the compiler is told to
    // forget what it knows before the test.
    const char* checked = path;
    __asm__("" : "+r"(checked));
    if (checked == nullptr) {
        errno = EFAULT;
        return -1;
    }
    pid_t pid = psinfoPid(path);
    if (pid >= 0) {
        return psinfoOpen(pid);
    }
    int fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
    // A device the machine does not have under /dev is a network device
    // reached through DLPI; /dev/null and its kind stay what they are.
    if (fd < 0 && errno == ENOENT && strncmp(path, "/dev/", 5) == 0 && path[5] != '\0' &&
        strchr(path + 5, '/') == nullptr) {
        return dlpi_stream_open(path + 5);
    }
    return fd;
}

int close(int fd)
{
    dlpi_stream_forget(fd);
    return sunos_sys_close(fd);
}

} // extern "C"
