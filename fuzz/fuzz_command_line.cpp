// The whole run, command line to exit code, on a fresh simulated machine.
//
// Input: one byte of machine set-up flags, three more naming a failing
// platform call when the flags ask for one, then the arguments after the
// program path, separated by NUL bytes (wideFrom gives each its text).
//
// Checked after every run: no exception leaves the run, the parser's record
// is the one an independent reading of the option rules gives, the exit code
// is one the operation can answer, nothing acquired is left open, no wait
// outlasts the longest the program knows, and no run takes real time.
#include "app/TavrinDriverUtil.h"
#include "fuzz/FuzzSupport.h"
#include "installer_db/FixedTables.h"
#include "platform/WideText.h"
#include "platform/sim/SimNetConfig.h"
#include "service/ServiceHandler.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <exception>
#include <optional>
#include <string_view>
#include <vector>

namespace {

using tdu::fuzz::check;
using tdu::platform::sim::SimMachine;

// Machine set-up, one bit each, so that the values on the command line meet
// something to act on.
enum Setup : std::uint8_t {
    kInfPresent = 1U << 0U,     // a driver package at kInfPath
    kPriorRelease = 1U << 1U,   // an earlier release installed, with its Tavrin.exe
    kDevicePresent = 1U << 2U,  // a device with the hardware id kHardwareId
    kInstallWaiting = 1U << 3U, // a starting /setstatus run waits for the end
    kNetServicePresent = 1U << 4U,
    kNetLockTaken = 1U << 5U, // another client holds the network configuration's write lock
    kNoCommandLine = 1U << 6U,
    kFault = 1U << 7U, // the next three bytes: which call fails, on which use, with which error
};

constexpr wchar_t kProgramPath[] =
    L"C:\\Program Files (x86)\\Tavrin Secure\\TavrinDrivers\\TavrinDriverUtil.exe";
constexpr wchar_t kInfPath[] = L"C:\\Drivers\\tvrnvamgr\\tvrnvamgr.inf";
constexpr wchar_t kHardwareId[] = L"tvrnvamgr";
constexpr wchar_t kNetService[] = L"tvrnns";
constexpr wchar_t kClientExe[] = L"C:\\Program Files (x86)\\Common Files\\Tavrin Secure\\TamUI\\Tavrin.exe";
constexpr wchar_t kLocalPackage[] = L"C:\\Windows\\Installer\\1a2b3c.msi";
constexpr std::uint32_t kWaitingProcess = 77;
constexpr std::uint64_t kLongestWaitMs = 600'000; // the starting side of /setstatus
constexpr auto kRealTimeLimit = std::chrono::seconds(2);

// Every call the simulated machine can fail.
constexpr std::array<const char*, 81> kFailable{
    "AcquireWriteLock",
    "Apply",
    "CloseServiceHandle",
    "CoCreateInstance",
    "CoInitializeEx",
    "ControlService",
    "CreateDirectoryW",
    "CreateEventW",
    "CreateMutexW",
    "DeInstall",
    "DeleteFileW",
    "DeleteService",
    "EnumDependentServicesW",
    "ExpandEnvironmentStringsW",
    "FileTimeToSystemTime",
    "FindComponent",
    "FindFirstFileW",
    "FindNextFileW",
    "GetClassGuid",
    "GetFileVersionInfoSizeW",
    "GetFileVersionInfoW",
    "GetWindowsDirectoryW",
    "HeapAlloc",
    "Initialize",
    "Install",
    "InstallHinfSectionW",
    "K32GetModuleFileNameExW",
    "MsiDatabaseCommit",
    "MsiDatabaseOpenViewW",
    "MsiGetProductInfoW",
    "MsiOpenDatabaseW",
    "MsiViewClose",
    "MsiViewExecute",
    "OpenAppendStream",
    "OpenEventW",
    "OpenMutexW",
    "OpenSCManagerW",
    "OpenServiceW",
    "QueryInterface",
    "QueryNetCfgClass",
    "QueryServiceStatusEx",
    "RegCreateKeyExW",
    "RegDeleteKeyW",
    "RegDeleteValueW",
    "RegEnumKeyExW",
    "RegFlushKey",
    "RegOpenKeyExW",
    "RegQueryValueExW",
    "RegSetValueExW",
    "ReleaseMutex",
    "ReleaseWriteLock",
    "RemoveDirectoryW",
    "SetEvent",
    "SetupCopyOEMInfW",
    "SetupDiBuildDriverInfoList",
    "SetupDiCallClassInstaller",
    "SetupDiClassGuidsFromNameW",
    "SetupDiCreateDeviceInfoList",
    "SetupDiCreateDeviceInfoW",
    "SetupDiDeleteDeviceInfo",
    "SetupDiDestroyDeviceInfoList",
    "SetupDiEnumDeviceInfo",
    "SetupDiEnumDriverInfoW",
    "SetupDiGetClassDevsExW",
    "SetupDiGetDeviceInstallParamsW",
    "SetupDiGetDeviceInstanceIdW",
    "SetupDiGetDeviceRegistryPropertyW",
    "SetupDiGetDriverInfoDetailW",
    "SetupDiSetClassInstallParamsW",
    "SetupDiSetDeviceInstallParamsW",
    "SetupDiSetDeviceRegistryPropertyW",
    "SetupUninstallOEMInfW",
    "Uninitialize",
    "UpdateDriverForPlugAndPlayDevicesW",
    "VerQueryValueW",
    "WaitForSingleObject",
    "WriteStream",
    "_wremove",
    "exists",
    "file_size",
    "rename",
};
// System and device-installer errors; the network configuration's calls
// answer an HRESULT instead (E_FAIL, NETCFG_E_NO_WRITE_LOCK).
constexpr std::array<std::uint32_t, 5> kErrors{5, 2, 32, 87, 0xE000020B};
constexpr std::array<std::uint32_t, 2> kHResults{0x80004005, 0x8004A024};
constexpr std::array<std::string_view, 13> kNetConfigCalls{
    "AcquireWriteLock", "Apply",          "CoCreateInstance", "CoInitializeEx",
    "DeInstall",        "FindComponent",  "GetClassGuid",     "Initialize",
    "Install",          "QueryInterface", "QueryNetCfgClass", "ReleaseWriteLock",
    "Uninitialize",
};

constexpr char kInfText[] = "[Version]\r\nSignature=\"$WINDOWS NT$\"\r\nClass=System\r\n"
                            "ClassGuid={4d36e97d-e325-11ce-bfc1-08002be10318}\r\n"
                            "DriverVer=05/07/2021,1.2.3.4\r\n\r\n"
                            "[Manufacturer]\r\n%Mfg%=Standard,NTamd64\r\n\r\n"
                            "[Standard.NTamd64]\r\n%Desc%=Device, tvrnvamgr\r\n";

// The earlier release: the first version label of the product-code table,
// with a Tavrin.exe that carries it and its first product code installed.
struct PriorRelease {
    tdu::platform::FixedFileInfo version;
    std::wstring productCode;
    std::vector<tdu::platform::sim::SimSequenceRow> sequence;
};

const PriorRelease& priorRelease() {
    static const PriorRelease release = [] {
        PriorRelease built;
        const auto& [label, code] = *productCodesByVersion.begin();
        unsigned parts[3] = {0, 0, 0};
        std::size_t part = 0;
        for (const wchar_t ch : label) {
            if (ch == L'.') {
                ++part;
            } else if (part < 3) {
                parts[part] = parts[part] * 10 + static_cast<unsigned>(ch - L'0');
            }
        }
        // GetFileVersion reads major.minor.build from these three places.
        built.version.productVersionMS = parts[0] << 16U;
        built.version.fileVersionMS = parts[1];
        built.version.fileVersionLS = parts[2] << 16U;
        built.productCode = code;
        int order = 1000;
        for (const std::wstring_view name : difxCustomActions) {
            built.sequence.push_back({std::wstring(name), L"NOT Installed", order++});
        }
        for (const std::wstring_view name : customActionsToDisable) {
            built.sequence.push_back({std::wstring(name), L"REMOVE~=\"ALL\"", order++});
        }
        return built;
    }();
    return release;
}

void setUp(SimMachine& machine, std::uint8_t flags) {
    if ((flags & kInfPresent) != 0) {
        machine.writeFile(kInfPath, kInfText);
    }
    if ((flags & kPriorRelease) != 0) {
        const PriorRelease& release = priorRelease();
        machine.writeVersionedFile(kClientExe, release.version);
        machine.installProduct(release.productCode, kLocalPackage, release.sequence);
    }
    if ((flags & kDevicePresent) != 0) {
        tdu::platform::sim::SimDevice device;
        device.instanceId = L"ROOT\\SYSTEM\\0000";
        device.classGuid = tdu::platform::kGuidDevClassSystem;
        device.hardwareIds = std::vector<std::wstring>{kHardwareId};
        machine.addDevice(device);
    }
    if ((flags & kInstallWaiting) != 0) {
        machine.asProcess(kWaitingProcess, [] {
            auto& system = tdu::platform::sys();
            system.CreateMutexW(true, L"Global\\TDInstallationStartedMtx");
            system.CreateEventW(true, false, L"Global\\TDInstallationCompletedEvt");
        });
    }
    if ((flags & kNetServicePresent) != 0) {
        machine.netConfig().addComponent({kNetService, tdu::platform::kGuidDevClassNetService, {}});
    }
    if ((flags & kNetLockTaken) != 0) {
        machine.netConfig().holdWriteLock(L"Another Installer");
    }
}

// The option rules read independently of the parser: every option takes the
// next argument as its value, the first command names the operation, an
// unknown option or an option name as a value ends the run.
struct OptionRule {
    std::wstring_view name;
    std::wstring DriverOperation::*field;
    OperationCode command;
};

constexpr std::array<OptionRule, 16> kRules{{
    {L"install", &DriverOperation::infPath, OperationCode::Install},
    {L"uninstall", &DriverOperation::hardwareId, OperationCode::Uninstall},
    {L"setprocessortype", &DriverOperation::processorType, OperationCode::SetProcessorType},
    {L"netserv", &DriverOperation::netServiceAction, OperationCode::NetService},
    {L"installdrivers", &DriverOperation::allDriversArg, OperationCode::InstallDrivers},
    {L"uninstalldrivers", &DriverOperation::allDriversArg, OperationCode::UninstallDrivers},
    {L"reinstall", &DriverOperation::reinstallMode, OperationCode::Reinstall},
    {L"setstatus", &DriverOperation::installStatus, OperationCode::SetStatus},
    {L"disableDifx", &DriverOperation::productCode, OperationCode::DisableDifx},
    {L"disableCustomActions", &DriverOperation::productCode, OperationCode::DisableCustomActions},
    {L"hardwareid", &DriverOperation::hardwareId, OperationCode::None},
    {L"instid", &DriverOperation::instanceId, OperationCode::None},
    {L"startdevice", &DriverOperation::startDevice, OperationCode::None},
    {L"component", &DriverOperation::componentName, OperationCode::None},
    {L"oeminf", &DriverOperation::oemInfName, OperationCode::None},
    {L"drivertype", &DriverOperation::driverType, OperationCode::None},
}};

const OptionRule* ruleFor(std::wstring_view argument) {
    if (argument.empty() || (argument.front() != L'/' && argument.front() != L'-')) {
        return nullptr;
    }
    for (const OptionRule& rule : kRules) {
        if (argument.substr(1) == rule.name) {
            return &rule;
        }
    }
    return nullptr;
}

// The record a well-formed command line gives; nullopt for a malformed one.
std::optional<DriverOperation> expectedRecord(const std::vector<std::wstring>& args) {
    if (args.size() < 2 || args.size() % 2 != 0) {
        return std::nullopt;
    }
    DriverOperation record;
    for (std::size_t i = 0; i < args.size(); i += 2) {
        const OptionRule* rule = ruleFor(args[i]);
        if (rule == nullptr || ruleFor(args[i + 1]) != nullptr) {
            return std::nullopt;
        }
        if (record.operationCode == OperationCode::None) {
            record.operationCode = rule->command;
        }
        record.*(rule->field) = args[i + 1];
    }
    return record;
}

bool sameRecord(const DriverOperation& a, const DriverOperation& b) {
    if (a.operationCode != b.operationCode) {
        return false;
    }
    for (const OptionRule& rule : kRules) {
        if (a.*(rule.field) != b.*(rule.field)) {
            return false;
        }
    }
    return true;
}

// A last-error value a failing platform call passes through: a system error
// code, or one of the device installer's (0xE0000000 and up).
bool isPlatformError(int result) {
    const auto code = static_cast<std::uint32_t>(result);
    return (code != 0 && code <= 0xFFFFU) || (code >= 0xE0000000U && code <= 0xE000FFFFU);
}

// What each operation may answer.
bool resultFits(OperationCode code, int result) {
    switch (code) {
    case OperationCode::None:
        return result == 2;
    case OperationCode::Install:
        return result == 0 || result == 2 || result == 3010 || isPlatformError(result);
    case OperationCode::Uninstall:
        return result == 0 || result == 3010;
    case OperationCode::SetProcessorType:
    case OperationCode::NetService:
    case OperationCode::SetStatus:
    case OperationCode::DisableCustomActions:
        return result == 0 || result == 2;
    case OperationCode::DisableDifx:
        return result == -1 || result == 0 || result == 2;
    case OperationCode::InstallDrivers:
    case OperationCode::UninstallDrivers:
    case OperationCode::Reinstall:
        // Component failures are only logged; only the drivers folder fails them.
        return result == 0 || result == 2;
    }
    return false;
}

std::string narrowForReport(std::wstring_view text) {
    std::string out;
    for (const wchar_t ch : text) {
        const std::uint32_t value = tdu::platform::codePoint(ch);
        if (value >= 0x20 && value < 0x7F) {
            out.push_back(static_cast<char>(value));
        } else {
            std::array<char, 8> hex{};
            const auto printed = std::to_chars(hex.data(), hex.data() + hex.size(), value, 16);
            out += "\\u{" + std::string(hex.data(), printed.ptr) + "}";
        }
    }
    return out;
}

std::string describe(const std::vector<std::wstring>& args, int result) {
    std::string text = "exit code " + std::to_string(result) + ", arguments:";
    for (const std::wstring& arg : args) {
        text += " [" + narrowForReport(arg) + "]";
    }
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return -1;
    }
    const std::uint8_t flags = data[0];
    std::span<const std::uint8_t> rest(data + 1, size - 1);
    std::optional<std::array<std::uint8_t, 3>> fault;
    if ((flags & kFault) != 0) {
        if (rest.size() < 3) {
            return -1;
        }
        fault = {rest[0], rest[1], rest[2]};
        rest = rest.subspan(3);
    }
    std::vector<std::wstring> args;
    for (std::size_t start = 0, i = 0; !rest.empty() && i <= rest.size(); ++i) {
        if (i == rest.size() || rest[i] == 0) {
            args.push_back(tdu::fuzz::wideFrom(rest.subspan(start, i - start)));
            start = i + 1;
        }
    }

