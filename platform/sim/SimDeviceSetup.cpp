#include "platform/sim/SimState.h"

#include "platform/Registry.h"
#include "platform/WideText.h"
#include "platform/sim/SimServices.h"

#include <algorithm>
#include <cwchar>
#include <fstream>
#include <stdexcept>

namespace tdu::platform::sim {

namespace {

constexpr std::uint32_t kErrorDiDoDefault = 0xE000020E;
constexpr std::uint32_t kErrorNoCompatDrivers = 0xE0000228;
// A record whose size field is not its own: the platform refuses it whole.
constexpr std::uint32_t kErrorInvalidUserBuffer = 1784;
constexpr wchar_t kInfFolder[] = L"C:\\Windows\\INF\\";

// The setup classes of the product's packages by name; null for any other.
const Guid* classNamed(std::wstring_view name) {
    return equalsIgnoringAsciiCase(name, L"Net")          ? &kGuidDevClassNet
           : equalsIgnoringAsciiCase(name, L"NetService") ? &kGuidDevClassNetService
                                                          : nullptr;
}

RegData multiString(const std::vector<std::wstring>& items) {
    std::wstring joined;
    for (const std::wstring& item : items) {
        joined += item + L'\0';
    }
    return RegData::text(joined + L'\0');
}

// The detail's size with its hardware-id list: the fixed part, then the
// multi-string, as the platform lays it out.
constexpr std::uint32_t kDetailFixedBytes = 1576;

// FLG_ADDREG_TYPE_DWORD, the one type the product's INFs write.
constexpr unsigned long kFlagAddRegDword = 0x00010001;

// The effects the product's INFs use: values below HKLM, DWORDs all, and
// services; files are the file queue's business and stay put here.
void runInfSection(SimState& state, SimInf inf, const std::wstring& section) {
    for (const auto& [key, value] : inf.sections[section]) {
        const std::wstring directive = asciiUpper(key);
        const bool add = directive == L"ADDREG";
        for (const std::wstring& regSection :
             add || directive == L"DELREG" ? SimInf::fields(value) : std::vector<std::wstring>{}) {
            for (const auto& entry : inf.sections[asciiUpper(regSection)]) {
                // HKLM, key, name, flags, data
                const std::vector<std::wstring> f = SimInf::fields(entry.second);
                if (f.size() < 3 || asciiUpper(f[0]) != L"HKLM") {
                    continue;
                }
                const std::vector<std::wstring> path = splitKeyPath(f[1], false);
                if (add && (f.size() < 4 || std::wcstoul(f[3].c_str(), nullptr, 0) != kFlagAddRegDword)) {
                    // Not silently a DWORD 0: an INF that writes another type needs a model first.
                    throw std::logic_error("the simulated machine adds DWORD values only");
                }
                if (add) {
                    const auto data = std::wcstoul(f.size() > 4 ? f[4].c_str() : L"0", nullptr, 0);
                    createKey(state.hklm, path)->values[asciiUpper(f[2])] = {
                        f[2], {kRegDword, RegData::dword(static_cast<std::uint32_t>(data)).bytes}};
                } else if (const auto node = findKey(state.hklm, path)) {
                    node->values.erase(asciiUpper(f[2]));
                }
            }
        }
    }
    for (const auto& [key, value] : inf.sections[section + L".SERVICES"]) {
        const std::wstring name = SimInf::fields(value)[0];
        if (asciiUpper(key) == L"ADDSERVICE" && !state.services->exists(name)) {
            // A driver service an INF adds is there, stopped, until it is started.
            state.services->addService(
                {.name = name, .displayName = L"", .state = kServiceStopped, .dependsOn = {}});
        } else if (asciiUpper(key) == L"DELSERVICE") {
            state.services->deleteByName(name);
        }
    }
}

} // namespace

class SimDeviceSetup final : public IDeviceSetup {
public:
    explicit SimDeviceSetup(SimState& state) : s_(state) {}

