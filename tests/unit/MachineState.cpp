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

// Each package in the store: its name there, and "<the INF it came from>".
std::vector<std::pair<std::string, std::string>> storeNames(const SimMachine& machine) {
    std::vector<std::pair<std::string, std::string>> names;
    for (const std::wstring& name : machine.publishedPackages()) {
        std::string source = "?";
        for (const auto& [published, from] : machine.publications()) {
            source = published == name ? narrow(from) : source;
        }
        // Its folder and file name: the adapter's two flavours have one file name.
        const std::size_t file = source.find_last_of('\\');
        const std::size_t folder = file == std::string::npos || file == 0 ? 0 : source.rfind('\\', file - 1);
        names.emplace_back(narrow(name),
                           "<" + source.substr(folder == std::string::npos ? 0 : folder + 1) + ">");
    }
    return names;
}

std::string storeNamesAsSources(const std::vector<std::pair<std::string, std::string>>& names,
                                std::string line) {
    for (const auto& [oem, shown] : names) {
        for (auto at = line.find(oem); at != std::string::npos; at = line.find(oem, at + shown.size())) {
            line.replace(at, oem.size(), shown);
        }
    }
    return line;
}

} // namespace

std::vector<std::string> machineState(SimMachine& machine, bool contents) {
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
        // The path below the drive, spelled as found: relative() would resolve links.
        const std::string path = it->path().generic_string().substr(drive.generic_string().size());
        if (it->is_directory()) {
            lines.push_back("folder " + path);
        } else if (it->path() != log && contents) {
            const std::string bytes = platform::sim::readHostFile(it->path()).value_or("");
            lines.push_back("file " + path + " " + std::to_string(bytes.size()) + " bytes #" +
                            std::to_string(std::hash<std::string>{}(bytes)));
        } else if (it->path() != log) {
            lines.push_back("file " + path + " " + std::to_string(it->file_size(ec)) + " bytes, written " +
                            std::to_string(it->last_write_time(ec).time_since_epoch().count()));
        }
    }
    std::ranges::transform(lines, lines.begin(), [names = storeNames(machine)](const std::string& line) {
        return storeNamesAsSources(names, line);
    });
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
