#include "tests/unit/SimTest.h"

#include "log/LogWriter.h"
#include "operator/TDriverOperator.h"
#include "platform/sim/SimNetConfig.h"

#include <algorithm>
#include <map>
#include <optional>

namespace tdu::test {
namespace {

using platform::HResult;
using platform::kNetcfgENeedReboot;
using platform::kNetcfgSReboot;
using platform::sim::SimNetComponent;
using Strings = std::vector<std::string>;

constexpr HResult kEFail = platform::kEFail;
constexpr HResult kSFalse = platform::kSFalse;
constexpr HResult kOutOfMemory = platform::hresult(0x8007000E);

const std::string kPrefix =
    R"(TavrinDriverOperator::HrReinstallNetService("tvrnns","Tavrin Secure, LLC","Tavrin Secure","Tavrin Secure"): )";
const std::string kOboText =
    R"(oboToken={OBO_SOFTWARE, "Tavrin Secure, LLC", "Tavrin Secure", "Tavrin Secure", 0})";
const std::string kToken = "{3, null, Tavrin Secure, LLC, Tavrin Secure, Tavrin Secure, 0}";
const std::string kAddReceived = "Command received to add net Service";
const std::string kRemoveReceived = "Command received to remove net Service";
const std::string kSucceeded = "Add/Remove of net service:tvrnns Succeeded";
const std::string kFailed = "Add/Remove of net service:tvrnns Failed";

// A message of the reinstall, with its prefix and its own line feed.
std::string withPrefix(const std::string& text) {
    return kPrefix + text + "\n";
}
const std::string kNotFound = withPrefix("Failed to find component. HRESULT=0x1");
const std::string kRemoving = "Removing component tvrnns " + kOboText + "\n";
const std::string kInstalling = withPrefix("Installing component tvrnns " + kOboText);

// The calls of one reinstall, as the simulated configuration records them.
const Strings kSetUp{"CoInitializeEx 0x6", "CoCreateInstance CNetCfg INetCfg 0x17",
                     "QueryInterface INetCfg INetCfgLock", "AcquireWriteLock 15000 DevInstSrv(setupapi)",
                     "Initialize"};
const Strings kTearDown{"Uninitialize", "ReleaseWriteLock", "Release INetCfgLock", "Release INetCfg",
                        "CoUninitialize"};
const Strings kInstallPhase{"QueryNetCfgClass NETSERVICE INetCfgClass",
                            "QueryInterface INetCfgClass INetCfgClassSetup",
                            "Install tvrnns " + kToken + " 0x2 0 null null",
                            "Apply",
                            "Release INetCfgComponent",
                            "Release INetCfgClassSetup",
                            "Release INetCfgClass"};

Strings removalPhase(const std::string& className) {
    return {"FindComponent tvrnns",
            "GetClassGuid tvrnns",
            "QueryNetCfgClass " + className + " INetCfgClass",
            "QueryInterface INetCfgClass INetCfgClassSetup",
            "DeInstall tvrnns " + kToken,
            "Apply",
            "Release INetCfgClassSetup",
            "Release INetCfgClass",
            "Release INetCfgComponent"};
}

Strings join(std::initializer_list<Strings> parts) {
    Strings all;
    for (const Strings& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

class NetServiceTest : public SimTest {
protected:
    void TearDown() override {
        EXPECT_EQ(net().comInitBalance(), 0);
        EXPECT_EQ(net().abandonedObjects(), 0U);
        EXPECT_NE(net().writeLockHolder(), L"DevInstSrv(setupapi)");
        SimTest::TearDown();
    }

    platform::sim::SimNetConfig& net() { return sim.netConfig(); }

    int run(const wchar_t* action, const wchar_t* component = L"tvrnns") {
        DriverOperation record;
        record.netServiceAction = action;
        record.componentName = component;
        return TavrinDriverOperator().AddRemoveNetService(record);
    }
    HResult reinstall(bool add) {
        return TavrinDriverOperator().HrReinstallNetService(L"tvrnns", L"Tavrin Secure, LLC",
                                                            L"Tavrin Secure", L"Tavrin Secure", add);
    }

    void install(std::vector<std::wstring> referrers = {}) {
        net().addComponent(
            SimNetComponent{L"tvrnns", platform::kGuidDevClassNetService, std::move(referrers)});
    }
    void restart() {
        std::filesystem::remove(sim.hostPath(kLogPath));
        sim.clearFaults();
        net().clearJournal();
    }
    std::ptrdiff_t applies() {
        const Strings& journal = net().journal();
        return std::count(journal.begin(), journal.end(), "Apply");
    }
};

// Refusals come before any platform call; accepted words are folded to
// capitals first.
TEST_F(NetServiceTest, TheRequestIsCheckedFirst) {
    const struct {
        const wchar_t* action;
        const wchar_t* component;
        std::string first;
        int result;
    } cases[] = {
        {L"", L"", "Parameters are missing", 2},
        {L"", L"tvrnns", "Parameters are missing", 2},
        {L"ADD", L"", "Component Name is missing", 2},
        {L"ADD ", L"tvrnns", "Incorrect Value for net servc", 2},
        {L"REMOVE ", L"tvrnns", "Incorrect Value for net servc", 2},
        {L" add", L"tvrnns", "Incorrect Value for net servc", 2},
        {L"INSTALL", L"tvrnns", "Incorrect Value for net servc", 2},
        {L"remov", L"tvrnns", "Incorrect Value for net servc", 2},
        {L"\u00e4dd", L"tvrnns", "Incorrect Value for net servc", 2},
        {L"add", L"tvrnns", kAddReceived, 0},
        {L"aDd", L"tvrnns", kAddReceived, 0},
        {L"remove", L"tvrnns", kRemoveReceived, 0},
        {L"Remove", L"tvrnns", kRemoveReceived, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(narrow(c.action));
        restart();
        net().removeComponent(L"tvrnns");
        EXPECT_EQ(run(c.action, c.component), c.result);
        EXPECT_EQ(logMessages().front(), c.first);
        EXPECT_EQ(net().journal().empty(), c.result == 2);
        EXPECT_EQ(net().installed(L"tvrnns"), c.first == kAddReceived);
    }
}

TEST_F(NetServiceTest, RemoveOfAMissingComponentSucceeds) {
    EXPECT_EQ(run(L"REMOVE"), 0);
    EXPECT_EQ(logMessages(), (Strings{kRemoveReceived, kNotFound, kSucceeded}));
    EXPECT_EQ(net().journal(), join({kSetUp, {"FindComponent tvrnns"}, kTearDown}));
}

TEST_F(NetServiceTest, AddOfAMissingComponentInstallsIt) {
    EXPECT_EQ(run(L"ADD"), 0);
    EXPECT_EQ(logMessages(), (Strings{kAddReceived, kNotFound, kInstalling, kSucceeded}));
    EXPECT_EQ(net().journal(), join({kSetUp, {"FindComponent tvrnns"}, kInstallPhase, kTearDown}));
    EXPECT_TRUE(net().installed(L"tvrnns"));
}

TEST_F(NetServiceTest, RemoveOfAnInstalledComponent) {
    net().addComponent(SimNetComponent{L"tvrnns", platform::kGuidDevClassNetTrans, {}});
    EXPECT_EQ(run(L"REMOVE"), 0);
    EXPECT_EQ(logMessages(), (Strings{kRemoveReceived, kRemoving, kSucceeded}));
    // The removal asks for the class the component reports.
    EXPECT_EQ(net().journal(), join({kSetUp, removalPhase("NETTRANS"), kTearDown}));
    EXPECT_FALSE(net().installed(L"tvrnns"));
}

// Add means reinstall: both phases and two Apply calls under one lock.
TEST_F(NetServiceTest, AddOfAnInstalledComponentReinstallsIt) {
    install();
    EXPECT_EQ(run(L"ADD"), 0);
    EXPECT_EQ(logMessages(), (Strings{kAddReceived, kRemoving, kInstalling, kSucceeded}));
    EXPECT_EQ(net().journal(), join({kSetUp, removalPhase("NETSERVICE"), kInstallPhase, kTearDown}));
    EXPECT_TRUE(net().installed(L"tvrnns"));
}

// What DeInstall, Install and Apply answer decides what follows: a message,
// an Apply or none, the install phase, and the result.
TEST_F(NetServiceTest, WhatEachStepAnswers) {
    const std::string& R = kRemoving;
    const std::string& I = kInstalling;
    const std::string& N = kNotFound;
    const std::string referenced =
        withPrefix(R"(The component was not removed and is still referenced by "ms_server")");
    const std::string deReboot =
        withPrefix("A reboot is required to complete removal of component. HRESULT=0x4a020");
    const std::string deNeedReboot =
        withPrefix("A reboot is required.  The component was not removed. HRESULT=0x8004a025");
    const std::string deFailed = withPrefix("The component could not be removed. HRESULT=0x80004005");
    const std::string inReboot =
        withPrefix("A reboot is required to complete re-install of component. HRESULT=0x4a020");
    const std::string inNeedReboot =
        withPrefix("A reboot is required.  The component was not re-installed. HRESULT=0x8004a025");
    const std::string inFailed = withPrefix("The component could not be re-installed. HRESULT=0x80004005");
    const std::string applyReboot =
        withPrefix("A reboot is required to apply the new configuration. HRESULT=0x4a020");
    // The two phases spell their failed Apply differently.
    const std::string removalNotApplied =
        withPrefix("The new configuraiton could not be applied. HRESULT=0x80004005");
    const std::string installNotApplied =
        withPrefix("The new configuration could not be applied. HRESULT=0x80004005");
    const struct {
        const char* call; // nullptr: the component has referrers
        unsigned nth;
        HResult answer;
        const wchar_t* action;
        Strings log; // between the received line and the outcome
        std::ptrdiff_t applies;
        int result;
        bool installedAfter;
    } cases[] = {
        {nullptr, 0, 0, L"REMOVE", {R, referenced}, 1, 0, true},
        {"DeInstall", 1, kNetcfgSReboot, L"REMOVE", {R, deReboot}, 1, 0, false},
        {"DeInstall", 1, kNetcfgENeedReboot, L"REMOVE", {R, deNeedReboot}, 0, 2, true},
        {"DeInstall", 1, kNetcfgENeedReboot, L"ADD", {R, deNeedReboot, I}, 1, 0, true},
        {"DeInstall", 1, kEFail, L"REMOVE", {R, deFailed}, 0, 2, true},
        {"DeInstall", 1, kSFalse, L"REMOVE", {R}, 1, 0, false},
        {"Install", 1, kNetcfgSReboot, L"ADD", {N, I, inReboot}, 1, 0, true},
        {"Install", 1, kNetcfgENeedReboot, L"ADD", {N, I, inNeedReboot}, 0, 2, false},
        {"Install", 1, kEFail, L"ADD", {N, I, inFailed}, 0, 2, false},
        {"Install", 1, kSFalse, L"ADD", {N, I}, 1, 0, true},
        {"Apply", 1, kNetcfgSReboot, L"ADD", {R, applyReboot, I}, 2, 0, true},
        {"Apply", 1, kEFail, L"ADD", {R, removalNotApplied, I}, 2, 0, true},
        {"Apply", 1, kEFail, L"REMOVE", {R, removalNotApplied}, 1, 2, true},
        {"Apply", 2, kNetcfgSReboot, L"ADD", {R, I, applyReboot}, 2, 0, true},
        {"Apply", 2, kEFail, L"ADD", {R, I, installNotApplied}, 2, 2, false}, // the removal was applied
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.call ? c.call : "referrers") << " #" << c.nth << " " << c.answer
                                        << " " << narrow(c.action));
        restart();
        net().removeComponent(L"tvrnns");
        if (c.call == nullptr) {
            install({L"ms_server", L"ms_pacer"});
        } else if (std::string(c.call) != "Install") {
            install();
        }
        if (c.call != nullptr) {
            net().scriptResult(c.call, sim.callCount(c.call) + c.nth, c.answer);
        }
        EXPECT_EQ(run(c.action), c.result);
        Strings expected = join({{c.action[0] == L'A' ? kAddReceived : kRemoveReceived},
                                 c.log,
                                 {c.result == 0 ? kSucceeded : kFailed}});
        EXPECT_EQ(logMessages(), expected);
        EXPECT_EQ(applies(), c.applies);
        EXPECT_EQ(net().installed(L"tvrnns"), c.installedAfter);
        if (c.call == nullptr) { // the referrers' text is freed before the Apply
            const Strings& journal = net().journal();
            EXPECT_LT(std::find(journal.begin(), journal.end(), "CoTaskMemFree") - journal.begin(),
                      std::find(journal.begin(), journal.end(), "Apply") - journal.begin());
        }
    }
}

// Another client's lock is waited for once, for 15 s, and never released by
// us.
TEST_F(NetServiceTest, ALockHeldByAnotherClient) {
    const struct {
        std::optional<std::wstring> holder;
        std::string message;
        Strings freed;
    } cases[] = {
        {L"Tavrin Secure Agent",
         withPrefix(R"(Failed to get NetCfgLock. Lock held by "Tavrin Secure Agent")"),
         {"CoTaskMemFree"}},
        {std::nullopt, withPrefix("Failed to get NetCfgLock."), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        restart();
        net().holdWriteLock(c.holder);
        const std::uint64_t start = sim.nowMs();
        EXPECT_EQ(reinstall(true), platform::kNetcfgENoWriteLock);
        EXPECT_EQ(sim.nowMs() - start, 15'000U);
        EXPECT_EQ(logMessages(), Strings{c.message});
        EXPECT_EQ(net().journal(), join({{kSetUp.begin(), kSetUp.end() - 1},
                                         c.freed,
                                         {"Release INetCfgLock", "Release INetCfg", "CoUninitialize"}}));
        EXPECT_TRUE(net().writeLockHeld());
        EXPECT_EQ(net().writeLockHolder(), c.holder.value_or(L""));
        net().releaseOtherClientsLock();
    }
    net().holdWriteLock(std::nullopt);
    EXPECT_EQ(run(L"ADD"), 2);
    EXPECT_EQ(logMessages().back(), kFailed);
    net().releaseOtherClientsLock();
}

TEST_F(NetServiceTest, ALockReleasedDuringTheWaitIsTaken) {
    net().holdWriteLock(L"Tavrin Secure Agent");
    sim.at(5'000, [this] { net().releaseOtherClientsLock(); });
    EXPECT_EQ(run(L"ADD"), 0);
    EXPECT_EQ(sim.nowMs(), 5'000U);
    EXPECT_TRUE(net().installed(L"tvrnns"));
}

// Each set-up step that fails ends the call with its result, after undoing
// the steps before it in reverse order.
TEST_F(NetServiceTest, SetUpFailuresAreUndoneInReverse) {
    const struct {
        const char* call;
        std::string message;
        Strings undo;
    } cases[] = {
        {"CoInitializeEx", "CoInitializeEx()->0x8007000e", {}},
        {"CoCreateInstance", "Failed to create NetCfg object. HRESULT=0x8007000e", {"CoUninitialize"}},
        {"QueryInterface",
         "Failed to get NetCfgLock interface. HRESULT=0x8007000e",
         {"Release INetCfg", "CoUninitialize"}},
        {"AcquireWriteLock",
         "AcquireWriteLock() failed HRESULT=0x8007000e",
         {"Release INetCfgLock", "Release INetCfg", "CoUninitialize"}},
        {"Initialize",
         "Failed to initialize NetCfg. HRESULT=0x8007000e",
         {"ReleaseWriteLock", "Release INetCfgLock", "Release INetCfg", "CoUninitialize"}},
    };
    std::size_t steps = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.call);
        restart();
        sim.failCall(c.call, sim.callCount(c.call) + 1, static_cast<std::uint32_t>(kOutOfMemory));
        EXPECT_EQ(reinstall(true), kOutOfMemory);
        EXPECT_EQ(logMessages(), Strings{withPrefix(c.message)});
        EXPECT_EQ(net().journal(),
                  join({{kSetUp.begin(), kSetUp.begin() + static_cast<std::ptrdiff_t>(++steps)}, c.undo}));
    }
    restart();
    sim.failCall("Initialize", 0, static_cast<std::uint32_t>(kOutOfMemory));
    EXPECT_EQ(run(L"REMOVE"), 2);
    EXPECT_EQ(logMessages().back(), kFailed);
}

TEST_F(NetServiceTest, ComAlreadyInitialisedOnThisThread) {
    // Same apartment: S_FALSE, balanced by our own CoUninitialize.
    EXPECT_EQ(platform::netcfg().CoInitializeEx(platform::kCoinitApartmentThreaded), platform::kSOk);
    EXPECT_EQ(run(L"REMOVE"), 0);
    EXPECT_EQ(net().comInitBalance(), 1);
    platform::netcfg().CoUninitialize();

    // Another apartment: refused, and nothing to undo.
    restart();
    EXPECT_EQ(platform::netcfg().CoInitializeEx(0), platform::kSOk);
    EXPECT_EQ(run(L"REMOVE"), 2);
    EXPECT_EQ(logMessages(), (Strings{kRemoveReceived, withPrefix("CoInitializeEx()->0x80010106"), kFailed}));
    EXPECT_EQ(net().comInitBalance(), 1);
    platform::netcfg().CoUninitialize();
}

TEST_F(NetServiceTest, ANullComponentIdIsRefusedBeforeAnyCall) {
    EXPECT_EQ(TavrinDriverOperator().HrReinstallNetService(nullptr, L"a", L"b", L"c", true), kEFail);
    EXPECT_EQ(logMessages(), Strings{"Parameters are null"});
    EXPECT_TRUE(net().journal().empty());
}

TEST_F(NetServiceTest, TheDispatcherRunsIt) {
    DriverOperation record;
    record.operationCode = OperationCode::NetService;
    record.netServiceAction = L"ADD";
    record.componentName = L"tvrnns";
    EXPECT_EQ(TavrinDriverOperator().PerformDriverOperation(record), 0);
    EXPECT_EQ(logMessages().front(), "Command received to install TVRNNS Net Service");
    EXPECT_EQ(logMessages().back(), kSucceeded);
    EXPECT_TRUE(net().installed(L"tvrnns"));
}

// Every platform call of the reinstall of an installed component, failed in
// turn: the failure's message, the outcome, nothing left behind.
TEST_F(NetServiceTest, FaultSweep) {
    const HResult injected = platform::hresult(0x8007001F);
    const struct {
        const char* call;
        std::string message; // "" when the failure is not reported
        int result;
        bool installedAfter;
        bool tornDown = true; // false: the failed step leaves the object behind
    } expected[] = {
        {"CoInitializeEx", "CoInitializeEx()->0x8007001f", 2, true},
        {"CoCreateInstance", "Failed to create NetCfg object. HRESULT=0x8007001f", 2, true},
        {"QueryInterface", "Failed to get NetCfgLock interface. HRESULT=0x8007001f", 2, true},
        {"AcquireWriteLock", "AcquireWriteLock() failed HRESULT=0x8007001f", 2, true},
        {"Initialize", "Failed to initialize NetCfg. HRESULT=0x8007001f", 2, true},
        // A failed removal phase leaves the component in place; the install
        // phase then decides.
        {"FindComponent", "Failed to find component. HRESULT=0x8007001f", 0, true},
        {"GetClassGuid", "Failed to get component class GUID. HRESULT=0x8007001f", 0, true},
        {"QueryNetCfgClass", "Failed to get NetCfgClass object. HRESULT=0x8007001f", 0, true},
        {"QueryInterface", "Failed to get NetCfgClassSetup interface. HRESULT=0x8007001f", 0, true},
        {"DeInstall", "The component could not be removed. HRESULT=0x8007001f", 0, true},
        {"Apply", "The new configuraiton could not be applied. HRESULT=0x8007001f", 0, true},
        {"QueryNetCfgClass", "Failed to get NetCfgClass object. HRESULT=0x8007001f", 2, false},
        {"QueryInterface", "Failed to get NetCfgClassSetup interface. HRESULT=0x8007001f", 2, false},
        {"Install", "The component could not be re-installed. HRESULT=0x8007001f", 2, false},
        {"Apply", "The new configuration could not be applied. HRESULT=0x8007001f", 2, false},
        // Nothing is left to try when the teardown itself fails: the object
        // is released still initialised, or still holding the lock.
        {"Uninitialize", "", 0, true, false},
        {"ReleaseWriteLock", "", 0, true, false},
    };
    Strings listed;
    for (const auto& row : expected) {
        listed.emplace_back(row.call);
    }
    install();
    EXPECT_EQ(run(L"ADD"), 0);
    Strings calls;
    std::copy_if(sim.callTrace().begin(), sim.callTrace().end(), std::back_inserter(calls),
                 [&](const std::string& call) { return std::count(listed.begin(), listed.end(), call) > 0; });
    ASSERT_EQ(calls, listed);

    std::map<std::string, unsigned> seen;
    for (const auto& row : expected) {
        const unsigned nth = ++seen[row.call];
        SCOPED_TRACE(testing::Message() << row.call << " #" << nth);
        platform::sim::SimMachine faulty;
        platform::bindPlatform(faulty.platform());
        faulty.createDirectories(L"C:\\Users\\Public\\Tavrin Secure");
        log::resetLogPathCache();
        faulty.netConfig().addComponent(SimNetComponent{L"tvrnns", platform::kGuidDevClassNetService, {}});
        faulty.failCall(row.call, nth, static_cast<std::uint32_t>(injected));
        DriverOperation record;
        record.netServiceAction = L"ADD";
        record.componentName = L"tvrnns";
        EXPECT_EQ(TavrinDriverOperator().AddRemoveNetService(record), row.result);
        const std::string log = faulty.readFile(kLogPath).value_or("");
        const std::string line = row.message.empty() ? "0x8007001f" : kPrefix + row.message + "\r\n";
        EXPECT_EQ(log.find(line) != std::string::npos, !row.message.empty()) << log;
        EXPECT_EQ(faulty.netConfig().installed(L"tvrnns"), row.installedAfter);
        EXPECT_EQ(faulty.netConfig().comInitBalance(), 0);
        EXPECT_EQ(faulty.netConfig().abandonedObjects(), row.tornDown ? 0U : 1U);
        EXPECT_EQ(faulty.netConfig().writeLockHeld(), std::string(row.call) == "ReleaseWriteLock");
        EXPECT_EQ(faulty.openHandleCount(), 0U) << faulty.openHandleReport();
    }
    platform::bindPlatform(sim.platform());
}

} // namespace
} // namespace tdu::test
