// How the program's cost grows with what it walks: devices, staged packages,
// key trees, log lines across a rotation. Each reports its slope (time per
// element) through Google Benchmark's linear complexity fit.
#include "log/LogWriter.h"
#include "operator/TDriverOperator.h"
#include "platform/Platform.h"
#include "platform/sim/SimMachine.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

using tdu::platform::sim::SimMachine;

class Bound {
public:
    Bound() {
        tdu::platform::bindPlatform(machine.platform());
        tdu::log::resetLogPathCache();
        machine.createDirectories(L"C:\\Users\\Public\\Tavrin Secure");
    }
    ~Bound() { tdu::log::resetLogPathCache(); } // its folders are this machine's
    Bound(const Bound&) = delete;
    Bound& operator=(const Bound&) = delete;
    SimMachine machine;
};

// Every device is enumerated and its ids read; none matches, so each run
// walks the same tree.
void BM_RemoveDevices(benchmark::State& state) {
    Bound bound;
    for (std::int64_t i = 0; i < state.range(0); ++i) {
        tdu::platform::sim::SimDevice device;
        device.instanceId = L"ROOT\\OTHER\\" + std::to_wstring(i);
        device.classGuid = tdu::platform::kGuidDevClassNet;
        device.hardwareIds = std::vector<std::wstring>{L"other_" + std::to_wstring(i)};
        bound.machine.addDevice(device);
    }
    TavrinDriverOperator op;
    std::uint32_t reboot = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(op.RemoveDevices(L"tvrnvamgr", &reboot));
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_RemoveDevices)
    ->Arg(10)
    ->Arg(1'000)
    ->Arg(10'000)
    ->Complexity(benchmark::oN)
    ->Unit(benchmark::kMillisecond);

// Staged packages of the product: each one found is listed in the log.
void BM_ListDriverInfs(benchmark::State& state) {
    Bound bound;
    for (std::int64_t i = 0; i < state.range(0); ++i) {
        const std::wstring source = L"C:\\src\\p" + std::to_wstring(i) + L".inf";
        bound.machine.writeFile(source,
                                "[Version]\nClass=Net\nDriverVer=05/07/2021,1.2.3." + std::to_string(i) +
                                    "\n[Manufacturer]\nM=Models,NTamd64\n[Models.NTamd64]\nD=I, tvrnvamgr\n");
        std::wstring published;
        tdu::platform::dev().SetupCopyOEMInfW(source, tdu::platform::kSpostPath, 0, published, 260);
    }
    TavrinDriverOperator op;
    for (auto _ : state) {
        std::vector<DriverStoreEntry> entries;
        benchmark::DoNotOptimize(op.ListDriverInfs(&entries));
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ListDriverInfs)
    ->Arg(10)
    ->Arg(100)
    ->Arg(1'000)
    ->Complexity(benchmark::oN)
    ->Unit(benchmark::kMillisecond);

// A key with range(0) subkeys, or a chain range(0) deep, deleted whole.
template <bool Deep> void BM_RegDelNode(benchmark::State& state) {
    Bound bound;
    TavrinDriverOperator op;
    const std::wstring root = L"SOFTWARE\\Tree";
    for (auto _ : state) {
        state.PauseTiming();
        std::wstring path = root;
        for (std::int64_t i = 0; i < state.range(0); ++i) {
            if (Deep) {
                path += L"\\k";
                bound.machine.regCreateKey(path);
            } else {
                bound.machine.regCreateKey(root + L"\\k" + std::to_wstring(i));
            }
        }
        state.ResumeTiming();
        benchmark::DoNotOptimize(op.RegDelNode(root));
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_RegDelNode<false>)
    ->Name("BM_RegDelNode/wide")
    ->Arg(10)
    ->Arg(100)
    ->Arg(1'000)
    ->Complexity(benchmark::oN)
    ->Unit(benchmark::kMillisecond);
// The path limit of 520 characters bounds the depth.
BENCHMARK(BM_RegDelNode<true>)
    ->Name("BM_RegDelNode/deep")
    ->Arg(10)
    ->Arg(50)
    ->Arg(200)
    ->Complexity(benchmark::oN)
    ->Unit(benchmark::kMillisecond);

// range(0) lines into a log that crosses the rotation threshold half-way.
void BM_LogLinesAcrossRotation(benchmark::State& state) {
    Bound bound;
    constexpr const wchar_t* kLogSource = L"TDriverOperator.cpp";
    TDU_LOG_FUNCTION(L"bench");
    const std::wstring log = L"C:\\Users\\Public\\Tavrin Secure\\Logging\\TavrinDriverUtil.log";
    const std::wstring message(60, L'm');
    for (auto _ : state) {
        state.PauseTiming();
        bound.machine.createDirectories(L"C:\\Users\\Public\\Tavrin Secure\\Logging");
        const std::size_t lineBytes = 36 + message.size();
        const std::size_t prefill =
            tdu::log::kRotationThreshold - lineBytes * static_cast<std::size_t>(state.range(0)) / 2;
        bound.machine.writeFile(log, std::string(prefill, 'x'));
        state.ResumeTiming();
        for (std::int64_t i = 0; i < state.range(0); ++i) {
            TDU_LOG(L"%s", message);
        }
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_LogLinesAcrossRotation)
    ->Arg(100)
    ->Arg(1'000)
    ->Arg(10'000)
    ->Complexity(benchmark::oN)
    ->Unit(benchmark::kMillisecond);

} // namespace
