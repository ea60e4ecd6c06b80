#include "tests/unit/SimTest.h"

#include "app/TavrinDriverUtil.h"
#include "log/LogWriter.h"
#include "operator/TDriverOperator.h"
#include "platform/sim/SimNetConfig.h"
#include "platform/sim/SimServices.h"
#include "service/ServiceHandler.h"

#include <algorithm>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace tdu::test {

using platform::sim::SimMachine;

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

std::vector<std::string> logMessagesOf(const SimMachine& machine) {
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

std::string packageText(const std::string& className, const std::string& ids, const std::string& date,
                        const std::string& version) {
    std::string text = "[Version]\nClass=" + className + "\nDriverVer=" + date + "," + version +
                       "\n[Manufacturer]\nT=Std,NTamd64\n[Std.NTamd64]\n";
    std::istringstream list(ids);
    for (std::string id; std::getline(list, id, ',');) {
        text += "Device=Device_Install, " + id + "\n";
    }
    return text;
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
    return packageText(className, id, "05/07/2021", "1.2.3.4");
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

void layOutDrivers(SimMachine& machine, const std::set<std::string>& missingFolders) {
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
    return logMessagesOf(sim);
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

::testing::AssertionResult logMatches(const std::vector<std::string>& messages, const std::string& block,
                                      bool inOrder) {
    std::vector<std::string> expected;
    std::string problem;
    std::istringstream lines(block);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("!")) {
            if (std::find(messages.begin(), messages.end(), line.substr(1)) != messages.end()) {
                problem = "logged: " + line.substr(1);
            }
        } else if (!line.empty()) {
            expected.push_back(line.ends_with("\\n") ? line.substr(0, line.size() - 2) + "\n" : line);
        }
    }
    auto at = messages.begin();
    for (const std::string& line : expected) {
        at = inOrder ? std::find(at, messages.end(), line) : at;
        if (problem.empty() && (at == messages.end() || *at != line)) {
            problem = "missing or out of order: " + line;
        }
        at += at == messages.end() ? 0 : 1;
    }
    if (problem.empty() && (inOrder || at == messages.end())) {
        return ::testing::AssertionSuccess();
    }
    std::string logged;
    for (const std::string& message : messages) {
        logged += (message.ends_with("\n") ? message.substr(0, message.size() - 1) + "\\n" : message) + "\n";
    }
    return ::testing::AssertionFailure()
           << (problem.empty() ? "more lines than expected" : problem) << "\nthe log:\n"
           << logged;
}

// A table holds scenarios, each from a line "== name" to the next:
//   set-up lines (see setUp), applied in order to a fresh machine;
//   "> " and a command line after the program's name, or "> @Operation args"
//   for one operator call (see perform; a bool answers 1 for true);
//   "= " and the exit code, all 32 bits; "= 0 ..." compares the log in order only;
//   the log messages, one a line (see logMatches);
//   "? aspect: value" lines, each comparing one view of the machine after (see view).
// A line's words are split at spaces; "..." quotes one with spaces, "" is
// empty. Every line expands {drivers}, {adapter}, {product} (the product key's
// path), {0} (a NUL) and {c*N} (N times c).
namespace {

using Words = std::vector<std::string>;

std::string word(const Words& words, std::size_t i) {
    return i < words.size() ? words[i] : "";
}

std::wstring wide(const std::string& text) {
    return {text.begin(), text.end()};
}

std::uint32_t number(const std::string& text) {
    return static_cast<std::uint32_t>(std::stoul(text.empty() ? "0" : text, nullptr, 0));
}

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
        text.replace(at, from.size(), to);
    }
}

std::string expand(std::string text) {
    static const std::regex repeat(R"(\{(.)\*(\d+)\})");
    const std::pair<std::string, std::string> names[] = {{"{drivers}", narrow(kDrivers)},
                                                         {"{adapter}", kAdapterId},
                                                         {"{product}", narrow(kProductKey32)},
                                                         {"{0}", std::string(1, '\0')}};
    for (const auto& [name, value] : names) {
        replaceAll(text, name, value);
    }
    std::string out;
    for (std::smatch match; std::regex_search(text, match, repeat); text = match.suffix().str()) {
        out += match.prefix().str() + std::string(std::stoul(match.str(2)), match.str(1)[0]);
    }
    return out + text;
}