    bool SetupCopyOEMInfW(const std::wstring& sourceInfFileName, std::uint32_t /*oemSourceMediaType*/,
                          std::uint32_t copyStyle, std::wstring& destination,
                          std::uint32_t destinationCapacity) override {
        if (auto error = s_.check("SetupCopyOEMInfW")) {
            return false;
        }
        const std::optional<std::string> content = readHostFile(mapToHost(s_.root, sourceInfFileName));
        if (!content) {
            return s_.fail(kErrorFileNotFound);
        }
        // The published package's path, given back when it fits the caller's buffer.
        const auto publishedPath = [&](const std::wstring& oemName) {
            const bool fits = std::size(kInfFolder) + oemName.size() <= destinationCapacity;
            destination = fits ? kInfFolder + oemName : destination;
            return fits;
        };
        if (const auto same = std::ranges::find(s_.driverStore, *content, &SimPackage::content);
            same != s_.driverStore.end()) {
            // The same package again: the store answers with the name it has, a failure when asked not to
            // overwrite.
            publishedPath(same->oemName);
            return (copyStyle & kSpCopyNoOverwrite) == 0 || s_.fail(kErrorFileExists);
        }
        // The lowest number no package in the store has.
        std::wstring oemName = L"oem0.inf";
        for (unsigned n = 1;
             std::ranges::any_of(s_.driverStore, [&](auto& p) { return p.oemName == oemName; }); ++n) {
            oemName = L"oem" + std::to_wstring(n) + L".inf";
        }
        s_.driverStore.push_back(SimPackage{oemName, *content, SimInf::parse(*content)});
        s_.publications.emplace_back(oemName, sourceInfFileName);
        std::ofstream(mapToHost(s_.root, kInfFolder + oemName), std::ios::binary) << *content;
        return publishedPath(oemName) || s_.fail(kErrorInsufficientBuffer);
    }

    bool SetupUninstallOEMInfW(const std::wstring& infFileName, std::uint32_t flags) override {
        if (auto error = s_.check("SetupUninstallOEMInfW")) {
            return false;
        }
        const auto package = std::ranges::find_if(s_.driverStore, [&](const SimPackage& p) {
            return equalsIgnoringAsciiCase(p.oemName, infFileName);
        });
        if (package == s_.driverStore.end()) {
            // A name that is no package is taken as Wine takes any name: joined to
            // the INF folder, and whatever file that leads to is deleted, "..\"
            // included. Only the caller's check keeps it from reaching out.
            std::error_code ec;
            const std::filesystem::path file = mapToHost(s_.root, kInfFolder + infFileName);
            return ((flags & kSuoiForceDelete) != 0 && std::filesystem::is_regular_file(file, ec) &&
                    std::filesystem::remove(file, ec)) ||
                   s_.fail(kErrorFileNotFound);
        }
        const bool inUse = std::ranges::any_of(s_.devices, [&](const SimDevice& device) {
            return equalsIgnoringAsciiCase(device.driverInf, package->oemName);
        });
        if (inUse && (flags & kSuoiForceDelete) == 0) {
            return s_.fail(kErrorInfInUseByDevices);
        }
        std::error_code ignored;
        std::filesystem::remove(mapToHost(s_.root, kInfFolder + package->oemName), ignored);
        s_.driverStore.erase(package);
        return true;
    }

