// Scope-bound owners for the handles the platform hands out. Each owner knows
// the one call that releases its kind; declaring owners in acquisition order
// releases them in reverse order.
#pragma once

#include "platform/Platform.h"

#include <utility>

namespace tdu::platform {

template <class Closer> class Owned {
public:
    Owned() = default;
    explicit Owned(Handle handle) : handle_(handle) {}
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned(Owned&& other) noexcept : handle_(std::exchange(other.handle_, kNullHandle)) {}
    Owned& operator=(Owned&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.handle_, kNullHandle));
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
            Closer{}(handle_);
        }
        handle_ = handle;
    }

private:
    Handle handle_ = kNullHandle;
};

struct KernelObjectCloser {
    void operator()(Handle handle) const { sys().CloseHandle(handle); }
};
struct RegKeyCloser {
    void operator()(Handle handle) const { reg().RegCloseKey(handle); }
};
struct StreamCloser {
    void operator()(Handle handle) const { sys().CloseStream(handle); }
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

using KernelObject = Owned<KernelObjectCloser>;
using FindHandle = Owned<FindCloser>;
using DeviceInfoSet = Owned<DeviceInfoSetCloser>;
using RegKey = Owned<RegKeyCloser>;
using Stream = Owned<StreamCloser>;
using MsiHandle = Owned<MsiHandleCloser>;
using ServiceHandle = Owned<ServiceHandleCloser>;
using ComPtr = Owned<ComReleaser>;
using TaskMem = Owned<TaskMemFreer>;

} // namespace tdu::platform
