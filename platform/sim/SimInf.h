// Just enough of the INF format for the simulated driver store: the class,
// the DriverVer line, the models with their hardware ids, and the raw
// sections for the section runner.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tdu::platform::sim {

// Whether `ids` holds `id`, compared as Windows compares hardware ids: ignoring case.
bool holdsId(const std::vector<std::wstring>& ids, std::wstring_view id);

struct SimInfModel {
    std::wstring description;
    std::wstring section;
    std::vector<std::wstring> ids;
};

struct SimInf {
    std::wstring className;
    std::wstring driverDate;         // "05/07/2021"
    std::wstring driverVersion;      // "1.2.3.4"
    std::vector<SimInfModel> models; // one driver node each
    // Every section's lines by upper-cased name: (key, value), the key empty
    // for a line without "=".
    std::map<std::wstring, std::vector<std::pair<std::wstring, std::wstring>>> sections;

    static SimInf parse(const std::string& text);
    [[nodiscard]] bool declares(const std::wstring& hardwareId) const;
    // A line's comma-separated fields, trimmed and unquoted.
    static std::vector<std::wstring> fields(const std::wstring& text);
};

} // namespace tdu::platform::sim
