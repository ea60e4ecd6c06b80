#include "tests/unit/MachineState.h"

#include "platform/sim/SimNetConfig.h"
#include "platform/sim/SimServices.h"
#include "tests/unit/SimTest.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <sstream>

namespace tdu::test {

using platform::sim::narrow;
using platform::sim::SimMachine;

namespace {

// Every "oemN.inf" of a package in the store replaced by "<the INF it came from>".
std::string storeNamesAsSources(const SimMachine& machine, std::string line) {
    for (const std::wstring& name : machine.publishedPackages()) {
        std::string source = "?";
        for (const auto& [published, from] : machine.publications()) {
            source = published == name ? narrow(from) : source;
        }
        const std::string oem = narrow(name);
        const std::string shown = "<" + source.substr(source.find_last_of('\\') + 1) + ">";
        for (auto at = line.find(oem); at != std::string::npos; at = line.find(oem, at + shown.size())) {
            line.replace(at, oem.size(), shown);
        }
    }
    return line;
}

} // namespace

std::vector<std::string> machineState(SimMachine& machine) {
    std::vector<std::string> lines;
    for (const std::wstring& name : machine.publishedPackages()) {
        lines.push_back("package " + narrow(name));
    }
    for (const platform::sim::SimDevice& device : machine.devices()) {
        std::ostringstream line;
        line << "device " << narrow(device.instanceId) << " ids=";
        for (const std::wstring& id : device.hardwareIds.value_or(std::vector<std::wstring>{})) {
            line << narrow(id) << ",";
        }
        line << " inf=" << narrow(device.driverInf) << " present=" << device.present << " flags=" << std::hex
             << device.installFlags << " removal=" << device.removalFlags;
        lines.push_back(line.str());
    }
    auto& services = machine.services();
    for (const std::wstring& name : services.names()) {
        lines.push_back("service " + narrow(name) + " state=" + std::to_string(services.state(name)) +
                        (services.markedForDelete(name) ? " marked for deletion" : ""));
    }
    for (const std::wstring& id : machine.netConfig().componentIds()) {
        lines.push_back("net " + narrow(id));
    }
    for (const std::string& line : machine.registryLines()) {
        lines.push_back("registry " + line);
    }
    for (const std::wstring& name : machine.namedObjects()) {
        lines.push_back("object " + narrow(name));
    }
    const std::filesystem::path drive = machine.hostPath(L"C:\\");
    const std::filesystem::path log = machine.hostPath(kLogPath);
    std::error_code ec;
    for (std::filesystem::recursive_directory_iterator it(drive, ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string path = std::filesystem::relative(it->path(), drive).generic_string();
        if (it->is_directory()) {
            lines.push_back("folder " + path);
        } else if (it->path() != log) {
            const std::string bytes = platform::sim::readHostFile(it->path()).value_or("");
            lines.push_back("file " + path + " " + std::to_string(bytes.size()) + " bytes #" +
                            std::to_string(std::hash<std::string>{}(bytes)));
        }
    }
    std::ranges::transform(lines, lines.begin(),
                           [&](const std::string& line) { return storeNamesAsSources(machine, line); });
    std::ranges::sort(lines);
    return lines;
}

std::string stateDiff(const std::vector<std::string>& expected, const std::vector<std::string>& actual) {
    std::vector<std::string> missing;
    std::vector<std::string> extra;
    std::ranges::set_difference(expected, actual, std::back_inserter(missing));
    std::ranges::set_difference(actual, expected, std::back_inserter(extra));
    std::string diff;
    for (const std::string& line : missing) {
        diff += "- " + line + "\n";
    }
    for (const std::string& line : extra) {
        diff += "+ " + line + "\n";
    }
    return diff;
}

std::string lastRun(const std::string& logBytes) {
    const std::size_t banner = logBytes.rfind("\r\n\r\n\r\n" + std::string(96, '*'));
    return banner == std::string::npos ? logBytes : logBytes.substr(banner);
}

} // namespace tdu::test
