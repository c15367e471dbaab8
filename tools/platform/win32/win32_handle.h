// The one owning guard for a Win32 HANDLE of the tools' own making
// (processes, threads, files, events outside ov::sys): no copies, noexcept
// moves, closed with CloseHandle when the guard goes.  Both of the values
// Win32 uses for "no handle", nullptr and INVALID_HANDLE_VALUE, are held as
// nullptr.
#pragma once

#include <windows.h>

namespace ov::win32 {

class unique_native_handle {
public:
    unique_native_handle() noexcept = default;
    explicit unique_native_handle(HANDLE h) noexcept : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
    unique_native_handle(const unique_native_handle&) = delete;
    unique_native_handle& operator=(const unique_native_handle&) = delete;
    unique_native_handle(unique_native_handle&& other) noexcept : h_(other.release()) {}
    unique_native_handle& operator=(unique_native_handle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~unique_native_handle() { reset(); }

    HANDLE get() const noexcept { return h_; }
    explicit operator bool() const noexcept { return h_ != nullptr; }
    HANDLE release() noexcept {
        HANDLE h = h_;
        h_ = nullptr;
        return h;
    }
    void reset(HANDLE h = nullptr) noexcept {
        if (h_ != nullptr) CloseHandle(h_);
        h_ = h == INVALID_HANDLE_VALUE ? nullptr : h;
    }

private:
    HANDLE h_ = nullptr;
};

}  // namespace ov::win32
