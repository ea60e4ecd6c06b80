// tdsvctool: sets up and inspects services for the end-to-end tests. The exit code is the answer.
//
//   tdsvctool.exe create <name> <binary-path-with-arguments>   0, or the error of CreateServiceW
//   tdsvctool.exe start <name>      0 once running (within 10 s), or the error
//   tdsvctool.exe stop <name>       sends the stop control without waiting: 0, or the error
//   tdsvctool.exe state <name>      the service's dwCurrentState (1 to 7), or the error (1060: no service)
#include <windows.h>

#include <cwchar>
#include <string>

namespace {

constexpr DWORD kUsage = 0xFFFF;
constexpr DWORD kStartTimeoutMs = 10'000;
constexpr DWORD kPollMs = 50;

class ScHandle {
public:
    explicit ScHandle(SC_HANDLE handle) : handle_(handle) {}
    ~ScHandle() {
        if (handle_ != nullptr) {
            CloseServiceHandle(handle_);
        }
    }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
    SC_HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    SC_HANDLE handle_;
};

DWORD currentState(SC_HANDLE service, DWORD& state) {
    SERVICE_STATUS status{};
    if (QueryServiceStatus(service, &status) == FALSE) {
        return GetLastError();
    }
    state = status.dwCurrentState;
    return 0;
}

DWORD startAndWait(SC_HANDLE service) {
    if (StartServiceW(service, 0, nullptr) == FALSE) {
        return GetLastError();
    }
    for (DWORD waited = 0; waited < kStartTimeoutMs; waited += kPollMs) {
        DWORD state = 0;
        if (const DWORD error = currentState(service, state); error != 0) {
            return error;
        }
        if (state == SERVICE_RUNNING) {
            return 0;
        }
        Sleep(kPollMs);
    }
    return WAIT_TIMEOUT;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        return kUsage;
    }
    const std::wstring command = argv[1];
    const wchar_t* name = argv[2];
    const ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        return static_cast<int>(GetLastError());
    }
    if (command == L"create") {
        if (argc < 4) {
            return kUsage;
        }
        const ScHandle created(CreateServiceW(
            manager.get(), name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
            SERVICE_ERROR_NORMAL, argv[3], nullptr, nullptr, nullptr, nullptr, nullptr));
        return created ? 0 : static_cast<int>(GetLastError());
    }
    const ScHandle service(OpenServiceW(manager.get(), name, SERVICE_ALL_ACCESS));
    if (!service) {
        return static_cast<int>(GetLastError());
    }
    if (command == L"start") {
        return static_cast<int>(startAndWait(service.get()));
    }
    if (command == L"stop") {
        SERVICE_STATUS status{};
        return ControlService(service.get(), SERVICE_CONTROL_STOP, &status) != FALSE
                   ? 0
                   : static_cast<int>(GetLastError());
    }
    if (command == L"state") {
        DWORD state = 0;
        const DWORD error = currentState(service.get(), state);
        return static_cast<int>(error != 0 ? error : state);
    }
    return kUsage;
}
