// The operator: one object per process, without data members. Its member
// functions are the operations the dispatcher hands a parsed command to.
#pragma once

#include "app/DriverOperation.h"
#include "platform/RegData.h"

#include <cstdint>
#include <string>
#include <vector>

// A published package of the product found in the driver store.
struct DriverStoreEntry {
    std::wstring infName;    // oemN.inf, without its folder
    std::wstring hardwareId; // the id it was found for
};

// The virtual adapter's hardware id: its device's id and the id its package
// is searched for in the driver store.
inline constexpr wchar_t kAdapterHardwareId[] = L"{FE36527A-8C07-4854-8AF7-BF40E7DF52F7}\\TVRNVA";
// Given as the hardware id, tells UninstallDriver that the component has no
// device to look for.
inline constexpr wchar_t kNotADeviceDriver[] = L"NOTADEVICEDRIVER";

// The names of the entries matching prefix + suffix (a wildcard pattern):
// folders when directoriesOnly, else files; in the platform's order.
std::vector<std::wstring> listDirectoryNames(const std::wstring& prefix, bool directoriesOnly,
                                             const std::wstring& suffix);

class TavrinDriverOperator {
public:
    static TavrinDriverOperator& getInstance();

    // Runs the operation the record names; returns its status unchanged.
    int PerformDriverOperation(const DriverOperation& record);

    // One driver package: publish it, record its published name for the
    // component, create its device and install the driver on it.
    int InstallDriver(const DriverOperation& record);
    // Creates a root-enumerated "Net" device for the hardware id; the error of
    // the last failing step, or 0. instanceId null: the platform names it.
    std::uint32_t AddDevice(const std::wstring& hardwareId, const std::wstring* instanceId, bool startDevice);

    // Devices first, then the named package, the component's stored package
    // and its driver file. 3010 when a removal asks for a restart, else 0.
    int UninstallDriver(const DriverOperation& record);
    bool UninstallOEMInf(const std::wstring* infName);
    bool DeleteDriverFile(const std::wstring& componentName);
    // Removes every device, of any class, present or not, listing the id.
    std::uint32_t RemoveDevices(const std::wstring& hardwareId, std::uint32_t* rebootRequired);

    // The driver store: the product's packages, found by their search ids.
    void ListInfs(const std::wstring& className, const std::wstring& hardwareId,
                  std::vector<DriverStoreEntry>* entries);
    int ListDriverInfs(std::vector<DriverStoreEntry>* entries);
    int RemoveINFCACHE();

    // The split-DNS filter's own INF sections.
    int InstallSplitDnsFilter(const DriverOperation& record);
    int UnInstallSplitDnsFilter(const DriverOperation& record);

    // The product's whole driver set, in its fixed orders. componentFilter
    // null: every component, with the preliminary uninstall, the listings and
    // the store sweep; otherwise only the component of exactly that name.
    // installDevice null or 1: full mode (devices, services, net service);
    // another value keeps to the driver store. 0, or 2 when the drivers
    // folder cannot be expanded.
    std::uint32_t InstallTavrinDrivers(const DriverOperation& request, const std::wstring* componentFilter,
                                       const std::uint32_t* installDevice);
    std::uint32_t UnInstallTavrinDrivers(const std::wstring* componentFilter,
                                         const std::uint32_t* installDevice);
    // /reinstall: one component off and on again; 0, or 2 on any refusal or failure.
    std::uint32_t ReInstallDriver(const DriverOperation& request);

    // Leftovers of an earlier net-service driver install.
    void cleanTVRNNSResiduals();

    // Installation status handshake between the installer's start and end runs.
    int setStatus(const DriverOperation& record);

    // The product key, HKLM\SOFTWARE\TavrinSecure\TavrinDrivers in the 32-bit view.
    bool Set32BitRegData(const std::wstring& valueName, std::uint32_t valueType,
                         const tdu::platform::RegData& data, std::uint32_t byteCount);
    // data receives the text up to its first NUL; byteCount is the buffer size
    // in bytes, set to the size needed when the value does not fit.
    bool Read32BitReg(const wchar_t* valueName, std::wstring* data, std::uint32_t* byteCount);
    bool Delete32BitReg(const wchar_t* valueName);
    int SetProcessorTypeInReg();
    bool isDriverTypeVirtual(const DriverOperation& record);

    // /netserv: validates the action word and reinstalls or removes the
    // component; 0 on success, 2 otherwise.
    int AddRemoveNetService(const DriverOperation& record);
    // Removes the component when present and, with `add`, installs it afresh;
    // without `add` it only removes, whatever its name says.
    std::int32_t HrReinstallNetService(const wchar_t* componentId, const wchar_t* manufacturer,
                                       const wchar_t* product, const wchar_t* displayName, bool add);

    // Deletes a key below HKLM (native view) with its whole subtree.
    bool RegDelNode(const std::wstring& subKey);
    // path: the working buffer; it holds the same path again on return.
    bool RegDelNodeRecurse(std::wstring& path);

private:
    friend struct OperatorDispatch;

    // The custom-action branch: 2 for an empty product code, otherwise 0
    // whatever the handler achieved; it logs its own outcome.
    int disableCA(const std::wstring& productCode);
};
