// An owning Win32 handle that is closed when it goes out of scope.
//
// Win32 is not consistent about which value means "no handle": process,
// thread, mutex and event functions return NULL on failure, while CreateFile
// and CreateNamedPipe return INVALID_HANDLE_VALUE.  The traits say which
// family a handle belongs to, so a failed call is never closed and a valid
// handle is never taken for a failure.  Include through common/win32.h.
#pragma once

#include <utility>

struct NullHandleTraits {
    static HANDLE invalid() { return nullptr; }
    static bool isValid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
};

struct FileHandleTraits {
    static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
    static bool isValid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
};

template <typename Traits> class basic_unique_handle {
  public:
    basic_unique_handle() = default;
    explicit basic_unique_handle(HANDLE h) : handle_(h) {}
    ~basic_unique_handle() { reset(); }
    basic_unique_handle(const basic_unique_handle&) = delete;
    basic_unique_handle& operator=(const basic_unique_handle&) = delete;
    basic_unique_handle(basic_unique_handle&& other) noexcept : handle_(other.release()) {}
    basic_unique_handle& operator=(basic_unique_handle&& other) noexcept
    {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }

    HANDLE get() const { return handle_; }
    explicit operator bool() const { return Traits::isValid(handle_); }

    // Gives up ownership without closing.
    HANDLE release() { return std::exchange(handle_, Traits::invalid()); }

    void reset(HANDLE h = Traits::invalid())
    {
        HANDLE old = std::exchange(handle_, h);
        if (Traits::isValid(old)) {
            CloseHandle(old);
        }
    }

  private:
    HANDLE handle_ = Traits::invalid();
};

// Handles whose failure value is NULL (processes, threads, mutexes).
using unique_handle = basic_unique_handle<NullHandleTraits>;
// Handles whose failure value is INVALID_HANDLE_VALUE (files, pipes).
using unique_file_handle = basic_unique_handle<FileHandleTraits>;
