// Scope-bound owners for what the program acquires: the handles the platform
// hands out (Owned: each kind knows the one call that releases it) and the
// states that a call ends (Held: a COM apartment, a write lock). Declaring
// owners in acquisition order releases them in reverse order.
#pragma once

#include "platform/Platform.h"

#include <utility>

namespace tdu::platform {

template <class Closer> class Owned {
public:
    Owned() = default;
    explicit Owned(Handle handle, Closer closer = {}) : handle_(handle), closer_(closer) {}
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned(Owned&& other) noexcept
        : handle_(std::exchange(other.handle_, kNullHandle)), closer_(other.closer_) {}
    Owned& operator=(Owned&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.handle_, kNullHandle));
            closer_ = other.closer_;
        }
        return *this;
    }
    ~Owned() { reset(); }

    [[nodiscard]] Handle get() const { return handle_; }
    // For out-parameters: releases what is held and hands out the slot.
    Handle& put() {
        reset();
        return handle_;
    }
    // Gives up ownership, for a release whose result the caller examines.
    [[nodiscard]] Handle release() { return std::exchange(handle_, kNullHandle); }
    [[nodiscard]] bool valid() const { return handle_ != kNullHandle && handle_ != kInvalidHandle; }
    explicit operator bool() const { return valid(); }

    void reset(Handle handle = kNullHandle) {
        if (valid()) {
            closer_(handle_);
        }
        handle_ = handle;
    }

private:
    Handle handle_ = kNullHandle;
    [[no_unique_address]] Closer closer_{};
};

// A state that one call ends, ended when the scope is left.
template <class End> class Held {
public:
    explicit Held(End end) : end_(std::move(end)) {}
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    Held(Held&&) = delete;
    Held& operator=(Held&&) = delete;
    ~Held() { end_(); }

private:
    End end_;
};

struct KernelObjectCloser {
    void operator()(Handle handle) const { sys().CloseHandle(handle); }
};
struct RegKeyCloser {
    void operator()(Handle handle) const { reg().RegCloseKey(handle); }
};

struct DeviceInfoSetCloser {
    void operator()(Handle handle) const { dev().SetupDiDestroyDeviceInfoList(handle); }
};

struct FindCloser {
    void operator()(Handle handle) const { sys().FindClose(handle); }
};

struct MsiHandleCloser {
    void operator()(Handle handle) const { installerDb().MsiCloseHandle(handle); }
};
struct ServiceHandleCloser {
    void operator()(Handle handle) const { scm().CloseServiceHandle(handle); }
};
struct ComReleaser {
    void operator()(Handle object) const { netcfg().Release(object); }
};
struct TaskMemFreer {
    void operator()(Handle block) const { netcfg().CoTaskMemFree(block); }
};
// A block of a heap goes back to the heap it came from.
struct HeapFreer {
    Handle heap = kNullHandle;
    void operator()(Handle block) const { sys().HeapFree(heap, 0, block); }
};

// Mutexes, events, and open files and folders.
using KernelObject = Owned<KernelObjectCloser>;
using FindHandle = Owned<FindCloser>;
using DeviceInfoSet = Owned<DeviceInfoSetCloser>;
using RegKey = Owned<RegKeyCloser>;
using MsiHandle = Owned<MsiHandleCloser>;
using ServiceHandle = Owned<ServiceHandleCloser>;
using ComPtr = Owned<ComReleaser>;
using TaskMem = Owned<TaskMemFreer>;
using HeapBlock = Owned<HeapFreer>;

} // namespace tdu::platform