    bool UpdateDriverForPlugAndPlayDevicesW(const std::wstring& hardwareId, const std::wstring& fullInfPath,
                                            std::uint32_t installFlags, bool* rebootRequired) override {
        if (auto error = s_.check("UpdateDriverForPlugAndPlayDevicesW")) {
            return false;
        }
        const std::optional<std::string> content = readHostFile(mapToHost(s_.root, fullInfPath));
        if (!content) {
            return s_.fail(kErrorFileNotFound);
        }
        const std::vector<SimInfModel> models = SimInf::parse(*content).models;
        if (std::ranges::none_of(models,
                                 [&](const SimInfModel& model) { return holdsId(model.ids, hardwareId); })) {
            return s_.fail(kErrorNoCompatDrivers);
        }
        std::vector<SimDevice*> targets;
        for (SimDevice& device : s_.devices) {
            if (device.present && device.hardwareIds && holdsId(*device.hardwareIds, hardwareId)) {
                targets.push_back(&device);
            }
        }
        if (targets.empty()) {
            return s_.fail(kErrorNoSuchDevinst);
        }
        // The update stages the package itself when it is not in the store yet.
        auto package = std::ranges::find(s_.driverStore, *content, &SimPackage::content);
        if (package == s_.driverStore.end()) {
            std::wstring ignored;
            const std::uint32_t saved = s_.lastError;
            if (!SetupCopyOEMInfW(fullInfPath, kSpostPath, 0, ignored, kMaxPath)) {
                return false; // with the staging's error
            }
            s_.lastError = saved;
            package = s_.driverStore.end() - 1;
        }
        // Unforced, a device keeps a driver as new as the package's; with none left, nothing is installed.
        const SimInf& offered = package->inf;
        std::erase_if(targets, [&](const SimDevice* device) {
            const auto current = std::ranges::find(s_.driverStore, device->driverInf, &SimPackage::oemName);
            return (installFlags & kInstallFlagForce) == 0 && current != s_.driverStore.end() &&
                   std::pair(current->inf.driverDate, current->inf.driverVersion) >=
                       std::pair(offered.driverDate, offered.driverVersion);
        });
        if (targets.empty()) {
            return s_.fail(kErrorNoMoreItems);
        }
        for (SimDevice* device : targets) {
            device->driverInf = package->oemName;
        }
        setIfGiven(rebootRequired, s_.driverUpdateRestart);
        return true;
    }

    bool SetupDiClassGuidsFromNameW(const std::wstring& className, std::vector<Guid>& classGuids,
                                    std::uint32_t classGuidListSize, std::uint32_t* requiredSize) override {
        if (auto error = s_.check("SetupDiClassGuidsFromNameW")) {
            return false;
        }
        const Guid* named = classNamed(className);
        const std::uint32_t found = named == nullptr ? 0 : 1;
        setIfGiven(requiredSize, found);
        classGuids.assign(named, named + std::min(found, classGuidListSize));
        return found <= classGuidListSize || s_.fail(kErrorInsufficientBuffer);
    }

    Handle SetupDiCreateDeviceInfoList(const Guid* /*classGuid*/) override {
        if (auto error = s_.check("SetupDiCreateDeviceInfoList")) {
            return kInvalidHandle;
        }
        return newSet(SimDeviceSet{});
    }

    // The program lists every device of every class; a set of one class stays
    // empty here.
    Handle SetupDiGetClassDevsExW(const Guid* /*classGuid*/, std::uint32_t flags) override {
        if (auto error = s_.check("SetupDiGetClassDevsExW")) {
            return kInvalidHandle;
        }
        SimDeviceSet set;
        for (const SimDevice& device : s_.devices) {
            if ((flags & kDigcfAllClasses) != 0 && (device.present || (flags & kDigcfPresent) == 0)) {
                set.push_back(SimElement{.devInst = s_.nextDevInst++,
                                         .instanceId = device.instanceId,
                                         .classGuid = device.classGuid,
                                         .registered = true});
            }
        }
        return newSet(std::move(set));
    }

    bool SetupDiDestroyDeviceInfoList(Handle deviceInfoSet) override {
        return s_.release(deviceInfoSet, {Kind::DeviceSet}, "SetupDiDestroyDeviceInfoList") == kErrorSuccess;
    }