    std::vector<const wchar_t*> argv{kProgramPath};
    std::wstring commandLine;
    for (const std::wstring& arg : args) {
        argv.push_back(arg.c_str());
        commandLine += (commandLine.empty() ? L"" : L" ") + arg;
    }

    tdu::fuzz::BoundMachine bound;
    SimMachine& machine = bound.machine;
    setUp(machine, flags);
    if (fault) {
        const char* call = kFailable[(*fault)[0] % kFailable.size()];
        const bool netConfig =
            std::find(kNetConfigCalls.begin(), kNetConfigCalls.end(), call) != kNetConfigCalls.end();
        machine.failCall(call, (*fault)[1] % 4U,
                         netConfig ? kHResults[(*fault)[2] % kHResults.size()]
                                   : kErrors[(*fault)[2] % kErrors.size()]);
    }

    TDCmdLineParser parser;
    int result = 0;
    const auto began = std::chrono::steady_clock::now();
    try {
        result = RunTavrinDriverUtil((flags & kNoCommandLine) != 0 ? nullptr : commandLine.c_str(),
                                     static_cast<unsigned>(argv.size()), argv.data(), parser);
    } catch (const std::exception& error) {
        tdu::fuzz::fail("no exception leaves the run", std::string(error.what()) + "; " + describe(args, 0));
    }
    const auto took = std::chrono::steady_clock::now() - began;