Words split(const std::string& line, char separator = ' ') {
    Words out;
    for (std::size_t at = 0, end = 0; at < line.size(); at = end + 1) {
        const bool quoted = line[at] == '"';
        end = line[at] == separator ? at : std::min(line.find(quoted ? '"' : separator, at + 1), line.size());
        if (line[at] != separator) {
            out.push_back(line.substr(at + (quoted ? 1 : 0), end - at - (quoted ? 1 : 0)));
        }
    }
    return out;
}

std::string joined(const Words& items, const std::string& separator = " ") {
    std::string out;
    for (const std::string& item : items) {
        out += (out.empty() ? "" : separator) + item;
    }
    return out;
}

int perform(const Words& words, std::string& entries) {
    TavrinDriverOperator op;
    const std::string what = word(words, 0);
    const std::wstring arg = wide(word(words, 1));
    DriverOperation record;
    record.infPath = arg;
    record.driverType = what == "@isDriverTypeVirtual" ? arg : L"";
    const std::uint32_t mode = what.ends_with("TavrinDrivers") ? number(word(words, 2)) : 0;
    std::vector<DriverStoreEntry> found;
    const std::map<std::string, std::function<int()>> calls{
        {"@AddDevice", [&] { return static_cast<int>(op.AddDevice(arg, nullptr, words.size() > 2)); }},
        {"@ListDriverInfs", [&] { return op.ListDriverInfs(&found); }},
        {"@cleanTVRNNSResiduals", [&] { return op.cleanTVRNNSResiduals(), 0; }},
        {"@RemoveINFCACHE", [&] { return op.RemoveINFCACHE(); }},
        {"@RegDelNode", [&] { return static_cast<int>(op.RegDelNode(arg)); }},
        {"@isDriverTypeVirtual", [&] { return static_cast<int>(op.isDriverTypeVirtual(record)); }},
        {"@InstallSplitDnsFilter", [&] { return op.InstallSplitDnsFilter(record); }},
        {"@UnInstallSplitDnsFilter", [&] { return op.UnInstallSplitDnsFilter(record); }},
        {"@InstallTavrinDrivers", [&] { return static_cast<int>(op.InstallTavrinDrivers({}, &arg, &mode)); }},
        {"@UnInstallTavrinDrivers", [&] { return static_cast<int>(op.UnInstallTavrinDrivers(&arg, &mode)); }},
    };
    if (const auto call = calls.find(what); call != calls.end()) {
        const int result = call->second();
        ServiceHandler::getInstance().disconnect();
        for (const DriverStoreEntry& entry : found) {
            entries += (entries.empty() ? "" : " ") + narrow(entry.infName) + ":" + narrow(entry.hardwareId);
        }
        return result;
    }
    std::vector<std::wstring> line{L"C:\\x\\TavrinDriverUtil.exe"};
    std::vector<const wchar_t*> argv;
    std::ranges::transform(words, std::back_inserter(line), wide);
    std::ranges::transform(line, std::back_inserter(argv), [](const std::wstring& w) { return w.c_str(); });
    TDCmdLineParser parser;
    const int result = RunTavrinDriverUtil(nullptr, static_cast<unsigned>(argv.size()), argv.data(), parser);
    ServiceHandler::getInstance().disconnect();
    return result;
}