    bool SetupDiCreateDeviceInfoW(Handle deviceInfoSet, const std::wstring& deviceName, const Guid& classGuid,
                                  std::uint32_t creationFlags, DeviceElement& element) override {
        SimDeviceSet* set = setFor("SetupDiCreateDeviceInfoW", deviceInfoSet, element);
        if (set == nullptr) {
            return false;
        }
        std::wstring instanceId;
        auto exists = [&](const std::wstring& id) {
            return s_.deviceOf(id) != nullptr || std::ranges::any_of(*set, [&](const SimElement& e) {
                       return equalsIgnoringAsciiCase(e.instanceId, id);
                   });
        };
        if ((creationFlags & kDicdGenerateId) != 0) {
            if (deviceName.empty() || deviceName.find(L'\\') != std::wstring::npos) {
                return s_.fail(kErrorInvalidDevinstName);
            }
            // The first free one of ROOT\<NAME>\0000, ROOT\<NAME>\0001 and so on.
            for (unsigned n = 0; n == 0 || exists(instanceId); ++n) {
                const std::wstring number = std::to_wstring(n);
                instanceId = L"ROOT\\" + asciiUpper(deviceName) + L"\\" +
                             std::wstring(4 - std::min<std::size_t>(4, number.size()), L'0') + number;
            }
        } else {
            if (std::count(deviceName.begin(), deviceName.end(), L'\\') != 2) {
                return s_.fail(kErrorInvalidDevinstName);
            }
            if (exists(deviceName)) {
                return s_.fail(kErrorDevinstAlreadyExists);
            }
            instanceId = deviceName;
        }
        set->push_back(
            SimElement{.devInst = s_.nextDevInst++, .instanceId = instanceId, .classGuid = classGuid});
        element = DeviceElement{.classGuid = classGuid, .devInst = set->back().devInst};
        return true;
    }

    bool SetupDiEnumDeviceInfo(Handle deviceInfoSet, std::uint32_t memberIndex,
                               DeviceElement& element) override {
        const SimDeviceSet* set = setFor("SetupDiEnumDeviceInfo", deviceInfoSet, element);
        if (set == nullptr) {
            return false;
        }
        if (memberIndex >= set->size()) {
            return s_.fail(kErrorNoMoreItems);
        }
        const SimElement& found = (*set)[memberIndex];
        element = DeviceElement{.classGuid = found.classGuid,
                                .devInst = found.devInst,
                                .reserved = std::uint64_t{memberIndex} + 1};
        return true;
    }

    bool SetupDiDeleteDeviceInfo(Handle deviceInfoSet, const DeviceElement& element) override {
        SimDeviceSet* set = s_.objectOf<SimDeviceSet>(deviceInfoSet, Kind::DeviceSet).get();
        if (elementOf("SetupDiDeleteDeviceInfo", deviceInfoSet, element) == nullptr) {
            return false;
        }
        std::erase_if(*set, [&](const SimElement& e) { return e.devInst == element.devInst; });
        return true;
    }

    bool SetupDiGetDeviceInstanceIdW(Handle deviceInfoSet, const DeviceElement& element,
                                     std::wstring& instanceId, std::uint32_t capacity,
                                     std::uint32_t* requiredSize) override {
        const SimElement* found = elementOf("SetupDiGetDeviceInstanceIdW", deviceInfoSet, element);
        if (found == nullptr) {
            return false;
        }
        const bool fits = found->instanceId.size() < capacity;
        setIfGiven(requiredSize, static_cast<std::uint32_t>(found->instanceId.size() + 1));
        instanceId = fits ? found->instanceId : instanceId;
        return fits || s_.fail(kErrorInsufficientBuffer);
    }

