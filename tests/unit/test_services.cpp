#include "tests/unit/SimTest.h"

#include "log/LogWriter.h"
#include "platform/sim/SimServices.h"
#include "service/ServiceHandler.h"

#include <algorithm>
#include <map>
#include <optional>

namespace tdu::test {
namespace {

using platform::kServiceRunning;
using platform::kServiceStopped;
using platform::kServiceStopPending;
using platform::sim::SimServiceSetup;
using Strings = std::vector<std::string>;

constexpr std::optional<std::uint64_t> kNever = std::nullopt;

class ServiceTest : public SimTest {
protected:
    ServiceTest() { handler.emplace(); }
    void TearDown() override {
        handler.reset(); // closes the manager connection before the leak check
        SimTest::TearDown();
    }

    void add(SimServiceSetup setup) { sim.services().addService(setup); }
    void restart() {
        handler.reset();
        std::filesystem::remove(sim.hostPath(kLogPath));
        sim.clearFaults();
        handler.emplace();
    }

    std::optional<ServiceHandler> handler;
};

SimServiceSetup service(const wchar_t* name, std::uint32_t state, std::uint32_t waitHint,
                        std::optional<std::uint64_t> stopAfterMs) {
    SimServiceSetup setup;
    setup.name = name;
    setup.state = state;
    setup.waitHint = waitHint;
    setup.stopAfterMs = stopAfterMs;
    return setup;
}

SimServiceSetup dependant(const wchar_t* name, const wchar_t* needs, std::uint32_t waitHint,
                          std::optional<std::uint64_t> stopAfterMs) {
    SimServiceSetup setup = service(name, kServiceRunning, waitHint, stopAfterMs);
    setup.dependsOn = {needs};
    return setup;
}

TEST_F(ServiceTest, TheProcessWideHandlerIsOneObject) {
    EXPECT_EQ(&ServiceHandler::getInstance(), &ServiceHandler::getInstance());
}

TEST_F(ServiceTest, AMissingServiceIsNotFoundByEitherStep) {
    EXPECT_FALSE(handler->init(L"tvrnns").stop());
    EXPECT_FALSE(handler->remove());
    EXPECT_EQ(logMessages(), (Strings{"OpenService failed (1060)", "OpenService failed (1060)"}));
    const auto entries = logEntries();
    EXPECT_EQ(entries.front().source, "ServiceHandler.cpp");
}

TEST_F(ServiceTest, AStoppedServiceNeedsNoControl) {
    add(service(L"DERAzo", kServiceStopped, 0, 0));
    EXPECT_TRUE(handler->init(L"DERAzo").stop());
    EXPECT_EQ(logMessages(), Strings{"'DERAzo' Service is already stopped."});
    EXPECT_EQ(sim.callCount("EnumDependentServicesW"), 0U);
    EXPECT_EQ(sim.callCount("ControlService"), 0U);
}

// A service that is stopping already is polled at a tenth of its wait hint,
// kept within 1 to 10 s, until it stops or 30 s have passed.
TEST_F(ServiceTest, AStopPendingServiceIsPolledAtATenthOfItsHint) {
    const struct {
        std::uint32_t waitHint;
        std::optional<std::uint64_t> stopAfterMs;
        bool stopped;
        unsigned polls;
        std::uint64_t takesMs;
        std::uint32_t ticksBeforeWrap; // 0: the tick count does not wrap
    } cases[] = {
        {50'000, 12'000, true, 3, 15'000, 0},  // 5 s polls
        {5'000, 2'500, true, 3, 3'000, 0},     // raised to 1 s
        {200'000, 25'000, true, 3, 30'000, 0}, // lowered to 10 s
        {19'990, 4'000, true, 3, 5'997, 0},
        {5'000, kNever, false, 31, 31'000, 0},  // 30 s is not yet "more than 30 s"
        {200'000, kNever, false, 4, 40'000, 0}, // the last sleep overshoots the budget
        {5'000, kNever, false, 31, 31'000, 10'000},
    };
    for (const auto& c : cases) {
        const std::wstring name = L"svc" + std::to_wstring(&c - cases);
        SCOPED_TRACE(narrow(name));
        restart();
        if (c.ticksBeforeWrap != 0) {
            sim.setTickCountAtStart(
                static_cast<std::uint32_t>(0x1'0000'0000ULL - c.ticksBeforeWrap - sim.nowMs()));
        }
        const std::uint64_t start = sim.nowMs();
        add(service(name.c_str(), kServiceStopPending, c.waitHint, c.stopAfterMs));
        EXPECT_EQ(handler->init(name).stop(), c.stopped);
        EXPECT_EQ(sim.nowMs() - start, c.takesMs);
        const auto messages = logMessages();
        ASSERT_EQ(messages.size(), c.polls + 1);
        EXPECT_EQ(
            std::count(messages.begin(), messages.end(), "'" + narrow(name) + "' Service Stop Pending."),
            c.polls);
        EXPECT_EQ(messages.back(), c.stopped ? "'" + narrow(name) + "' Service is already stopped."
                                             : "Service stop timed out for '" + narrow(name) + "'");
    }
    EXPECT_EQ(sim.callCount("ControlService"), 0U);
}

// After the stop control the service's own wait hint is slept on as given.
TEST_F(ServiceTest, AfterTheStopControlTheWaitHintIsUnclamped) {
    const struct {
        std::uint32_t waitHint;
        std::optional<std::uint64_t> stopAfterMs;
        bool stopped;
        std::uint64_t takesMs;
    } cases[] = {
        {0, 0, true, 0}, // stopped within the control: no sleep at all
        {3'000, 7'000, true, 9'000},
        {45'000, 40'000, true, 45'000}, // one long sleep past the budget, then stopped
        {20'000, kNever, false, 40'000},
        {1'000, kNever, false, 31'000},
    };
    for (const auto& c : cases) {
        const std::wstring name = L"svc" + std::to_wstring(&c - cases);
        SCOPED_TRACE(narrow(name));
        restart();
        const std::uint64_t start = sim.nowMs();
        add(service(name.c_str(), kServiceRunning, c.waitHint, c.stopAfterMs));
        EXPECT_EQ(handler->init(name).stop(), c.stopped);
        EXPECT_EQ(sim.nowMs() - start, c.takesMs);
        EXPECT_EQ(logMessages(), (Strings{"There are no dependent services",
                                          c.stopped ? "'" + narrow(name) + "' Service stopped successfully"
                                                    : "Wait timed out"}));
    }
}

TEST_F(ServiceTest, DependantsStopFirstInTheOrderTheyAreListed) {
    add(service(L"tvrnns", kServiceRunning, 1'000, 500));
    add(dependant(L"client", L"tvrnns", 2'000, 3'000));
    add(dependant(L"agent", L"client", 700, 0));
    add(dependant(L"idle", L"tvrnns", 0, 0));
    sim.services().addService([] {
        SimServiceSetup setup = dependant(L"off", L"tvrnns", 0, 0);
        setup.state = kServiceStopped;
        return setup;
    }());
    EXPECT_TRUE(handler->init(L"tvrnns").stop());
    EXPECT_EQ(sim.services().stopsAccepted(),
              (std::vector<std::wstring>{L"agent", L"client", L"idle", L"tvrnns"}));
    // Only a dependant that had to be waited for is reported.
    EXPECT_EQ(logMessages(),
              (Strings{"Service 'client' stopped successfully", "'tvrnns' Service stopped successfully"}));
    EXPECT_EQ(sim.nowMs(), 5'000U);
}

// A dependant that cannot be stopped ends the dependants' step; the service's
// own stop control is then refused because a dependant still runs.
TEST_F(ServiceTest, ADependantThatWillNotStop) {
    const struct {
        const char* call; // fails on its nth use from here, or nullptr
        unsigned nth;
        std::uint32_t error;
        std::uint32_t refuseStop;
        std::string message; // {} stands for the dependant's name
    } cases[] = {
        {"OpenServiceW", 2, 5, 0, "OpenService failed for dependent service '{}' with error (5)"},
        {nullptr, 0, 0, 1052, "ControlService failed for dependent services (1052)"},
        {"QueryServiceStatusEx", 2, 6, 0, "QueryServiceStatusEx failed (6)"},
        {"EnumDependentServicesW", 1, 5, 0, "Unexpected error (5)"},
        {"EnumDependentServicesW", 2, 5, 0, "EnumDependentServices failed (5)"},
        {"HeapAlloc", 1, 8, 0, "Heap allocation failed for dependencies"},
    };
    for (const auto& c : cases) {
        const std::wstring name = L"svc" + std::to_wstring(&c - cases);
        const std::wstring client = name + L"client";
        SCOPED_TRACE(c.message);
        restart();
        add(service(name.c_str(), kServiceRunning, 1'000, 0));
        SimServiceSetup setup = dependant(client.c_str(), name.c_str(), 100, 1'000);
        setup.refuseStop = c.refuseStop;
        add(setup);
        if (c.call != nullptr) {
            sim.failCall(c.call, sim.callCount(c.call) + c.nth, c.error);
        }
        EXPECT_FALSE(handler->init(name).stop());
        std::string message = c.message;
        if (const auto at = message.find("{}"); at != std::string::npos) {
            message.replace(at, 2, narrow(client));
        }
        EXPECT_EQ(logMessages(), (Strings{message, "ControlService failed (1051)"}));
        EXPECT_EQ(sim.services().state(name), kServiceRunning);
    }
}

TEST_F(ServiceTest, DependantsShareOneBudgetAndTheServiceKeepsItsOwn) {
    add(service(L"tvrnns", kServiceRunning, 4'000, kNever));
    add(dependant(L"slow", L"tvrnns", 25'000, 20'000));
    add(dependant(L"stuck", L"tvrnns", 10'000, kNever));
    EXPECT_FALSE(handler->init(L"tvrnns").stop());
    // slow: stopped at 25 s; stuck: polled at 35 s, past the dependants' 30 s.
    EXPECT_EQ(logMessages(),
              (Strings{"Service 'slow' stopped successfully", "Timed out", "ControlService failed (1051)"}));
    EXPECT_EQ(sim.nowMs(), 35'000U);
    EXPECT_EQ(sim.services().state(L"slow"), kServiceStopped);
}

TEST_F(ServiceTest, TheServicesBudgetCountsTheTimeSpentOnDependants) {
    add(service(L"tvrnns", kServiceRunning, 4'000, kNever));
    add(dependant(L"slow", L"tvrnns", 25'000, 1'000));
    EXPECT_FALSE(handler->init(L"tvrnns").stop());
    EXPECT_EQ(logMessages(), (Strings{"Service 'slow' stopped successfully", "Wait timed out"}));
    EXPECT_EQ(sim.nowMs(), 33'000U); // 25 s on the dependant, then 4 s polls past 30 s
}

TEST_F(ServiceTest, ARefusedStopControl) {
    SimServiceSetup setup = service(L"tvrnns", kServiceRunning, 0, 0);
    setup.refuseStop = 1052;
    add(setup);
    EXPECT_FALSE(handler->init(L"tvrnns").stop());
    EXPECT_EQ(logMessages(), (Strings{"There are no dependent services", "ControlService failed (1052)"}));
}

TEST_F(ServiceTest, InitWithoutANameKeepsTheEarlierState) {
    add(service(L"tvrnns", kServiceStopped, 0, 0));
    EXPECT_FALSE(handler->init(L"").stop());
    EXPECT_FALSE(handler->remove());
    EXPECT_EQ(logMessages(), (Strings{"Service name is empty", "SCManager is NULL", "SCManager is NULL"}));

    restart();
    EXPECT_TRUE(handler->init(L"tvrnns").init(L"").stop());
    EXPECT_TRUE(handler->remove());
    EXPECT_EQ(logMessages(), (Strings{"Service name is empty", "'tvrnns' Service is already stopped.",
                                      "'tvrnns' Service deleted successfully"}));
    EXPECT_FALSE(sim.services().exists(L"tvrnns"));
}

TEST_F(ServiceTest, EachInitOpensAFreshConnection) {
    add(service(L"DERAzo", kServiceStopped, 0, 0));
    handler->init(L"tvrnns");
    handler->init(L"DERAzo");
    EXPECT_EQ(sim.openHandleCount(), 1U) << sim.openHandleReport();
    EXPECT_EQ(sim.callCount("CloseServiceHandle"), 1U);
    EXPECT_TRUE(handler->stop());

    // A failed open leaves no connection; the close of the old one must not
    // hide why.
    sim.failCall("OpenSCManagerW", 3, 5);
    sim.failCall("CloseServiceHandle", 3, 6);
    EXPECT_FALSE(handler->init(L"DERAzo").stop());
    EXPECT_FALSE(handler->remove());
    EXPECT_EQ(sim.openHandleCount(), 0U);
    EXPECT_EQ(logMessages(), (Strings{"'DERAzo' Service is already stopped.", "OpenSCManager failed (5)",
                                      "SCManager is NULL", "SCManager is NULL"}));
}

TEST_F(ServiceTest, Deletion) {
    SimServiceSetup refusing = service(L"DERAzo", kServiceStopped, 0, 0);
    refusing.refuseDelete = 5;
    add(refusing);
    add(service(L"tvrnns", kServiceRunning, 0, 0));
    EXPECT_FALSE(handler->init(L"DERAzo").remove());
    EXPECT_TRUE(sim.services().exists(L"DERAzo"));

    // Deleting does not stop: a running service is only marked, and goes
    // once stopped; a second deletion is refused meanwhile.
    EXPECT_TRUE(handler->init(L"tvrnns").remove());
    EXPECT_TRUE(sim.services().markedForDelete(L"tvrnns"));
    EXPECT_FALSE(handler->remove());
    EXPECT_TRUE(handler->stop());
    EXPECT_FALSE(sim.services().exists(L"tvrnns"));
    EXPECT_EQ(logMessages(), (Strings{"DeleteService failed (5)", "'tvrnns' Service deleted successfully",
                                      "DeleteService failed (1072)", "There are no dependent services",
                                      "'tvrnns' Service stopped successfully"}));
}

// Every platform call of a full stop (a dependant waited for, the service
// waited for after the control) and deletion, failed in turn.
TEST_F(ServiceTest, FaultSweep) {
    auto scenario = [](platform::sim::SimMachine& machine, ServiceHandler& h) {
        machine.services().addService(service(L"tvrnns", kServiceRunning, 1'000, 2'500));
        machine.services().addService(dependant(L"client", L"tvrnns", 500, 1'000));
        const bool stopped = h.init(L"tvrnns").stop();
        return std::pair{stopped, h.remove()};
    };
    const struct {
        const char* call;
        std::string message; // "" when the failure is not reported
        bool stopped;
        bool removed;
    } expected[] = {
        {"OpenSCManagerW", "OpenSCManager failed (1234)", false, false},
        {"OpenServiceW", "OpenService failed (1234)", false, true},
        {"QueryServiceStatusEx", "QueryServiceStatusEx failed (1234)", false, true},
        {"EnumDependentServicesW", "Unexpected error (1234)", false, true},
        {"HeapAlloc", "Heap allocation failed for dependencies", false, true},
        {"EnumDependentServicesW", "EnumDependentServices failed (1234)", false, true},
        {"OpenServiceW", "OpenService failed for dependent service 'client' with error (1234)", false, true},
        {"ControlService", "ControlService failed for dependent services (1234)", false, true},
        {"QueryServiceStatusEx", "QueryServiceStatusEx failed (1234)", false, true},
        // The dependant had stopped by then; only the report of it is lost.
        {"QueryServiceStatusEx", "QueryServiceStatusEx failed (1234)", true, true},
        {"CloseServiceHandle", "", true, true},
        {"ControlService", "ControlService failed (1234)", false, true},
        {"QueryServiceStatusEx", "QueryServiceStatusEx failed (1234)", false, true},
        {"QueryServiceStatusEx", "QueryServiceStatusEx failed (1234)", false, true},
        {"QueryServiceStatusEx", "QueryServiceStatusEx failed (1234)", false, true},
        {"CloseServiceHandle", "", true, true},
        {"OpenServiceW", "OpenService failed (1234)", true, false},
        {"DeleteService", "DeleteService failed (1234)", true, false},
        {"CloseServiceHandle", "", true, true},
    };
    {
        platform::sim::SimMachine clean;
        platform::bindPlatform(clean.platform());
        ServiceHandler h;
        EXPECT_EQ(scenario(clean, h), std::pair(true, true));
        Strings listed;
        for (const auto& row : expected) {
            listed.emplace_back(row.call);
        }
        // The log's own file calls are not part of the sweep.
        Strings calls;
        std::copy_if(
            clean.callTrace().begin(), clean.callTrace().end(), std::back_inserter(calls),
            [&](const std::string& call) { return std::count(listed.begin(), listed.end(), call) > 0; });
        ASSERT_EQ(calls, listed);
    }
    std::map<std::string, unsigned> seen;
    for (const auto& row : expected) {
        const unsigned nth = ++seen[row.call];
        SCOPED_TRACE(testing::Message() << row.call << " #" << nth);
        platform::sim::SimMachine faulty;
        platform::bindPlatform(faulty.platform());
        faulty.createDirectories(L"C:\\Users\\Public\\Tavrin Secure");
        log::resetLogPathCache();
        faulty.failCall(row.call, nth, 1234);
        {
            ServiceHandler h;
            EXPECT_EQ(scenario(faulty, h), std::pair(row.stopped, row.removed));
        }
        const std::string log = faulty.readFile(kLogPath).value_or("");
        if (!row.message.empty()) {
            EXPECT_NE(log.find("| " + row.message + "\r\n"), std::string::npos) << log;
        }
        // The injected error is reported once, where it happened, or not at all.
        const auto reported = log.find("1234");
        EXPECT_EQ(reported != std::string::npos, row.message.find("1234") != std::string::npos) << log;
        EXPECT_EQ(log.find("1234", reported + 1), std::string::npos) << log;
        EXPECT_EQ(faulty.openHandleCount(), 0U) << faulty.openHandleReport();
    }
    platform::bindPlatform(sim.platform());
}

} // namespace
} // namespace tdu::test
