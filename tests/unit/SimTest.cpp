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
// A line's cells are split at spaces; "..." quotes a cell with spaces, "" is
// empty. Every line expands {drivers}, {adapter}, {product} (the product key's
// path), {0} (a NUL) and {c*N} (N times c).
namespace {

std::wstring wide(const std::string& text) {
    return {text.begin(), text.end()};
}

std::uint32_t number(const std::string& text) {
    return static_cast<std::uint32_t>(std::stoul(text, nullptr, 0));
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

std::vector<std::string> cells(const std::string& line, char separator = ' ') {
    std::vector<std::string> out;
    for (std::size_t at = 0; at < line.size();) {
        if (line[at] == separator) {
            ++at;
        } else if (line[at] == '"') {
            const std::size_t end = std::min(line.find('"', at + 1), line.size());
            out.push_back(line.substr(at + 1, end - at - 1));
            at = end + 1;
        } else {
            const std::size_t end = std::min(line.find(separator, at), line.size());
            out.push_back(line.substr(at, end - at));
            at = end;
        }
    }
    return out;
}

std::string joined(const std::vector<std::string>& items, const std::string& separator = " ") {
    std::string out;
    for (const std::string& item : items) {
        out += (out.empty() ? "" : separator) + item;
    }
    return out;
}

int perform(const std::vector<std::string>& words, std::string& entries) {
    TavrinDriverOperator op;
    const std::string& what = words.at(0);
    const auto arg = [&words](std::size_t i) { return i < words.size() ? wide(words[i]) : std::wstring(); };
    DriverOperation record;
    const std::wstring filter = arg(1);
    std::uint32_t mode = 1;
    if (what == "@AddDevice") {
        return static_cast<int>(op.AddDevice(arg(1), nullptr, words.size() > 2));
    }
    if (what == "@ListDriverInfs") {
        std::vector<DriverStoreEntry> found;
        const int result = op.ListDriverInfs(&found);
        for (const DriverStoreEntry& entry : found) {
            entries += (entries.empty() ? "" : " ") + narrow(entry.infName) + ":" + narrow(entry.hardwareId);
        }
        return result;
    }
    if (what == "@cleanTVRNNSResiduals") {
        op.cleanTVRNNSResiduals();
        return 0;
    }
    const std::map<std::string, std::function<int()>> calls{
        {"@RemoveINFCACHE", [&] { return op.RemoveINFCACHE(); }},
        {"@RegDelNode", [&] { return static_cast<int>(op.RegDelNode(filter)); }},
        {"@isDriverTypeVirtual",
         [&] {
             record.driverType = filter;
             return static_cast<int>(op.isDriverTypeVirtual(record));
         }},
        {"@InstallSplitDnsFilter",
         [&] {
             record.infPath = filter;
             return op.InstallSplitDnsFilter(record);
         }},
        {"@UnInstallSplitDnsFilter",
         [&] {
             record.infPath = filter;
             return op.UnInstallSplitDnsFilter(record);
         }},
        {"@InstallTavrinDrivers",
         [&] {
             mode = words.size() > 2 ? number(words[2]) : 1;
             return static_cast<int>(op.InstallTavrinDrivers(record, &filter, &mode));
         }},
        {"@UnInstallTavrinDrivers",
         [&] {
             mode = words.size() > 2 ? number(words[2]) : 1;
             return static_cast<int>(op.UnInstallTavrinDrivers(&filter, &mode));
         }},
    };
    if (const auto call = calls.find(what); call != calls.end()) {
        return call->second();
    }
    std::vector<std::wstring> line{L"C:\\x\\TavrinDriverUtil.exe"};
    for (const std::string& word : words) {
        line.push_back(wide(word));
    }
    std::vector<const wchar_t*> argv;
    for (const std::wstring& word : line) {
        argv.push_back(word.c_str());
    }
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
void setUp(SimMachine& machine, const std::vector<std::string>& t) {
    const std::string& d = t.at(0);
    const auto arg = [&t](std::size_t i) { return i < t.size() ? t[i] : std::string(); };
    if (d == "drivers") {
        layOutDrivers(machine, {t.begin() + 1, t.end()});
    } else if (d == "run") {
        std::string ignored;
        EXPECT_EQ(perform({t.begin() + 1, t.end()}, ignored), 0) << "set-up run";
    } else if (d == "inf" || d == "stage") {
        const std::size_t at = d == "inf" ? 2 : 1;
        const std::wstring path =
            d == "inf" ? wide(t[1])
                       : L"C:\\earlier\\p" + std::to_wstring(machine.callCount("SetupCopyOEMInfW")) + L".inf";
        machine.writeFile(path, packageText(t[at], t[at + 1], t.size() > at + 2 ? t[at + 2] : "05/07/2021",
                                            t.size() > at + 3 ? t[at + 3] : "1.2.3.4"));
        std::wstring published;
        if (d == "stage") {
            platform::dev().SetupCopyOEMInfW(path, platform::kSpostPath, 0, published, 260);
        }
    } else if (d == "reg") {
        machine.regSetValue(wide(t[1]), wide(t[2]),
                            {platform::kRegSz, platform::RegData::text(wide(t[3])).bytes});
    } else if (d == "key" || d == "dir" || d == "windir" || d == "detail") {
        const std::map<std::string, void (SimMachine::*)(const std::wstring&)> setters{
            {"key", &SimMachine::regCreateKey},
            {"dir", &SimMachine::createDirectories},
            {"windir", &SimMachine::setWindowsDirectory},
            {"detail", &SimMachine::setDetailInfFolder}};
        (machine.*setters.at(d))(wide(t[1]));
    } else if (d == "file") {
        machine.writeFile(wide(t[1]), t.size() > 2 ? t[2] : "x");
    } else if (d == "env" && t.size() > 2) {
        machine.setEnvironment(wide(t[1]), wide(t[2]));
    } else if (d == "env") {
        machine.removeEnvironment(wide(t[1]));
    } else if (d == "fail" || d == "throw") {
        const unsigned nth = number(t[2]);
        const unsigned use = nth == 0 ? 0 : machine.callCount(t[1]) + nth;
        d == "fail" ? machine.failCall(t[1], use, number(t[3])) : machine.throwOnCall(t[1], use);
    } else if (d == "device") {
        std::optional<std::vector<std::wstring>> ids;
        for (const std::string& id : t[2] == "-" ? std::vector<std::string>{} : cells(t[2], ',')) {
            ids = ids.value_or(std::vector<std::wstring>{});
            ids->push_back(wide(id));
        }
        machine.addDevice({wide(t[1]), platform::kGuidDevClassNet, ids, arg(4) != "absent",
                           number(t.size() > 3 ? t[3] : "0"), L"", 0});
    } else if (d == "service") {
        platform::sim::SimServiceSetup service;
        service.name = wide(t[1]);
        service.refuseStop = t.size() > 2 ? number(t[2]) : 0;
        machine.services().addService(service);
    } else if (d == "net") {
        platform::sim::SimNetComponent component;
        component.infId = wide(t[1]);
        machine.netConfig().addComponent(component);
    } else if (d == "restart") {
        machine.setDriverUpdateRestart(true);
    } else {
        ADD_FAILURE() << "unknown set-up line: " << d;
    }
}

// packages | devices | device <instance id> (ids, package, flags it was registered with, class)
// | values (of the product key; {0} a NUL, #n a number) | services (* marked for deletion)
// | net | sections | file <path> | key <path> | dir <path> | entries (of @ListDriverInfs)
std::string view(SimMachine& machine, const std::string& what, const std::string& entries) {
    const std::string aspect = what.substr(0, what.find(' '));
    const std::wstring arg =
        what.find(' ') == std::string::npos ? L"" : wide(what.substr(what.find(' ') + 1));
    std::vector<std::string> out;
    if (aspect == "packages") {
        std::ranges::transform(machine.publishedPackages(), std::back_inserter(out), narrow);
    } else if (aspect == "devices") {
        for (const platform::sim::SimDevice& device : machine.devices()) {
            out.push_back(narrow(device.instanceId));
        }
    } else if (aspect == "device") {
        const auto device = machine.device(arg);
        if (!device) {
            return "none";
        }
        std::ranges::transform(device->hardwareIds.value_or(std::vector<std::wstring>{}),
                               std::back_inserter(out), narrow);
        std::ostringstream flags;
        flags << std::hex << device->installFlags;
        return "ids=" + joined(out, ",") + " inf=" + narrow(device->driverInf) + " flags=0x" + flags.str() +
               (device->classGuid == platform::kGuidDevClassNet ? " class=Net" : " class=other");
    } else if (aspect == "values") {
        for (const wchar_t* name : {L"DERAzo", L"DriverType", L"Processor_X64", L"SplitDNSFilter", L"tvrnns",
                                    L"tvrnva", L"tvrnvamgr"}) {
            if (const auto value = machine.regValue(kProductKey32, name)) {
                std::string text = narrow(name) + "=" + (value->type == platform::kRegDword ? "#" : "");
                for (std::size_t i = 0; i + 1 < value->bytes.size(); i += 2) {
                    const unsigned unit = value->bytes[i] | (value->bytes[i + 1] << 8U);
                    text += value->type == platform::kRegDword ? std::to_string(unit)
                            : unit == 0                        ? std::string("{0}")
                                                               : std::string(1, static_cast<char>(unit));
                    i += value->type == platform::kRegDword ? 2 : 0;
                }
                out.push_back(text);
            }
        }
    } else if (aspect == "services") {
        for (const wchar_t* name : {L"tvrnns", L"DERAzo", L"SplitDNSFilter"}) {
            if (machine.services().exists(name)) {
                out.push_back(narrow(name) + (machine.services().markedForDelete(name) ? "*" : ""));
            }
        }
    } else if (aspect == "net") {
        return machine.netConfig().installed(L"tvrnns") ? "tvrnns" : "";
    } else if (aspect == "sections") {
        std::ranges::transform(machine.sectionsRun(), std::back_inserter(out), narrow);
        return joined(out, " | ");
    } else if (aspect == "file" || aspect == "key") {
        return (aspect == "file" ? machine.readFile(arg).has_value() : machine.regKeyExists(arg)) ? "present"
                                                                                                  : "absent";
    } else if (aspect == "dir") {
        std::error_code ec;
        for (std::filesystem::directory_iterator it(machine.hostPath(arg), ec), end; !ec && it != end;
             it.increment(ec)) {
            out.push_back(it->path().filename().string());
        }
        std::sort(out.begin(), out.end());
    } else if (aspect == "entries") {
        return entries;
    } else {
        ADD_FAILURE() << "unknown view: " << aspect;
    }
    return joined(out);
}

void runScenario(const std::string& name, const std::vector<std::string>& body) {
    SCOPED_TRACE(name);
    FreshMachine fresh;
    SimMachine& machine = fresh.machine;
    std::size_t at = 0;
    for (; at < body.size() && !body[at].starts_with("> "); ++at) {
        setUp(machine, cells(expand(body[at])));
    }
    ASSERT_LT(at + 1, body.size()) << "a scenario needs its '> ' and '= ' lines";
    ServiceHandler::getInstance().disconnect();
    std::filesystem::remove(machine.hostPath(kLogPath));
    log::resetLogPathCache();
    std::string entries;
    const int result = perform(cells(expand(body[at].substr(2))), entries);
    EXPECT_EQ(result, static_cast<int>(std::stoll(body[at + 1].substr(2), nullptr, 0)));
    std::string log;
    for (std::size_t i = at + 2; i < body.size(); ++i) {
        const std::string line = expand(body[i]);
        if (!line.starts_with("? ")) {
            log += line + "\n";
            continue;
        }
        const std::size_t colon = (line + " ").find(": ");
        EXPECT_EQ(view(machine, line.substr(2, colon - 2), entries),
                  colon + 2 < line.size() ? line.substr(colon + 2) : "")
            << line;
    }
    EXPECT_TRUE(logMatches(logMessagesOf(machine), log, body[at + 1].ends_with("...")));
    EXPECT_EQ(machine.openHandleCount(), 0U) << machine.openHandleReport();
}

} // namespace

void runScenarios(const std::string& table, const std::string& rows) {
    std::istringstream lines(rows.empty() ? table : rows);
    for (std::string row; !rows.empty() && std::getline(lines, row);) {
        std::string text = row.empty() ? "" : table;
        for (std::size_t i = 1, at = 0; i <= 9; ++i) {
            const std::size_t end = std::min(row.find('|', at), row.size());
            std::string value = at < row.size() ? row.substr(at, end - at) : "";
            std::replace(value.begin(), value.end(), ';', '\n');
            replaceAll(text, "{" + std::to_string(i) + "}", value);
            at = end + 1;
        }
        runScenarios(text);
    }
    if (!rows.empty()) {
        return;
    }
    std::string name;
    std::vector<std::string> body;
    for (std::string line;;) {
        const bool more = static_cast<bool>(std::getline(lines, line));
        if (!more || line.starts_with("== ")) {
            if (!name.empty()) {
                runScenario(name, body);
            }
            name = more ? line.substr(3) : "";
            body.clear();
        } else if (!line.empty()) {
            body.push_back(line);
        }
        if (!more) {
            return;
        }
    }
}

} // namespace tdu::test