    bool SetupDiSetDeviceRegistryPropertyW(Handle deviceInfoSet, const DeviceElement& element,
                                           std::uint32_t property, const RegData& value,
                                           std::uint32_t byteCount) override {
        SimElement* found = elementOf("SetupDiSetDeviceRegistryPropertyW", deviceInfoSet, element,
                                      property == kSpdrpHardwareId ? kErrorSuccess : kErrorInvalidParameter);
        if (found == nullptr) {
            return false;
        }
        RegData stored = value;
        stored.bytes.resize(byteCount, 0);
        const std::vector<std::wstring> ids = stored.multiStrings();
        // The byte count ends with the list's two NULs (an empty list has two
        // of its own); the platform would keep a malformed one as it came.
        if (byteCount != std::max<std::size_t>(multiString(ids).bytes.size(), 4)) {
            return s_.fail(kErrorInvalidData);
        }
        idsOf(*found) = ids;
        return true;
    }

    bool SetupDiGetDeviceRegistryPropertyW(Handle deviceInfoSet, const DeviceElement& element,
                                           std::uint32_t property, std::uint32_t* propertyRegDataType,
                                           RegData* buffer, std::uint32_t bufferSize,
                                           std::uint32_t* requiredSize) override {
        SimElement* found = elementOf("SetupDiGetDeviceRegistryPropertyW", deviceInfoSet, element,
                                      property == kSpdrpHardwareId ? kErrorSuccess : kErrorInvalidParameter);
        if (found == nullptr) {
            return false;
        }
        const bool gone = found->registered && s_.deviceOf(found->instanceId) == nullptr;
        const std::optional<std::vector<std::wstring>>& ids = idsOf(*found);
        if (gone || !ids) {
            return s_.fail(gone ? kErrorNoSuchDevinst : kErrorInvalidData);
        }
        const RegData value = multiString(*ids);
        const auto needed = static_cast<std::uint32_t>(value.bytes.size());
        setIfGiven(requiredSize, needed);
        setIfGiven(propertyRegDataType, kRegMultiSz);
        if (buffer == nullptr || bufferSize < needed) {
            return s_.fail(kErrorInsufficientBuffer);
        }
        *buffer = value;
        return true;
    }

    bool SetupDiGetDeviceInstallParamsW(Handle deviceInfoSet, const DeviceElement& element,
                                        DeviceInstallParams& params) override {
        const SimElement* found = elementOf("SetupDiGetDeviceInstallParamsW", deviceInfoSet, element,
                                            sized(params.cbSize == kSizeOfDevInstallParams));
        params = found != nullptr ? found->params : params;
        return found != nullptr;
    }

    bool SetupDiSetDeviceInstallParamsW(Handle deviceInfoSet, const DeviceElement& element,
                                        const DeviceInstallParams& params) override {
        SimElement* found = elementOf("SetupDiSetDeviceInstallParamsW", deviceInfoSet, element,
                                      sized(params.cbSize == kSizeOfDevInstallParams));
        if (found == nullptr) {
            return false;
        }
        found->params = params;
        return true;
    }

    bool SetupDiSetClassInstallParamsW(Handle deviceInfoSet, const DeviceElement& element,
                                       const RemoveDeviceParams& params, std::uint32_t paramsSize) override {
        const bool sized = params.headerSize == 8 && paramsSize == kSizeOfRemoveDeviceParams;
        SimElement* found = elementOf("SetupDiSetClassInstallParamsW", deviceInfoSet, element,
                                      sized ? kErrorSuccess : kErrorInvalidParameter);
        if (found == nullptr) {
            return false;
        }
        found->classInstallParams = params;
        return true;
    }

