#include "tests/unit/SimTest.h"

#include "log/LogWriter.h"
#include "service/ServiceHandler.h"

#include <algorithm>
#include <regex>
#include <stdexcept>

namespace tdu::test {

SimTest::SimTest() {
    platform::bindPlatform(sim.platform());
    log::resetLogPathCache();
    sim.createDirectories(L"C:\\Users\\Public\\Tavrin Secure");
}

void SimTest::TearDown() {
    ServiceHandler::getInstance().disconnect();
    EXPECT_EQ(sim.openHandleCount(), 0U) << sim.openHandleReport();
}

std::string SimTest::logBytes() const {
    return sim.readFile(kLogPath).value_or("");
}

std::vector<LogEntry> SimTest::logEntries() const {
    return parseLog(logBytes());
}

std::vector<std::string> logMessagesOf(const platform::sim::SimMachine& machine) {
    std::vector<std::string> messages;
    for (const LogEntry& entry : parseLog(machine.readFile(kLogPath).value_or(""))) {
        messages.push_back(entry.message);
    }
    return messages;
}

namespace {
// What was bound before, if anything: a test may run alone in its process.
platform::Platform boundOrNothing() {
    try {
        return platform::boundPlatform();
    } catch (const std::logic_error&) {
        return {};
    }
}
} // namespace

FreshMachine::FreshMachine() : previous_(boundOrNothing()) {
    platform::bindPlatform(machine.platform());
    log::resetLogPathCache();
    machine.createDirectories(L"C:\\Users\\Public\\Tavrin Secure");
}

FreshMachine::~FreshMachine() {
    ServiceHandler::getInstance().disconnect();
    platform::bindPlatform(previous_);
    log::resetLogPathCache();
}

std::string modelInf(const std::string& className, const std::string& id) {
    return "[Version]\nClass=" + className +
           "\nDriverVer=05/07/2021,1.2.3.4\n[Manufacturer]\nT=Std,NTamd64\n" +
           "[Std.NTamd64]\nDevice=Device_Install, " + id + "\n";
}

const std::map<std::string, std::string>& packageTexts() {
    static const std::map<std::string, std::string> texts{
        {"tvrnvamgr\\tvrnvamgr.inf", modelInf("Net", "tvrnvamgr")},
        {"tvrnva\\tvrnva.inf", modelInf("Net", kAdapterId)},
        {"tvrnva_virtual\\tvrnva.inf", modelInf("Net", kAdapterId)},
        {"SplitDNSFilter\\SplitDNSFilter.inf",
         "[Version]\nClass=NetService\n"
         "[DefaultInstall]\nAddReg=F.AddReg\n[DefaultInstall.Services]\nAddService=SplitDNSFilter,,F.Svc\n"
         "[DefaultUnInstall]\nDelReg=F.DelReg\n[DefaultUnInstall.Services]\nDelService=SplitDNSFilter,0x200\n"
         "[F.AddReg]\nHKLM, SOFTWARE\\TavrinSecure\\SplitDNSFilter, Installed, 0x00010001, 1\n"
         "[F.DelReg]\nHKLM, SOFTWARE\\TavrinSecure\\SplitDNSFilter, Installed\n"},
        {"DERAzo\\DERAzo.inf", "[Version]\nClass=ActivityMonitor\n[DefaultInstall.NTamd64]\n"
                               "[DefaultInstall.NTamd64.Services]\nAddService=DERAzo,,D.Svc\n"},
    };
    return texts;
}

void layOutDrivers(platform::sim::SimMachine& machine, const std::set<std::string>& missingFolders) {
    for (const auto& [relative, text] : packageTexts()) {
        if (missingFolders.count(relative.substr(0, relative.find('\\'))) == 0) {
            machine.writeFile(kDrivers + std::wstring(relative.begin(), relative.end()), text);
        }
    }
}

std::vector<LogEntry> parseLog(const std::string& text) {
    static const std::regex header(R"(\[\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\] \[([^\]\r\n]*)\((-?\d+)\)\] \| )");
    static const std::string bannerStart = "\r\n\r\n\r\n" + std::string(96, '*');
    std::vector<LogEntry> entries;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), header); it != std::sregex_iterator();
         ++it) {
        const auto& match = *it;
        const auto start = static_cast<std::size_t>(match.position(0) + match.length(0));
        auto next = std::next(it);
        std::size_t end =
            next == std::sregex_iterator() ? text.size() : static_cast<std::size_t>(next->position(0));
        end = std::min(end, text.find(bannerStart, start));
        std::string body = text.substr(start, end - start);
        if (body.size() >= 2 && body.ends_with("\r\n")) {
            body.resize(body.size() - 2);
        }
        for (std::size_t pos = 0; (pos = body.find("\r\n", pos)) != std::string::npos;) {
            body.erase(pos, 1);
        }
        entries.push_back(LogEntry{match.str(1), std::stoi(match.str(2)), body});
    }
    return entries;
}

std::vector<std::string> SimTest::logMessages() const {
    std::vector<std::string> messages;
    for (const LogEntry& entry : logEntries()) {
        messages.push_back(entry.message);
    }
    return messages;
}

bool SimTest::logged(const std::string& message) const {
    const std::vector<std::string> messages = logMessages();
    return std::find(messages.begin(), messages.end(), message) != messages.end();
}

std::string narrow(std::wstring_view text) {
    std::string out;
    for (const wchar_t ch : text) {
        out.push_back(static_cast<char>(ch));
    }
    return out;
}

} // namespace tdu::test
