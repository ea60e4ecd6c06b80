#include "tests/unit/SimTest.h"

#include "operator/TDriverOperator.h"

namespace tdu::test {
namespace {

constexpr std::uint32_t kStarter = 100;
constexpr std::uint32_t kEnder = 200;

class StatusTest : public SimTest {
protected:
    int setStatus(const wchar_t* value) {
        DriverOperation record;
        record.installStatus = value;
        return TavrinDriverOperator().setStatus(record);
    }
    // Another process's /setstatus run at a moment of the virtual clock.
    void endAt(std::uint64_t ms, std::uint32_t pid = kEnder) {
        sim.at(ms, [this, pid] { sim.asProcess(pid, [this] { EXPECT_EQ(setStatus(L"1"), 0); }); });
    }
    std::vector<std::string> messagesAfter(std::size_t skip) const {
        const auto all = logMessages();
        return {all.begin() + static_cast<std::ptrdiff_t>(std::min(skip, all.size())), all.end()};
    }
};

TEST_F(StatusTest, InvalidValuesTouchNothing) {
    for (const wchar_t* value : {L"00", L"2", L"true", L" 1", L"", L"5", L"1 "}) {
        std::filesystem::remove(sim.hostPath(kLogPath));
        EXPECT_EQ(setStatus(value), 2);
        EXPECT_EQ(logMessages(), std::vector<std::string>{"Invalid argument passed to /setstatus parameter"});
    }
    EXPECT_TRUE(sim.callTrace().end() ==
                std::find_if(sim.callTrace().begin(), sim.callTrace().end(), [](const std::string& call) {
                    return call.find("Mutex") != std::string::npos;
                }));
}

TEST_F(StatusTest, StartThenEndWithinTheLimit) {
    sim.setCurrentProcess(kStarter);
    endAt(5'000);
    EXPECT_EQ(setStatus(L"0"), 0);
    EXPECT_EQ(sim.nowMs(), 5'000U);
    EXPECT_EQ(logMessages(), (std::vector<std::string>{
                                 "Set status from command line is: 0", "TSAC Installation Started",
                                 "Started installation of the drivers", "Set status from command line is: 1",
                                 "TSAC Installation Ended", "Successfully set event for install completion",
                                 "Installation of the drivers completed Successfully",
                                 "Released Installation started event"}));
    EXPECT_FALSE(sim.namedObjectExists(L"Global\\TDInstallationStartedMtx"));
    EXPECT_FALSE(sim.namedObjectExists(L"Global\\TDInstallationCompletedEvt"));
}

TEST_F(StatusTest, StartWithoutAnEndGivesUpAfterTenMinutes) {
    EXPECT_EQ(setStatus(L"0"), 0);
    EXPECT_EQ(sim.nowMs(), 600'000U);
    EXPECT_EQ(messagesAfter(3), std::vector<std::string>{"Installation continued even after 600 seconds"});
    EXPECT_EQ(sim.callCount("ReleaseMutex"), 0U);
}

TEST_F(StatusTest, AnEndAfterTheLimitIsTooLate) {
    endAt(600'001);
    EXPECT_EQ(setStatus(L"0"), 0);
    EXPECT_EQ(messagesAfter(3), std::vector<std::string>{"Installation continued even after 600 seconds"});
    sim.advance(1);
    EXPECT_EQ(logMessages().back(), "No Installation is in progress, failed to acquire install start event");
}

TEST_F(StatusTest, EndWithoutStart) {
    EXPECT_EQ(setStatus(L"1"), 0);
    EXPECT_EQ(logMessages(), (std::vector<std::string>{
                                 "Set status from command line is: 1", "TSAC Installation Ended",
                                 "No Installation is in progress, failed to acquire install start event"}));
    EXPECT_EQ(sim.callCount("OpenEventW"), 0U);
}

TEST_F(StatusTest, StartingSideFailures) {
    const struct {
        const char* call;
        std::uint32_t error;
        std::vector<std::string> tail;
    } cases[] = {
        {"CreateMutexW", 5, {"Create Mutex failed at Start of Installation: 5"}},
        {"CreateEventW", 6, {"Create Event failed at Completion of the Installation: 6"}},
        {"WaitForSingleObject",
         6,
         {"Started installation of the drivers", "WaitForObject failed with error: 4294967295"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.call);
        std::filesystem::remove(sim.hostPath(kLogPath));
        sim.clearFaults();
        sim.failCall(c.call, 0, c.error);
        EXPECT_EQ(setStatus(L"0"), 0);
        EXPECT_EQ(messagesAfter(2), c.tail);
        EXPECT_EQ(sim.openHandleCount(), 0U) << sim.openHandleReport();
    }
}

TEST_F(StatusTest, AFailedReleaseIsOnlyLogged) {
    sim.failCall("ReleaseMutex", 1, 288);
    endAt(10);
    EXPECT_EQ(setStatus(L"0"), 0);
    EXPECT_EQ(logMessages().back(), "Failed to Release Installation started event with last Error:288");
}

TEST_F(StatusTest, EndingSideFailures) {
    const struct {
        const char* call;
        std::vector<std::string> tail;
    } cases[] = {
        {"OpenEventW", {"Failed to open event for install completion: 2"}},
        {"SetEvent", {"Failed to set event for install completion: 6"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.call);
        sim.clearFaults();
        sim.failCall(c.call, 0, std::string(c.call) == "OpenEventW" ? 2 : 6);
        sim.setCurrentProcess(kStarter);
        endAt(sim.nowMs() + 1);
        EXPECT_EQ(setStatus(L"0"), 0);
        const auto messages = logMessages();
        // The ending run failed, so the starting run waits out its limit.
        EXPECT_EQ(messages.back(), "Installation continued even after 600 seconds");
        EXPECT_EQ(messages[messages.size() - 2], c.tail.back());
        std::filesystem::remove(sim.hostPath(kLogPath));
        sim.endProcess(kStarter);
    }
}

TEST_F(StatusTest, AnEndBetweenTheTwoCreationsFindsNoEvent) {
    // Mutex present, event not yet created: the platform's file-not-found.
    sim.asProcess(kStarter,
                  [this] { platform::sys().CreateMutexW(true, L"Global\\TDInstallationStartedMtx"); });
    EXPECT_EQ(setStatus(L"1"), 0);
    EXPECT_EQ(logMessages().back(), "Failed to open event for install completion: 2");
    sim.endProcess(kStarter);
}

TEST_F(StatusTest, AnEndBeforeTheWaitIsNotLost) {
    sim.asProcess(kStarter, [this] {
        platform::sys().CreateMutexW(true, L"Global\\TDInstallationStartedMtx");
        platform::sys().CreateEventW(true, false, L"Global\\TDInstallationCompletedEvt");
    });
    EXPECT_EQ(setStatus(L"1"), 0);
    sim.setCurrentProcess(300);
    EXPECT_EQ(setStatus(L"0"), 0); // a starter that arrives after the signal wakes at once
    EXPECT_EQ(sim.nowMs(), 0U);
    EXPECT_EQ(logMessages().back(), "Failed to Release Installation started event with last Error:288");
    sim.endProcess(kStarter);
}

TEST_F(StatusTest, ASecondStarterWaitsOnTheSameEventAndCannotRelease) {
    sim.at(1'000, [this] { sim.asProcess(kStarter + 1, [this] { EXPECT_EQ(setStatus(L"0"), 0); }); });
    endAt(2'000);
    sim.setCurrentProcess(kStarter);
    // The second starter's wait begins inside the first one's; the end wakes both.
    EXPECT_EQ(setStatus(L"0"), 0);
    const auto messages = logMessages();
    EXPECT_EQ(
        std::count(messages.begin(), messages.end(), "Installation of the drivers completed Successfully"),
        2);
    EXPECT_NE(std::find(messages.begin(), messages.end(),
                        "Failed to Release Installation started event with last Error:288"),
              messages.end());
    EXPECT_EQ(messages.back(), "Released Installation started event");
}

TEST_F(StatusTest, TwoEndsAfterOneStart) {
    endAt(100);
    endAt(200, kEnder + 1);
    sim.setCurrentProcess(kStarter);
    EXPECT_EQ(setStatus(L"0"), 0);
    sim.advance(500);
    EXPECT_EQ(logMessages().back(), "No Installation is in progress, failed to acquire install start event");
}

} // namespace
} // namespace tdu::test
