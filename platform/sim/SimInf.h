// Just enough of the INF format for the simulated driver store: the class,
// the DriverVer line, the catalog, and the hardware ids the models declare.
#pragma once

#include <string>
#include <vector>

namespace tdu::platform::sim {

struct SimInfModel {
    std::wstring description;
    std::wstring section;
    std::vector<std::wstring> ids;
};

struct SimInf {
    std::wstring className;
    std::wstring driverDate;    // "05/07/2021"
    std::wstring driverVersion; // "1.2.3.4"
    std::wstring catalogFile;
    std::vector<std::wstring> hardwareIds; // in the order the models list them
    std::vector<SimInfModel> models;       // one driver node each

    static SimInf parse(const std::string& text);
    [[nodiscard]] bool declares(const std::wstring& hardwareId) const;
};

} // namespace tdu::platform::sim
