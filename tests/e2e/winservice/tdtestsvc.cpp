// tdtestsvc: a service of our own for the end-to-end tests.
//
//   tdtestsvc.exe [pending-ms [wait-hint-ms]]
//
// Runs until it receives the stop control. It then reports STOP_PENDING with the wait hint and a
// rising checkpoint every 100 ms for pending-ms, and finally STOPPED. Without arguments it stops at
// once.
#include <windows.h>

#include <cwchar>

namespace {

constexpr DWORD kStepMs = 100;

SERVICE_STATUS_HANDLE gStatus = nullptr;
HANDLE gStopRequested = nullptr;
DWORD gPendingMs = 0;
DWORD gWaitHintMs = 0;

void report(DWORD state, DWORD checkPoint, DWORD waitHint) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    status.dwCheckPoint = checkPoint;
    status.dwWaitHint = waitHint;
    SetServiceStatus(gStatus, &status);
}

DWORD WINAPI onControl(DWORD control, DWORD /*eventType*/, LPVOID /*eventData*/, LPVOID /*context*/) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
        report(SERVICE_STOP_PENDING, 1, gWaitHintMs);
        SetEvent(gStopRequested);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI serviceMain(DWORD /*argc*/, LPWSTR* argv) {
    gStatus = RegisterServiceCtrlHandlerExW(argv[0], onControl, nullptr);
    if (gStatus == nullptr) {
        return;
    }
    gStopRequested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    report(SERVICE_RUNNING, 0, 0);
    WaitForSingleObject(gStopRequested, INFINITE);
    DWORD checkPoint = 2;
    for (DWORD waited = 0; waited < gPendingMs; waited += kStepMs) {
        Sleep(kStepMs);
        report(SERVICE_STOP_PENDING, checkPoint++, gWaitHintMs);
    }
    CloseHandle(gStopRequested);
    report(SERVICE_STOPPED, 0, 0);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc > 1) {
        gPendingMs = static_cast<DWORD>(std::wcstoul(argv[1], nullptr, 10));
    }
    if (argc > 2) {
        gWaitHintMs = static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10));
    }
    wchar_t name[] = L"tdtestsvc"; // ignored for a service in a process of its own
    const SERVICE_TABLE_ENTRYW table[] = {{name, serviceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) != FALSE ? 0 : static_cast<int>(GetLastError());
}