    const std::optional<DriverOperation> expected = expectedRecord(args);
    if (!expected) {
        check(result == -1, "a malformed command line ends with -1", describe(args, result));
        // A failing file call may cost the log its last line.
        const std::string log = machine.readFile(tdu::fuzz::kLogPath).value_or("");
        check(fault || log.ends_with("Failed to parse Command Line params.\r\n"),
              "a malformed command line ends the log with the parse failure", describe(args, result));
    } else {
        check(sameRecord(parser.driverOperation(), *expected), "the record holds what the options say",
              describe(args, result));
        check(resultFits(expected->operationCode, result), "the exit code is one the operation answers",
              describe(args, result));
    }

    if ((flags & kInstallWaiting) != 0) {
        machine.endProcess(kWaitingProcess);
    }
    // The service handler keeps its manager connection for the process's
    // life; the process's end closes it, as this does.
    ServiceHandler::getInstance().disconnect();
    check(machine.openHandleCount() == 0, "the run leaves nothing open",
          machine.openHandleReport() + describe(args, result));
    check(machine.netConfig().comInitBalance() == 0, "every COM initialisation is undone",
          describe(args, result));
    check(machine.nowMs() <= kLongestWaitMs, "no wait outlasts the installation handshake's",
          std::to_string(machine.nowMs()) + " ms; " + describe(args, result));
    check(took < kRealTimeLimit, "the simulated waits take no real time", describe(args, result));
    return 0;
}
