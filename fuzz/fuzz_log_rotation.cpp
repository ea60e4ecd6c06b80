// The log writer's path and rotation on the simulated machine's files: the
// value of %PUBLIC%, the local time, a log already around the rotation
// threshold, backups already there, failures of the file calls, and a few
// lines written at fuzzed moments.
//
// Checked: no exception leaves the writer, nothing is left open, a backup
// already there is only ever replaced by a rotation in its own second, the
// old log survives (in the log or a backup) when no two lines share a second,
// and without failures the log ends within one entry of the threshold.
#include "fuzz/FuzzSupport.h"
#include "log/LogWriter.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <exception>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <vector>

namespace {

using tdu::fuzz::check;
using tdu::platform::LocalTime;
using tdu::platform::sim::SimMachine;

constexpr wchar_t kPublic[] = L"C:\\Users\\Public";
constexpr wchar_t kBelowPublic[] = L"\\Tavrin Secure\\Logging";
constexpr std::size_t kMaxEntryBytes = 4096; // a cut message with every unit doubled, and its header
constexpr std::string_view kOldLogMark = "OLD LOG, FIRST LINE\r\n";

// The calls a line goes through that may fail.
constexpr std::array<const char*, 8> kFailable{
    "ExpandEnvironmentStringsW", "exists",           "file_size",   "rename",
    "CreateDirectoryW",          "OpenAppendStream", "WriteStream", "K32GetModuleFileNameExW",
};
constexpr std::array<std::uint32_t, 4> kErrors{5, 32, 2, 3}; // access denied, sharing, not found, path

std::wstring fuzzedText(FuzzedDataProvider& input, std::size_t maxBytes) {
    const std::string bytes = input.ConsumeRandomLengthString(maxBytes);
    return tdu::fuzz::wideFrom(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

// %PUBLIC% as the run finds it: nullopt when it is not set.
std::optional<std::wstring> publicFolderChoice(FuzzedDataProvider& input) {
    switch (input.ConsumeIntegralInRange(0, 6)) {
    case 0:
        return std::nullopt;
    case 1:
        return fuzzedText(input, 300);
    case 2:
        return kPublic + fuzzedText(input, 40);
    case 3: // the log folder around the 260-character path buffer
        return L"C:\\" + std::wstring(input.ConsumeIntegralInRange<std::size_t>(200, 240), L'p');
    case 4:
        return L"%WINDIR%\\" + fuzzedText(input, 20);
    case 5:
        return L"\\\\server\\share\\" + fuzzedText(input, 20);
    default:
        return std::wstring(kPublic);
    }
}

std::optional<std::wstring> publicFolder(FuzzedDataProvider& input) {
    std::optional<std::wstring> value = publicFolderChoice(input);
    if (value) {
        std::erase(*value, L'\0'); // an environment value ends at its first NUL
    }
    return value;
}

LocalTime startTime(FuzzedDataProvider& input) {
    LocalTime t;
    t.year = input.ConsumeIntegralInRange<std::uint16_t>(1601, 9999);
    t.month = input.ConsumeIntegralInRange<std::uint16_t>(1, 12);
    t.day = input.ConsumeIntegralInRange<std::uint16_t>(1, 28);
    t.hour = input.ConsumeIntegralInRange<std::uint16_t>(0, 23);
    t.minute = input.ConsumeIntegralInRange<std::uint16_t>(0, 59);
    t.second = input.ConsumeIntegralInRange<std::uint16_t>(0, 59);
    t.milliseconds = input.ConsumeIntegralInRange<std::uint16_t>(0, 999);
    return t;
}

// The local time `ms` after `start`.

// The name rotation gives the log at this moment.
std::wstring backupName(const LocalTime& t) {
    wchar_t name[64] = {};
    const int length = std::swprintf(name, 64, L"BK_%04d%02d%02d_%02d%02d%02d_", t.year, t.month, t.day,
                                     t.hour, t.minute, t.second);
    check(length > 0, "the backup name fits its buffer");
    return name + std::wstring(tdu::log::kLogFileName);
}

// The first bytes of a file: an old log may be megabytes long.
std::string startOf(const std::filesystem::path& path, std::size_t count) {
    std::string bytes(count, '\0');
    std::ifstream in(path, std::ios::binary);
    in.read(bytes.data(), static_cast<std::streamsize>(count));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

struct Line {
    bool banner = false;
    std::uint32_t afterMs = 0; // since the line before
    std::wstring message;
};

struct Backup {
    std::wstring name;
    std::string content;
};

struct EarlierRun {
    bool oldLog = false;
    std::vector<Backup> backups;
};

// What an earlier run may have left: the folders, a log, backups named for a
// line's own second or for another day.
EarlierRun leaveEarlierRun(SimMachine& machine, FuzzedDataProvider& input, const std::wstring& folder,
                           const std::set<std::wstring>& lineSeconds) {
    EarlierRun earlier;
    earlier.oldLog = input.ConsumeBool();
    if (input.ConsumeBool() || earlier.oldLog) {
        machine.createDirectories(folder);
    }
    if (earlier.oldLog) {
        const std::wstring logPath = folder + L"\\" + tdu::log::kLogFileName;
        const std::uint64_t oldSize =
            input.ConsumeBool()
                ? tdu::log::kRotationThreshold - 2048 + input.ConsumeIntegralInRange<std::uint64_t>(0, 4096)
                : input.ConsumeIntegralInRange<std::uint64_t>(kOldLogMark.size(), 4096);
        machine.writeFile(logPath, std::string(kOldLogMark));
        std::filesystem::resize_file(machine.hostPath(logPath), oldSize); // sparse: no time
    }
    earlier.backups.resize(input.ConsumeIntegralInRange<std::size_t>(0, 3));
    for (std::size_t i = 0; i < earlier.backups.size(); ++i) {
        Backup& backup = earlier.backups[i];
        const auto pick = input.ConsumeIntegralInRange<std::size_t>(0, lineSeconds.size());
        backup.name = pick < lineSeconds.size()
                          ? *std::next(lineSeconds.begin(), static_cast<std::ptrdiff_t>(pick))
                          : L"BK_20250101_00000" + std::to_wstring(i) + L"_" + tdu::log::kLogFileName;
        backup.content = "backup " + std::to_string(i);
        machine.createDirectories(folder);
        machine.writeFile(folder + L"\\" + backup.name, backup.content);
    }
    return earlier;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    tdu::fuzz::BoundMachine bound;
    SimMachine& machine = bound.machine;

    const std::optional<std::wstring> publicValue = publicFolder(input);
    if (publicValue) {
        machine.setEnvironment(L"PUBLIC", *publicValue);
    } else {
        machine.removeEnvironment(L"PUBLIC");
    }
    // Expansion leaves an unknown variable as written, so this is the folder
    // the writer uses whatever the value.
    const std::wstring folder = publicValue.value_or(L"%PUBLIC%") + kBelowPublic;
    const std::wstring logPath = folder + L"\\" + tdu::log::kLogFileName;
    const bool folderFitsBuffer = folder.size() + 2 <= tdu::platform::kMaxPath;
    const LocalTime start = startTime(input);
    machine.setLocalTime(start);

    std::vector<Line> lines(input.ConsumeIntegralInRange(1U, 6U));
    std::uint64_t elapsed = 0;
    std::set<std::wstring> lineSeconds;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        Line& line = lines[i];
        line.banner = input.ConsumeBool();
        line.afterMs = i == 0 ? 0 : input.ConsumeIntegralInRange(0U, 2500U);
        line.message =
            std::wstring(input.ConsumeIntegralInRange<std::size_t>(0, 1100), L'm') + fuzzedText(input, 64);
        elapsed += line.afterMs;
        lineSeconds.insert(backupName(tdu::platform::sim::SimMachine::localTimeAfter(start, elapsed)));
    }

    // The host may refuse a name Windows takes (its names are at most 255
    // bytes, and a character beyond ASCII takes seven); such a run is skipped.
    EarlierRun earlier;
    try {
        earlier = leaveEarlierRun(machine, input, folder, lineSeconds);
    } catch (const std::filesystem::filesystem_error&) {
        return -1;
    }
    const bool oldLog = earlier.oldLog;
    const std::vector<Backup>& backups = earlier.backups;

    bool faults = false;
    for (unsigned i = input.ConsumeIntegralInRange(0U, 3U); i > 0; --i) {
        faults = true;
        machine.failCall(input.PickValueInArray(kFailable), input.ConsumeIntegralInRange(0U, 4U),
                         input.PickValueInArray(kErrors));
    }

    try {
        elapsed = 0;
        for (const Line& line : lines) {
            machine.advance(line.afterMs);
            elapsed += line.afterMs;
            check(backupName(tdu::platform::sys().GetLocalTime()) ==
                      backupName(tdu::platform::sim::SimMachine::localTimeAfter(start, elapsed)),
                  "the fuzz target's clock agrees with the machine's");
            const std::array<tdu::log::FormatArg, 1> args{tdu::log::makeArg(line.message)};
            tdu::log::writeLogEntry(line.banner, tdu::log::kLogFileName, L"fuzz_log_rotation.cpp", 1,
                                    L"LLVMFuzzerTestOneInput", L"%s", args);
        }
    } catch (const std::exception& error) {
        tdu::fuzz::fail("no exception leaves the writer", error.what());
    }

    check(machine.openHandleCount() == 0, "the writer leaves nothing open", machine.openHandleReport());
    for (const Backup& backup : backups) {
        const std::filesystem::path host = machine.hostPath(folder + L"\\" + backup.name);
        std::error_code ec;
        const std::uintmax_t bytes = std::filesystem::file_size(host, ec);
        check(!ec, "a backup already there stays");
        const bool unchanged = bytes == backup.content.size() && startOf(host, bytes) == backup.content;
        check(unchanged || lineSeconds.contains(backup.name),
              "only a rotation in its own second replaces a backup");
    }
    if (oldLog && lineSeconds.size() == lines.size()) {
        bool kept = false;
        std::error_code ec;
        for (std::filesystem::directory_iterator it(machine.hostPath(folder), ec), end; !ec && it != end;
             it.increment(ec)) {
            kept = kept || startOf(it->path(), kOldLogMark.size()) == kOldLogMark;
        }
        check(kept, "rotation keeps the old log as a backup");
    }
    if (!faults && folderFitsBuffer) {
        std::error_code ec;
        const std::uintmax_t logSize = std::filesystem::file_size(machine.hostPath(logPath), ec);
        check(ec || logSize <= tdu::log::kRotationThreshold + kMaxEntryBytes,
              "the log ends within one entry of the threshold", std::to_string(logSize));
    }
    return 0;
}