    bool SetupDiCallClassInstaller(std::uint32_t installFunction, Handle deviceInfoSet,
                                   const DeviceElement& element) override {
        SimElement* found = elementOf("SetupDiCallClassInstaller", deviceInfoSet, element);
        if (found == nullptr) {
            return false;
        }
        if (installFunction == kDifRegisterDevice) {
            if (found->registered || s_.deviceOf(found->instanceId) != nullptr) {
                return s_.fail(kErrorDevinstAlreadyExists);
            }
            s_.devices.push_back(SimDevice{found->instanceId, found->classGuid, found->hardwareIds, true, 0,
                                           L"", found->params.flags});
            found->registered = true;
            return true;
        }
        if (installFunction == kDifRemove) {
            const SimDevice* device = found->registered ? s_.deviceOf(found->instanceId) : nullptr;
            if (device == nullptr) {
                return s_.fail(kErrorNoSuchDevinst);
            }
            found->params.flags |= device->removalFlags;
            if (found->classInstallParams && found->classInstallParams->scope != kDiRemoveDeviceGlobal) {
                return true; // gone from one hardware profile only
            }
            s_.devices.erase(s_.devices.begin() + (device - s_.devices.data()));
            return true;
        }
        return s_.fail(kErrorDiDoDefault);
    }

    bool SetupDiBuildDriverInfoList(Handle deviceInfoSet, const DeviceElement& element,
                                    std::uint32_t /*driverType*/) override {
        SimElement* found = elementOf("SetupDiBuildDriverInfoList", deviceInfoSet, element);
        if (found == nullptr) {
            return false;
        }
        const std::vector<std::wstring> ids = idsOf(*found).value_or(std::vector<std::wstring>{});
        found->drivers.clear();
        for (const SimPackage& package : s_.driverStore) {
            const Guid* named = classNamed(package.inf.className);
            if ((found->params.flagsEx & kDiFlagsExUseClassForCompat) != 0 &&
                (named == nullptr || !(*named == found->classGuid))) {
                continue;
            }
            for (const SimInfModel& model : package.inf.models) {
                const bool compatible = std::ranges::any_of(
                    model.ids, [&](const std::wstring& offered) { return holdsId(ids, offered); });
                if (compatible) {
                    found->drivers.push_back(SimDriverNode{s_.nextDevInst++, package.oemName, model,
                                                           package.inf.driverDate,
                                                           package.inf.driverVersion});
                }
            }
        }
        return true;
    }

    bool SetupDiEnumDriverInfoW(Handle deviceInfoSet, const DeviceElement& element, std::uint32_t driverType,
                                std::uint32_t memberIndex, DriverInfo& driverInfo) override {
        const SimElement* found = elementOf("SetupDiEnumDriverInfoW", deviceInfoSet, element,
                                            sized(driverInfo.cbSize == kSizeOfDrvInfoDataV2));
        if (found == nullptr) {
            return false;
        }
        if (memberIndex >= found->drivers.size()) {
            return s_.fail(kErrorNoMoreItems);
        }
        const SimDriverNode& node = found->drivers[memberIndex];
        driverInfo = DriverInfo{.driverType = driverType,
                                .reserved = node.id,
                                .driverDate = node.date,
                                .driverVersion = node.version};
        setText(driverInfo.description, node.model.description);
        setText(driverInfo.mfgName, L"Tavrin Secure");
        setText(driverInfo.providerName, L"Tavrin Secure");
        return true;
    }

    bool SetupDiGetDriverInfoDetailW(Handle deviceInfoSet, const DeviceElement& element,
                                     const DriverInfo& driverInfo, DriverInfoDetail& detail,
                                     std::uint32_t detailSize, std::uint32_t* requiredSize) override {
        const SimElement* found = elementOf("SetupDiGetDriverInfoDetailW", deviceInfoSet, element,
                                            sized(driverInfo.cbSize == kSizeOfDrvInfoDataV2 &&
                                                  detail.cbSize == kSizeOfDrvInfoDetailData &&
                                                  detailSize <= kSizeOfDrvInfoDetailData));
        if (found == nullptr) {
            return false;
        }
        const auto node = std::ranges::find(found->drivers, driverInfo.reserved, &SimDriverNode::id);
        if (node == found->drivers.end()) {
            return s_.fail(kErrorInvalidParameter);
        }
        const auto needed =
            static_cast<std::uint32_t>(kDetailFixedBytes + multiString(node->model.ids).bytes.size());
        setIfGiven(requiredSize, needed);
        if (detailSize < kDetailFixedBytes) {
            return s_.fail(kErrorInsufficientBuffer); // not even the fixed part: nothing filled in
        }
        detail = DriverInfoDetail{.infDate = {static_cast<std::uint32_t>(node->date),
                                              static_cast<std::uint32_t>(node->date >> 32U)}};
        setText(detail.sectionName, node->model.section);
        setText(detail.infFileName, s_.detailInfFolder + node->oemName);
        setText(detail.drvDescription, node->model.description);
        if (detailSize < needed) {
            return s_.fail(kErrorInsufficientBuffer);
        }
        setText(detail.hardwareId, node->model.ids.empty() ? L"" : node->model.ids.front());
        return true;
    }

