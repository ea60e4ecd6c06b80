// The log writer on the simulated machine's files, fed what it may meet: any
// value of %PUBLIC%, any local time, a log around the rotation threshold, and
// a few lines at fuzzed moments, each of any format text and arguments; from the second line
// on, failures of calls the lines before made, whichever calls the writer
// makes.
//
// Checked: no crash or sanitizer report, no exception leaves the writer
// (libFuzzer reports one as a crash), and nothing is left open. The exact texts and files are the unit
// tables'.
#include "fuzz/FuzzSupport.h"
#include "log/LogWriter.h"

#include <filesystem>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    tdu::test::FreshMachine fresh;
    tdu::platform::sim::SimMachine& machine = fresh.machine;
    std::wstring logPath = L"%PUBLIC%"; // expansion leaves an unknown variable as written
    if (const int choice = input.ConsumeIntegralInRange(0, 3); choice == 0) {
        machine.removeEnvironment(L"PUBLIC");
    } else { // any text, or a log folder around the 260-unit path buffer
        logPath = choice == 1   ? tdu::fuzz::wideText(input, 300)
                  : choice == 2 ? L"C:\\" + std::wstring(input.ConsumeIntegralInRange(200UL, 240UL), L'p')
                                : L"C:\\Users\\Public";
        std::erase(logPath, L'\0'); // an environment value ends at its first NUL
        machine.setEnvironment(L"PUBLIC", logPath);
    }
    logPath += L"\\Tavrin Secure\\Logging\\TavrinDriverUtil.log";
    machine.setLocalTime(tdu::platform::sim::SimMachine::localTimeAfter(
        {.year = 1601, .month = 1, .day = 1},
        input.ConsumeIntegralInRange<std::uint64_t>(0, 265'000'000'000'000)));
    try { // an old log, sparse; the host may refuse a name Windows takes
        if (input.ConsumeBool()) {
            machine.writeFile(logPath, "OLD LOG\r\n");
            std::filesystem::resize_file(machine.hostPath(logPath),
                                         tdu::log::kRotationThreshold - 4096 +
                                             input.ConsumeIntegralInRange(0UL, 6144UL));
        }
    } catch (const std::filesystem::filesystem_error&) {
        return -1;
    }
    for (unsigned line = input.ConsumeIntegralInRange(1U, 6U); line > 0; --line) {
        const std::vector<std::string>& trace = machine.callTrace();
        if (!trace.empty() && input.ConsumeBool()) {
            const std::string call = trace[input.ConsumeIntegralInRange<std::size_t>(0, trace.size() - 1)];
            const auto uses = static_cast<unsigned>(std::count(trace.begin(), trace.end(), call));
            machine.failCall(call, input.ConsumeBool() ? 0 : uses + input.ConsumeIntegralInRange(1U, 3U),
                             input.PickValueInArray({5U, 32U, 2U, 3U}));
        }
        const bool banner = input.ConsumeBool();
        const std::wstring format =
            input.ConsumeBool() ? L"[%s]" : tdu::fuzz::wideText(input, 64); // the common shape, or any
        std::array<tdu::log::FormatArg, 3> args{};
        std::array<std::wstring, 3> wide; // what the arguments view
        std::array<std::string, 3> narrow;
        for (std::size_t i = 0; i < args.size(); ++i) {
            args[i].kind = static_cast<tdu::log::ArgKind>(input.ConsumeIntegralInRange(0, 5));
            args[i].signedValue = input.ConsumeIntegral<std::int64_t>();
            args[i].unsignedValue = input.ConsumeIntegral<std::uint64_t>();
            args[i].wide = wide[i] = std::wstring(input.ConsumeIntegralInRange(0UL, 1100UL), L'm') +
                                     tdu::fuzz::wideText(input, 32);
            args[i].narrow = narrow[i] = input.ConsumeRandomLengthString(32);
        }
        tdu::log::writeLogEntry(banner, tdu::log::kLogFileName, L"C:\\src\\Unit.cpp",
                                input.ConsumeIntegral<int>(), L"F", format, args);
        machine.advance(input.ConsumeIntegralInRange(0U, 2500U));
    }
    tdu::log::resetLogPathCache(); // the folders are held for the process's life
    tdu::fuzz::check(machine.openHandleCount() == 0, "the writer leaves nothing open",
                     machine.openHandleReport());
    return 0;
}
