// Just enough of the INF format for the simulated driver store: the class,
// the DriverVer line, the models with their hardware ids, and the raw
// sections for the section runner.
#pragma once

#include <cstdint>
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
    std::uint64_t driverDate = 0;    // DriverVer's "05/07/2021" as a FILETIME
    std::uint64_t driverVersion = 0; // and its "1.2.3.4" as the platform packs it
    std::vector<SimInfModel> models; // one driver node each
    // Every section's lines by upper-cased name: (key, value), the key empty
    // for a line without "=".
    std::map<std::wstring, std::vector<std::pair<std::wstring, std::wstring>>> sections;

    static SimInf parse(const std::string& text);
    // A line's comma-separated fields (or those `separator` separates), trimmed and unquoted.
    static std::vector<std::wstring> fields(const std::wstring& text, wchar_t separator = L',');
};

} // namespace tdu::platform::sim
