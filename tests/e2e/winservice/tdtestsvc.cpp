// tdtestsvc: a service of our own for the end-to-end tests.
//
//   tdtestsvc.exe [pending-ms [wait-hint-ms]]
//
// Runs until it receives the stop control, then reports STOP_PENDING with the wait hint and a rising
// checkpoint every 100 ms for pending-ms, and finally STOPPED.
#include <windows.h>

#include <cwchar>
#include <memory>

namespace {

SERVICE_STATUS_HANDLE gStatus = nullptr;
HANDLE gStopRequested = nullptr;
DWORD gPendingMs = 0;
DWORD gWaitHintMs = 0;

void report(DWORD state, DWORD checkPoint) {
    SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS,
                          state,
                          state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0u,
                          0,
                          0,
                          checkPoint,
                          state == SERVICE_STOP_PENDING ? gWaitHintMs : 0u};
    SetServiceStatus(gStatus, &status);
}

DWORD WINAPI onControl(DWORD control, DWORD, LPVOID, LPVOID) {
    if (control == SERVICE_CONTROL_STOP) {
        report(SERVICE_STOP_PENDING, 1);
        SetEvent(gStopRequested);
    }
    return control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_INTERROGATE
               ? NO_ERROR
               : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI serviceMain(DWORD, LPWSTR* argv) {
    const std::unique_ptr<void, decltype(&CloseHandle)> stop(CreateEventW(nullptr, TRUE, FALSE, nullptr),
                                                             &CloseHandle);
    gStopRequested = stop.get();
    gStatus = RegisterServiceCtrlHandlerExW(argv[0], onControl, nullptr);
    report(SERVICE_RUNNING, 0);
    WaitForSingleObject(gStopRequested, INFINITE);
    for (DWORD waited = 0, checkPoint = 2; waited < gPendingMs; waited += 100) {
        Sleep(100);
        report(SERVICE_STOP_PENDING, checkPoint++);
    }
    report(SERVICE_STOPPED, 0);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    gPendingMs = argc > 1 ? static_cast<DWORD>(std::wcstoul(argv[1], nullptr, 10)) : 0;
    gWaitHintMs = argc > 2 ? static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)) : 0;
    wchar_t name[] = L"tdtestsvc"; // ignored for a service in a process of its own
    const SERVICE_TABLE_ENTRYW table[] = {{name, serviceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) != FALSE ? 0 : static_cast<int>(GetLastError());
}
