#include "tests/unit/Scenario.h"

#include "operator/TDriverOperator.h"

namespace tdu::test {
namespace {

// Rows: steps | the runs' results | virtual ms at the end | named objects left. Steps, ';'-separated: a
// /setstatus value run here (quoted when it has spaces), "as P" (this process is P), "holds P" / "event P" (P
// created the mutex / the event), "end T P" / "start T P" (at T, process P runs /setstatus 1 / 0, which must
// give 0), "advance N", or "fail call nth error".
constexpr char kRows[] = R"(
* start, then an end within the limit | as 100; end 5000 200; 0 | 0 | 5000 | | $START; $END; Successfully set event for install completion; $WOKE; Released Installation started event
* a start without an end gives up after ten minutes | 0 | 0 | 600000 | | $START; Installation continued even after 600 seconds
* an end after the limit is too late | end 600001 200; 0; advance 1 | 0 | 600001 | | $START; Installation continued even after 600 seconds; $END; No Installation is in progress, failed to acquire install start event
* an end without a start | 1 | 0 | 0 | | $END; No Installation is in progress, failed to acquire install start event
* the mutex cannot be created | fail CreateMutexW 0 5; 0 | 0 | 0 | | $BEGIN; Create Mutex failed at Start of Installation: 5
* the event cannot be created | fail CreateEventW 0 6; 0 | 0 | 0 | | $BEGIN; Create Event failed at Completion of the Installation: 6
* the wait fails | fail WaitForSingleObject 0 6; 0 | 0 | 0 | | $START; WaitForObject failed with error: 4294967295
* a failed release is only logged | end 10 200; fail ReleaseMutex 1 288; 0 | 0 | 10 | | $START; $END; Successfully set event for install completion; $WOKE; Failed to Release Installation started event with last Error:288
* the ending run cannot open the event: the start waits out its limit | as 100; end 1 200; fail OpenEventW 0 2; 0 | 0 | 600000 | | $START; $END; Failed to open event for install completion: 2; Installation continued even after 600 seconds
* the ending run cannot set it | as 100; end 1 200; fail SetEvent 0 6; 0 | 0 | 600000 | | $START; $END; Failed to set event for install completion: 6; Installation continued even after 600 seconds
* an end between the two creations finds no event | holds 100; 1 | 0 | 0 | mutex | $END; Failed to open event for install completion: 2
* an end before the wait is not lost; the late starter cannot release | holds 100; event 100; 1; as 300; 0 | 0 0 | 0 | mutex event | $END; Successfully set event for install completion; $START; $WOKE; Failed to Release Installation started event with last Error:288
* a second starter waits on the same event; the end wakes both | as 100; start 1000 101; end 2000 200; 0 | 0 | 2000 | | $START; $START; $END; Successfully set event for install completion; $WOKE; Failed to Release Installation started event with last Error:288; $WOKE; Released Installation started event
* two ends after one start | as 100; end 100 200; end 200 201; 0; advance 500 | 0 | 600 | | $START; $END; Successfully set event for install completion; $WOKE; Released Installation started event; $END; No Installation is in progress, failed to acquire install start event
* invalid values touch nothing | 00; 2; true; " 1"; ""; 5; "1 " | 2 2 2 2 2 2 2 | 0 | | 7* Invalid argument passed to /setstatus parameter
)";

int setStatus(const std::string& value) {
    DriverOperation record;
    record.installStatus = wide(value.starts_with('"') ? value.substr(1, value.size() - 2) : value);
    return TavrinDriverOperator().setStatus(record);
}

TEST(Status, Handshake) {
    for (const Row& row :
         rows(kRows, {{"$START", "$BEGIN; Started installation of the drivers"},
                      {"$BEGIN", "Set status from command line is: 0; TSAC Installation Started"},
                      {"$END", "Set status from command line is: 1; TSAC Installation Ended"},
                      {"$WOKE", "Installation of the drivers completed Successfully"}})) {
        RowMachine m(row);
        std::vector<std::uint32_t> others;
        std::string results;
        for (const std::string& step : split(row[1], ";")) {
            const std::vector<std::string> w = split(step, " ");
            const auto n = [&w](std::size_t i) { return static_cast<std::uint32_t>(std::stoul(w.at(i))); };
            if (w[0] == "end" || w[0] == "start") {
                others.push_back(n(2));
                m.machine.at(n(1), [&m, pid = n(2), value = w[0] == "end" ? "1" : "0"] {
                    m.machine.asProcess(pid, [value] { EXPECT_EQ(setStatus(value), 0); });
                });
            } else if (w[0] == "holds" || w[0] == "event") {
                others.push_back(n(1));
                m.machine.asProcess(n(1), [holds = w[0] == "holds"] {
                    (void)(holds ? platform::sys().CreateMutexW(true, L"Global\\TDInstallationStartedMtx")
                                 : platform::sys().CreateEventW(true, false,
                                                                L"Global\\TDInstallationCompletedEvt"));
                });
            } else if (w[0] == "as" || w[0] == "advance") {
                w[0] == "as" ? m.machine.setCurrentProcess(n(1)) : m.machine.advance(n(1));
            } else if (w[0] == "fail") {
                setUpLines(m.machine, step);
            } else {
                results += (results.empty() ? "" : " ") + std::to_string(setStatus(step));
            }
        }
        EXPECT_EQ(results, row[2]);
        EXPECT_EQ(m.machine.nowMs(), std::stoull(row[3]));
        const bool mutex = m.machine.namedObjectExists(L"Global\\TDInstallationStartedMtx");
        const bool event = m.machine.namedObjectExists(L"Global\\TDInstallationCompletedEvt");
        EXPECT_EQ(std::string(mutex ? "mutex" : "") + (mutex && event ? " " : "") + (event ? "event" : ""),
                  row[4]);
        for (const std::uint32_t pid : others) {
            m.machine.endProcess(pid);
        }
    }
}

} // namespace
} // namespace tdu::test
