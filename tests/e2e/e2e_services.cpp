// The service steps and the network service under Wine: a service of our own created in the prefix is
// stopped and deleted by the utility's ServiceHandler, and /netserv runs against Wine's INetCfg.
#include "E2eLog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tdu::e2e {
namespace {

constexpr std::uint32_t kServiceRunning = 4;
constexpr std::uint32_t kServiceStopPending = 3;
constexpr std::uint32_t kServiceStopped = 1;
constexpr std::uint32_t kServiceDoesNotExist = 1060;
// tdsvcdriver's exit code: bit i set when step i returned true.
constexpr std::uint32_t kStopped = 1;
constexpr std::uint32_t kStoppedAndRemoved = 3;

// The Windows test tools lie beside the launcher.
std::string tool(const std::string& name) {
    return windowsPathOf(launcherPath().parent_path() / name);
}

class Services : public ProgramTest {
protected:
    void SetUp() override { createVendorFolder(); }

    std::uint32_t svc(const std::vector<std::string>& args) {
        return machine.runCommand(tool("tdsvctool.exe"), args);
    }
    std::uint32_t driver(const std::vector<std::string>& args) {
        return machine.runCommand(tool("tdsvcdriver.exe"), args);
    }
    void create(const std::string& name, const std::string& arguments) {
        ASSERT_EQ(svc({"create", name, "\"" + tool("tdtestsvc.exe") + "\" " + arguments}), 0U);
    }
    // The log's records written since the last call, as "unit | message" ("<banner>" for a banner).
    std::vector<std::string> newLines() {
        const auto all = machine.exists(kLogFile) ? summarize(log()) : std::vector<std::string>{};
        std::vector<std::string> fresh(all.begin() + static_cast<std::ptrdiff_t>(seen_), all.end());
        seen_ = all.size();
        return fresh;
    }
    static std::string service(const std::string& message) { return entry("ServiceHandler.cpp", message); }

private:
    std::size_t seen_ = 0;
};

// A running service that reports STOP_PENDING with 300 ms hints for 1.2 s after the stop control; then
// the same name again, now missing; and a service that was never started.
TEST_F(Services, StopAndDeleteARunningServiceThenFindItGone) {
    create("tdtestsvc", "1200 300");
    ASSERT_EQ(svc({"start", "tdtestsvc"}), 0U);
    ASSERT_EQ(svc({"state", "tdtestsvc"}), kServiceRunning);

    EXPECT_EQ(driver({"tdtestsvc", "stop", "remove"}), kStoppedAndRemoved);
    // Wine's EnumDependentServicesW always answers "none"; the dependant paths are unit-tested only.
    EXPECT_EQ(newLines(), (std::vector<std::string>{service("There are no dependent services"),
                                                    service("'tdtestsvc' Service stopped successfully"),
                                                    service("'tdtestsvc' Service deleted successfully")}));
    EXPECT_EQ(svc({"state", "tdtestsvc"}), kServiceDoesNotExist);

    EXPECT_EQ(driver({"tdtestsvc", "stop", "remove"}), 0U);
    EXPECT_EQ(newLines(), (std::vector<std::string>{service("OpenService failed (1060)"),
                                                    service("OpenService failed (1060)")}));

    create("tdidlesvc", "");
    EXPECT_EQ(driver({"tdidlesvc", "stop", "remove"}), kStoppedAndRemoved);
    EXPECT_EQ(newLines(), (std::vector<std::string>{service("'tdidlesvc' Service is already stopped."),
                                                    service("'tdidlesvc' Service deleted successfully")}));
    EXPECT_EQ(svc({"state", "tdidlesvc"}), kServiceDoesNotExist);
}

// A service that is already stopping when the utility comes: polled at the 1 s floor until it stops.
TEST_F(Services, WaitForAServiceThatIsAlreadyStopping) {
    create("tdslowsvc", "6000 400");
    ASSERT_EQ(svc({"start", "tdslowsvc"}), 0U);
    ASSERT_EQ(svc({"stop", "tdslowsvc"}), 0U);
    ASSERT_EQ(svc({"state", "tdslowsvc"}), kServiceStopPending);

    EXPECT_EQ(driver({"tdslowsvc", "stop"}), kStopped);
    auto lines = newLines();
    ASSERT_GE(lines.size(), 2U);
    EXPECT_EQ(lines.back(), service("'tdslowsvc' Service is already stopped."));
    lines.pop_back();
    // 6 s of stopping seen at 1 s polls: however long the start-up took on a
    // busy machine, at least one poll and no more than one a second.
    EXPECT_GE(lines.size(), 1U);
    EXPECT_LE(lines.size(), 7U);
    for (const auto& line : lines) {
        EXPECT_EQ(line, service("'tdslowsvc' Service Stop Pending."));
    }
    EXPECT_EQ(svc({"state", "tdslowsvc"}), kServiceStopped);
}

// Wine's INetCfg has no FindComponent and no QueryNetCfgClass (E_NOTIMPL): an add and a remove both end in
// their failure paths, after COM, the object, its lock and Initialize have succeeded.
class NetService : public Services {};

TEST_F(NetService, AddAndRemoveEndInWinesMissingMethods) {
    const std::string prefix =
        R"(TavrinDriverOperator::HrReinstallNetService("tvrnns","Tavrin Secure, LLC","Tavrin Secure","Tavrin Secure"): )";
    const auto op = [](const std::string& message) { return entry(kOperatorUnit, message); };

    EXPECT_EQ(machine.run({"/netserv", "ADD", "/component", "tvrnns"}), kRefused);
    EXPECT_EQ(newLines(),
              (std::vector<std::string>{std::string(kBannerMark), received("/netserv ADD /component tvrnns"),
                                        op("Command received to install TVRNNS Net Service"),
                                        op("Command received to add net Service"),
                                        op(prefix + "Failed to find component. HRESULT=0x80004001\n"),
                                        op(prefix + "Failed to get NetCfgClass object. HRESULT=0x80004001\n"),
                                        op("Add/Remove of net service:tvrnns Failed")}));

    EXPECT_EQ(machine.run({"/netserv", "remove", "/component", "tvrnns"}), kRefused);
    EXPECT_EQ(newLines(), (std::vector<std::string>{
                              std::string(kBannerMark), received("/netserv remove /component tvrnns"),
                              op("Command received to install TVRNNS Net Service"),
                              op("Command received to remove net Service"),
                              op(prefix + "Failed to find component. HRESULT=0x80004001\n"),
                              op("Add/Remove of net service:tvrnns Failed")}));
}

} // namespace
} // namespace tdu::e2e
