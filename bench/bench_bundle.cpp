// The bundle operations' own cost: install-all and uninstall-all against the
// simulated machine, whose platform calls cost next to nothing, so what is
// measured is the program's orchestration and its logging. The sample
// packages are laid out as the installer lays them out.
#include "log/LogWriter.h"
#include "operator/TDriverOperator.h"
#include "platform/sim/SimMachine.h"
#include "service/ServiceHandler.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

using tdu::platform::sim::SimMachine;

constexpr wchar_t kDrivers[] = L"C:\\Program Files (x86)\\Tavrin Secure\\TavrinDrivers\\x64Drivers\\";
constexpr wchar_t kLog[] = L"C:\\Users\\Public\\Tavrin Secure\\Logging\\TavrinDriverUtil.log";

// A machine bound as the platform, with the samples in the drivers folder.
class BenchMachine {
public:
    BenchMachine() {
        tdu::platform::bindPlatform(machine.platform());
        tdu::log::resetLogPathCache();
        machine.createDirectories(L"C:\\Users\\Public\\Tavrin Secure");
        const std::filesystem::path samples = std::filesystem::path(TDU_SAMPLES_DIR) / "x64Drivers";
        for (const auto& file : std::filesystem::recursive_directory_iterator(samples)) {
            if (!file.is_regular_file()) {
                continue;
            }
            std::ifstream in(file.path(), std::ios::binary);
            std::ostringstream bytes;
            bytes << in.rdbuf();
            const std::string relative = std::filesystem::relative(file.path(), samples).generic_string();
            std::wstring windowsPath(kDrivers);
            for (const char ch : relative) {
                windowsPath.push_back(ch == '/' ? L'\\' : static_cast<wchar_t>(ch));
            }
            machine.writeFile(windowsPath, bytes.str());
        }
    }
    ~BenchMachine() {
        ServiceHandler::getInstance().disconnect();
        tdu::log::resetLogPathCache(); // its folders are this machine's
    }
    BenchMachine(const BenchMachine&) = delete;
    BenchMachine& operator=(const BenchMachine&) = delete;

    std::size_t logLines() const {
        const std::string text = machine.readFile(kLog).value_or("");
        return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
    }

    SimMachine machine;
};

void reportLogRate(benchmark::State& state, std::size_t linesPerIteration) {
    state.counters["log_lines_per_op"] = static_cast<double>(linesPerIteration);
    state.counters["log_lines_per_s"] =
        benchmark::Counter(static_cast<double>(linesPerIteration) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate);
}

// One /installdrivers 1: the preliminary uninstall, the listings, the cache
// removal and the four components; the machine holds the previous install.
void BM_InstallAll(benchmark::State& state) {
    BenchMachine bench;
    TavrinDriverOperator op;
    const DriverOperation request;
    op.InstallTavrinDrivers(request, nullptr, nullptr);
    const std::size_t before = bench.logLines();
    op.InstallTavrinDrivers(request, nullptr, nullptr);
    const std::size_t perOperation = bench.logLines() - before;
    for (auto _ : state) {
        benchmark::DoNotOptimize(op.InstallTavrinDrivers(request, nullptr, nullptr));
    }
    reportLogRate(state, perOperation);
}
BENCHMARK(BM_InstallAll)->Unit(benchmark::kMicrosecond);

// One /uninstalldrivers 1 of a full install; the reinstall between two runs
// is not timed.
void BM_UninstallAll(benchmark::State& state) {
    BenchMachine bench;
    TavrinDriverOperator op;
    const DriverOperation request;
    op.InstallTavrinDrivers(request, nullptr, nullptr);
    const std::size_t before = bench.logLines();
    op.UnInstallTavrinDrivers(nullptr, nullptr);
    const std::size_t perOperation = bench.logLines() - before;
    for (auto _ : state) {
        state.PauseTiming();
        op.InstallTavrinDrivers(request, nullptr, nullptr);
        state.ResumeTiming();
        benchmark::DoNotOptimize(op.UnInstallTavrinDrivers(nullptr, nullptr));
    }
    reportLogRate(state, perOperation);
}
BENCHMARK(BM_UninstallAll)->Unit(benchmark::kMicrosecond);

// One log line as the bundle writes them, for the logging share of the above.
void BM_LogLine(benchmark::State& state) {
    const BenchMachine bench;
    constexpr const wchar_t* kLogSource = L"TDriverOperator.cpp";
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::InstallTavrinDrivers");
    const std::wstring component = L"tvrnvamgr";
    for (auto _ : state) {
        TDU_LOG(L"InstallDriver succeeded for %s", component);
    }
}
BENCHMARK(BM_LogLine)->Unit(benchmark::kMicrosecond);

// The host's own floor for the above: a bare open-append-close of the same
// bytes in the same folder, with no checks. On a virtual machine whose system
// calls are dear, this is most of a log line.
void BM_BareAppend(benchmark::State& state) {
    BenchMachine bench;
    const std::filesystem::path file = bench.machine.hostPath(kLog).parent_path() / "bare.log";
    std::filesystem::create_directories(file.parent_path());
    const std::string bytes =
        "[2026/12/04 04:25:34] [TDriverOperator.cpp(98)] | InstallDriver succeeded for tvrnvamgr\r\n";
    for (auto _ : state) {
        std::ofstream(file, std::ios::binary | std::ios::app)
            .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
}
BENCHMARK(BM_BareAppend)->Unit(benchmark::kMicrosecond);

} // namespace