// drivers [missing folder...] | run <command line> | inf <path> <class> <id,id...> [date version]
// | stage <class> <id,id...> [date version] (published from a file of its own) | reg <key> <name> <text>
// | key <path> | file <path> [text] | dir <path> | env <name> [value] (none: removed)
// | fail <call> <nth> <error> (nth counts from here; 0: every use) | throw <call> <nth>
// | device <instance id> <id,id...|-> [removal flags] [absent] | service <name> [refused stop's error]
// | net <component> | windir <path> | detail <store folder as driver details spell it> | restart
void setUp(SimMachine& machine, const Words& t) {
    const auto w = [&t](std::size_t i) { return wide(word(t, i)); };
    const std::wstring source =
        t[0] == "inf" ? w(1)
                      : L"C:\\earlier\\p" + std::to_wstring(machine.callCount("SetupCopyOEMInfW")) + L".inf";
    const bool faulty = t[0] == "fail" || t[0] == "throw";
    const unsigned use = !faulty || number(t[2]) == 0 ? 0 : machine.callCount(t[1]) + number(t[2]);
    std::optional<std::vector<std::wstring>> ids;
    if (t[0] == "device" && t[2] != "-") {
        ids.emplace();
        std::ranges::transform(split(t[2], ','), std::back_inserter(*ids), wide);
    }
    platform::sim::SimServiceSetup service;
    service.name = w(1);
    service.refuseStop = t[0] == "service" ? number(word(t, 2)) : 0;
    platform::sim::SimNetComponent component;
    component.infId = w(1);
    std::string ignored;
    const auto text = [&t](std::size_t at) {
        return packageText(t[at], t[at + 1], t.size() > at + 2 ? t[at + 2] : "05/07/2021",
                           t.size() > at + 3 ? t[at + 3] : "1.2.3.4");
    };
    const std::map<std::string, std::function<void()>> steps{
        {"drivers",
         [&] {
             layOutDrivers(machine, {t.begin() + 1, t.end()});
         }},
        {"run",
         [&] {
             EXPECT_EQ(perform({t.begin() + 1, t.end()}, ignored), 0) << "set-up run";
         }},
        {"inf", [&] { machine.writeFile(source, text(2)); }},
        {"stage", [&] { machine.writeFile(source, text(1)); }},
        {"reg",
         [&] {
             machine.regSetValue(w(1), w(2), {platform::kRegSz, platform::RegData::text(w(3)).bytes});
         }},
        {"key", [&] { machine.regCreateKey(w(1)); }},
        {"file", [&] { machine.writeFile(w(1), word(t, 2)); }},
        {"dir", [&] { machine.createDirectories(w(1)); }},
        {"env", [&] { t.size() > 2 ? machine.setEnvironment(w(1), w(2)) : machine.removeEnvironment(w(1)); }},
        {"fail", [&] { machine.failCall(t[1], use, number(t[3])); }},
        {"throw", [&] { machine.throwOnCall(t[1], use); }},
        {"device",
         [&] {
             machine.addDevice(
                 {w(1), platform::kGuidDevClassNet, ids, t.back() != "absent", number(word(t, 3)), L"", 0});
         }},
        {"service", [&] { machine.services().addService(service); }},
        {"net", [&] { machine.netConfig().addComponent(component); }},
        {"windir", [&] { machine.setWindowsDirectory(w(1)); }},
        {"detail", [&] { machine.setDetailInfFolder(w(1)); }},
        {"restart", [&] { machine.setDriverUpdateRestart(true); }},
    };
    steps.at(t[0])();
    std::wstring published;
    if (t[0] == "stage") {
        platform::dev().SetupCopyOEMInfW(source, platform::kSpostPath, 0, published, 260);
    }
}

// A value's UTF-16 units with {0} for a NUL, or #n for a number.
std::string valueText(const std::optional<platform::sim::SimRegValue>& value) {
    std::string text;
    std::uint32_t number = 0;
    for (std::size_t i = 0; value && i + 1 < value->bytes.size(); i += 2) {
        const auto unit = static_cast<unsigned>(value->bytes[i] | (value->bytes[i + 1] << 8U));
        text += unit == 0 ? "{0}" : std::string(1, static_cast<char>(unit));
        number |= i < 4 ? unit << (i * 8U) : 0U;
    }
    return value && value->type == platform::kRegDword ? "#" + std::to_string(number) : text;
}

