#include "platform/sim/SimInf.h"

#include "platform/WideText.h"

#include <algorithm>
#include <chrono>
#include <cwchar>
#include <sstream>

namespace tdu::platform::sim {

namespace {

std::wstring trim(const std::wstring& text) {
    const auto first = text.find_first_not_of(L" \t\r");
    std::wstring out =
        first == std::wstring::npos ? L"" : text.substr(first, text.find_last_not_of(L" \t\r") - first + 1);
    if (out.size() >= 2 && out.front() == L'"' && out.back() == L'"') {
        out = out.substr(1, out.size() - 2);
    }
    return out;
}

// A DriverVer date, "mm/dd/yyyy", as a FILETIME (100 ns since 1601).
std::uint64_t fileTimeOf(const std::wstring& date) {
    unsigned month = 0;
    unsigned day = 0;
    int year = 0;
    if (std::swscanf(date.c_str(), L"%u/%u/%d", &month, &day, &year) != 3) {
        return 0;
    }
    using namespace std::chrono;
    const sys_days when{std::chrono::year{year} / std::chrono::month{month} / std::chrono::day{day}};
    const sys_days epoch{std::chrono::year{1601} / January / 1};
    return static_cast<std::uint64_t>((when - epoch).count()) * 864'000'000'000ULL;
}

// A DriverVer version, "a.b.c.d", as the platform's 64-bit number.
std::uint64_t versionOf(const std::wstring& version) {
    unsigned parts[4] = {0, 0, 0, 0};
    // Missing parts stay 0, as the platform reads a short version.
    (void)std::swscanf(version.c_str(), L"%u.%u.%u.%u", &parts[0], &parts[1], &parts[2], &parts[3]);
    std::uint64_t packed = 0;
    for (const unsigned part : parts) {
        packed = (packed << 16U) | (part & 0xFFFFU);
    }
    return packed;
}

} // namespace

std::vector<std::wstring> SimInf::fields(const std::wstring& text, wchar_t separator) {
    std::vector<std::wstring> fields;
    for (std::size_t at = 0;;) {
        const std::size_t comma = text.find(separator, at);
        fields.push_back(trim(text.substr(at, comma == std::wstring::npos ? comma : comma - at)));
        if (comma == std::wstring::npos) {
            return fields;
        }
        at = comma + 1;
    }
}

SimInf SimInf::parse(const std::string& text) {
    SimInf inf;
    auto& sections = inf.sections;
    std::wstring current;
    std::istringstream lines(text);
    std::string raw;
    while (std::getline(lines, raw)) {
        std::wstring line(raw.begin(), raw.end());
        if (const auto comment = line.find(L';'); comment != std::wstring::npos) {
            line.resize(comment);
        }
        line = trim(line);
        if (line.empty()) {
            continue;
        }
        if (line.front() == L'[' && line.back() == L']') {
            current = asciiUpper(trim(line.substr(1, line.size() - 2)));
            sections[current];
            continue;
        }
        // Without "=", the key is empty and the value is the whole line (npos + 1 is 0).
        const auto equals = line.find(L'=');
        sections[current].emplace_back(equals == std::wstring::npos ? L"" : trim(line.substr(0, equals)),
                                       trim(line.substr(equals + 1)));
    }

    for (const auto& [key, value] : sections[L"VERSION"]) {
        const std::vector<std::wstring> parts = fields(value);
        inf.className = equalsIgnoringAsciiCase(key, L"CLASS") ? value : inf.className;
        if (equalsIgnoringAsciiCase(key, L"DRIVERVER")) {
            inf.driverDate = fileTimeOf(parts[0]);
            inf.driverVersion = versionOf(parts.size() > 1 ? parts[1] : L"");
        }
    }
    for (const auto& [key, value] : sections[L"MANUFACTURER"]) {
        const std::vector<std::wstring> decorations = fields(value);
        // The models' section, then one for each decoration.
        for (std::size_t i = 0; i < decorations.size(); ++i) {
            const std::wstring models = i == 0 ? decorations[0] : decorations[0] + L"." + decorations[i];
            for (const auto& [description, line] : sections[asciiUpper(models)]) {
                const std::vector<std::wstring> row = fields(line);
                SimInfModel model{description, row[0], {}};
                std::copy_if(row.begin() + 1, row.end(), std::back_inserter(model.ids),
                             [](const std::wstring& id) { return !id.empty(); });
                inf.models.push_back(model);
            }
        }
    }
    return inf;
}

bool holdsId(const std::vector<std::wstring>& ids, std::wstring_view id) {
    return std::ranges::any_of(ids,
                               [&](const std::wstring& held) { return equalsIgnoringAsciiCase(held, id); });
}

} // namespace tdu::platform::sim