    void InstallHinfSectionW(const std::wstring& commandLine, int /*showCommand*/) override {
        if (auto error = s_.check("InstallHinfSectionW")) {
            return; // the call reports nothing, failure included
        }
        s_.sectionsRun.push_back(commandLine);
        // "<section> <mode> <path>": the path is the rest of the line, spaces included.
        const std::size_t first = commandLine.find(L' ');
        const std::size_t second = first == std::wstring::npos ? first : commandLine.find(L' ', first + 1);
        const std::optional<std::string> content =
            second == std::wstring::npos
                ? std::nullopt
                : readHostFile(mapToHost(s_.root, std::wstring_view(commandLine).substr(second + 1)));
        // Without an INF to read, the real call would tell an invisible user.
        if (content) {
            runInfSection(s_, SimInf::parse(*content), asciiUpper(commandLine.substr(0, first)));
        }
    }

private:
    // The set of a call on one element, or null with the platform's error left
    // as the last error. Counts a use of `call` first: null when that use fails.
    SimDeviceSet* setFor(std::string_view call, Handle deviceInfoSet, const DeviceElement& element) {
        const HandleEntry* entry = s_.entryFor(call, deviceInfoSet, Kind::DeviceSet);
        if (entry == nullptr || element.cbSize != kSizeOfDevInfoData) {
            return entry == nullptr ? nullptr : s_.fail(kErrorInvalidUserBuffer, nullptr);
        }
        return static_cast<SimDeviceSet*>(entry->object.get());
    }

    // As setFor, and null when the element is unknown. `refused`: the call's
    // refusal of its other arguments (a record of another size, a property
    // not modelled), ERROR_SUCCESS when none.
    SimElement* elementOf(std::string_view call, Handle deviceInfoSet, const DeviceElement& element,
                          std::uint32_t refused = kErrorSuccess) {
        SimDeviceSet* set = setFor(call, deviceInfoSet, element);
        if (set == nullptr || refused != kErrorSuccess) {
            return set == nullptr ? nullptr : s_.fail(refused, nullptr);
        }
        const auto found = std::ranges::find(*set, element.devInst, &SimElement::devInst);
        return found != set->end() ? &*found : s_.fail(kErrorInvalidParameter, nullptr);
    }

    // Where an element's hardware ids are kept: with its device node once
    // registered, while that node is there.
    std::optional<std::vector<std::wstring>>& idsOf(SimElement& element) {
        SimDevice* device = element.registered ? s_.deviceOf(element.instanceId) : nullptr;
        return device == nullptr ? element.hardwareIds : device->hardwareIds;
    }

    // The refusal of records whose size fields are not their own.
    static std::uint32_t sized(bool own) { return own ? kErrorSuccess : kErrorInvalidUserBuffer; }

    Handle newSet(SimDeviceSet set) {
        return s_.addHandle(
            {.kind = Kind::DeviceSet, .object = std::make_shared<SimDeviceSet>(std::move(set))});
    }

    SimState& s_;
};

std::unique_ptr<IDeviceSetup> makeDeviceSetup(SimState& state) {
    return std::make_unique<SimDeviceSetup>(state);
}

} // namespace tdu::platform::sim