// packages (sorted) | devices (sorted) | device <instance id> (ids, package, flags it was
// registered with, class) | values (of the product key) | value <key> <name>
// | services (* marked for deletion) | net | sections | file <path> | key <path>
// | dir <path> | entries (those @ListDriverInfs found)
std::string view(SimMachine& machine, const std::string& what, const std::string& entries) {
    const Words t = split(what);
    const std::wstring arg = wide(word(t, 1));
    Words out;
    std::ostringstream text;
    if (t[0] == "packages" || t[0] == "sections") {
        std::ranges::transform(t[0] == "packages" ? machine.publishedPackages() : machine.sectionsRun(),
                               std::back_inserter(out), narrow);
        std::sort(out.begin(), t[0] == "packages" ? out.end() : out.begin());
        return joined(out, t[0] == "packages" ? " " : ", ");
    }
    for (const platform::sim::SimDevice& device : machine.devices()) {
        out.push_back(narrow(device.instanceId));
        if (t[0] == "device" && device.instanceId == arg) {
            Words ids;
            std::ranges::transform(device.hardwareIds.value_or(std::vector<std::wstring>{}),
                                   std::back_inserter(ids), narrow);
            text << "ids=" << joined(ids, ",") << " inf=" << narrow(device.driverInf) << " flags=0x"
                 << std::hex << device.installFlags
                 << " class=" << (device.classGuid == platform::kGuidDevClassNet ? "Net" : "other");
            return text.str();
        }
    }
    if (t[0] == "devices") {
        std::sort(out.begin(), out.end());
        return joined(out);
    }
    out.clear();
    for (const wchar_t* name : {L"DERAzo", L"DriverType", L"Processor_X64", L"SplitDNSFilter", L"tvrnns",
                                L"tvrnva", L"tvrnvamgr"}) {
        if (const auto value = machine.regValue(kProductKey32, name); value && t[0] == "values") {
            out.push_back(narrow(name) + "=" + valueText(value));
        }
        if (t[0] == "services" && machine.services().exists(name)) {
            out.push_back(narrow(name) + (machine.services().markedForDelete(name) ? "*" : ""));
        }
    }
    if (t[0] == "value") {
        return valueText(machine.regValue(arg, wide(t[2])));
    }
    if (t[0] == "net") {
        return machine.netConfig().installed(L"tvrnns") ? "tvrnns" : "";
    }
    if (t[0] == "file" || t[0] == "key") {
        return (t[0] == "file" ? machine.readFile(arg).has_value() : machine.regKeyExists(arg)) ? "present"
                                                                                                : "absent";
    }
    std::error_code ec;
    for (std::filesystem::directory_iterator it(machine.hostPath(arg), ec), end;
         t[0] == "dir" && !ec && it != end; it.increment(ec)) {
        out.push_back(it->path().filename().string());
    }
    std::sort(out.begin(), out.end());
    return t[0] == "entries" ? entries : joined(out);
}

void runScenario(const std::string& name, const Words& body) {
    SCOPED_TRACE(name);
    FreshMachine fresh;
    SimMachine& machine = fresh.machine;
    std::size_t at = 0;
    for (; at < body.size() && !body[at].starts_with("> "); ++at) {
        setUp(machine, split(expand(body[at])));
    }
    ASSERT_LT(at + 1, body.size()) << "a scenario needs its '> ' and '= ' lines";
    ServiceHandler::getInstance().disconnect();
    std::filesystem::remove(machine.hostPath(kLogPath));
    log::resetLogPathCache();
    std::string entries;
    std::string log;
    EXPECT_EQ(perform(split(expand(body[at].substr(2))), entries),
              static_cast<int>(std::stoll(body[at + 1].substr(2), nullptr, 0)));
    for (std::size_t i = at + 2; i < body.size(); ++i) {
        const std::string line = expand(body[i]) + " ";
        const std::size_t colon = line.find(": ");
        if (line.starts_with("? ")) {
            EXPECT_EQ(view(machine, line.substr(2, colon - 2), entries),
                      line.substr(colon + 2, line.size() - colon - 3))
                << line;
        } else {
            log += line.substr(0, line.size() - 1) + "\n";
        }
    }
    EXPECT_TRUE(logMatches(logMessagesOf(machine), log, body[at + 1].ends_with("...")));
    EXPECT_EQ(machine.openHandleCount(), 0U) << machine.openHandleReport();
}

} // namespace

void setUpLines(SimMachine& machine, const std::string& lines) {
    for (const std::string& line : split(expand(lines), ';')) {
        setUp(machine, split(line));
    }
}

int runLine(const std::string& line) {
    std::string entries;
    return perform(split(expand(line)), entries);
}

void runScenarios(const std::string& table, const std::string& rows) {
    std::istringstream text(rows.empty() ? table : rows);
    Words lines;
    for (std::string line; std::getline(text, line);) {
        lines.push_back(line);
    }
    for (const std::string& row : rows.empty() ? Words{} : lines) {
        std::string scenario = row.empty() ? "" : table;
        for (std::size_t i = 1, at = 0; i <= 9; ++i, at = std::min(row.find('|', at), row.size()) + 1) {
            std::string cell = at < row.size() ? row.substr(at, row.find('|', at) - at) : "";
            std::replace(cell.begin(), cell.end(), ';', '\n');
            replaceAll(scenario, "{" + std::to_string(i) + "}", cell);
        }
        runScenarios(scenario);
    }
    for (std::size_t i = 0; rows.empty() && i < lines.size(); ++i) {
        Words body;
        for (std::size_t j = i + 1;
             lines[i].starts_with("== ") && j < lines.size() && !lines[j].starts_with("== "); ++j) {
            if (!lines[j].empty()) {
                body.push_back(lines[j]);
            }
        }
        if (lines[i].starts_with("== ")) {
            runScenario(lines[i].substr(3), body);
        }
    }
}

} // namespace tdu::test
