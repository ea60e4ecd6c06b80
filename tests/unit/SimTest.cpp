#include "tests/unit/SimTest.h"

#include "app/TavrinDriverUtil.h"
#include "log/LogWriter.h"
#include "operator/TDriverOperator.h"
#include "platform/sim/SimNetConfig.h"
#include "platform/sim/SimServices.h"
#include "service/ServiceHandler.h"

#include <algorithm>
#include <iomanip>
#include <map>
#include <regex>
#include <set>
#include <span>
#include <sstream>
#include <stdexcept>

namespace tdu::test {

using platform::sim::SimMachine;

namespace {
// What was bound before, if anything: a test may run alone in its process.
platform::Platform boundOrNothing() {
    try {
        return platform::boundPlatform();
    } catch (const std::logic_error&) {
        return {};
    }
}

constexpr wchar_t kProductKey32[] = L"SOFTWARE\\Wow6432Node\\TavrinSecure\\TavrinDrivers";
// The product's drivers folder, where the installer lays out every component.
constexpr wchar_t kDrivers[] = L"C:\\Program Files (x86)\\Tavrin Secure\\TavrinDrivers\\x64Drivers\\";
constexpr char kAdapterId[] = "{FE36527A-8C07-4854-8AF7-BF40E7DF52F7}\\TVRNVA";

std::string packageText(const std::string& className, const std::string& ids, const std::string& date = "",
                        const std::string& version = "") {
    std::string text =
        "[Version]\nClass=" + className + "\nDriverVer=" + (date.empty() ? "05/07/2021" : date) + "," +
        (version.empty() ? "1.2.3.4" : version) + "\n[Manufacturer]\nT=Std,NTamd64\n[Std.NTamd64]\n";
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
    log::resetLogPathCache(); // its folders are this machine's
    platform::bindPlatform(previous_);
}

::testing::AssertionResult nothingLeftOpen(SimMachine& machine) {
    log::resetLogPathCache();
    if (machine.openHandleCount() == 0) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "left open:\n" << machine.openHandleReport();
}

void SimTest::TearDown() {
    ServiceHandler::getInstance().disconnect();
    EXPECT_TRUE(nothingLeftOpen(sim));
}

std::vector<LogEntry> parseLog(const std::string& text) {
    static const std::regex header(R"(\[\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\] \[([^\]\r\n]*)\((-?\d+)\)\] \| )");
    static const std::regex crlf("\r\n");
    static const std::string bannerStart = "\r\n\r\n\r\n" + std::string(96, '*');
    std::vector<LogEntry> entries;
    for (std::sregex_iterator it(text.begin(), text.end(), header), end; it != end; ++it) {
        const auto start = static_cast<std::size_t>(it->position(0) + it->length(0));
        const auto next = std::next(it);
        const std::size_t stop = next == end ? text.size() : static_cast<std::size_t>(next->position(0));
        std::string body = text.substr(start, std::min(stop, text.find(bannerStart, start)) - start);
        body.resize(body.size() - (body.ends_with("\r\n") ? 2 : 0));
        entries.push_back(LogEntry{it->str(1), std::regex_replace(body, crlf, "\n")});
    }
    return entries;
}

std::vector<std::string> logMessagesOf(const SimMachine& machine) {
    std::vector<std::string> messages;
    for (const LogEntry& entry : parseLog(machine.readFile(kLogPath).value_or(""))) {
        messages.push_back(entry.message);
    }
    return messages;
}

std::optional<std::pair<std::size_t, std::string>>
logProblem(const std::vector<std::string>& messages, const std::vector<std::string>& expected, bool whole) {
    std::string logged;
    for (const std::string& message : messages) {
        logged +=
            "\n    " + (message.ends_with("\n") ? message.substr(0, message.size() - 1) + "\\n" : message);
    }
    auto at = messages.begin();
    for (std::size_t i = 0; i < expected.size(); ++i) {
        std::string line = expected[i];
        if (line.starts_with("!")) {
            if (std::ranges::count(messages, line.substr(1)) != 0) {
                return std::pair{i, "logged all the same: " + line.substr(1) + "\nthe log:" + logged};
            }
            continue;
        }
        line = line.ends_with("\\n") ? line.substr(0, line.size() - 2) + "\n" : line;
        at = whole ? at : std::find(at, messages.end(), line);
        if (at == messages.end() || *at != line) {
            return std::pair{i, "missing, or out of order: " + expected[i] + "\nthe log:" + logged};
        }
        ++at;
    }
    if (whole && at != messages.end()) {
        return std::pair{expected.size(), "more lines than these\nthe log:" + logged};
    }
    return std::nullopt;
}

::testing::AssertionResult logMatches(const std::vector<std::string>& messages, const std::string& block,
                                      bool whole) {
    std::vector<std::string> expected;
    std::istringstream lines(block);
    for (std::string line; std::getline(lines, line);) {
        line.empty() ? void() : expected.push_back(line);
    }
    const auto problem = logProblem(messages, expected, whole);
    return problem ? ::testing::AssertionFailure() << problem->second : ::testing::AssertionSuccess();
}

// A scenario line's words are split at blanks; "..." quotes one with blanks, "" is empty. Every line
// expands {drivers}, {adapter}, {product} (the product key's path), {logs} (the log's folder), {difx},
// {0} (a NUL) and {c*N} (N times c).
namespace {

using Words = std::vector<std::string>;

std::string word(const Words& words, std::size_t i) {
    return i < words.size() ? words[i] : "";
}

std::uint32_t number(const std::string& text) {
    return static_cast<std::uint32_t>(std::stoul(text.empty() ? "0" : text, nullptr, 0));
}

// A published package as rows name it, never by the store's "oem<N>.inf": a
// package from the drivers folder by its sub-folder, "<tvrnva_virtual>", any
// other by its INF's file name, "<tvrnns.inf>". Set-up lines get the name the
// store gave it (the latest); views and logged lines show the store's names so.
std::vector<std::pair<std::string, std::string>> published(const SimMachine& machine) {
    std::vector<std::pair<std::string, std::string>> names;
    for (const auto& [store, source] : machine.publications()) {
        const std::string path = narrow(source);
        const std::size_t in = path.find("\\x64Drivers\\");
        const std::string name = in == std::string::npos
                                     ? path.substr(path.rfind('\\') + 1)
                                     : path.substr(in + 12, path.find('\\', in + 12) - in - 12);
        names.emplace_back(narrow(store), "<" + name + ">");
    }
    return names;
}

std::string storeNames(const SimMachine& machine, std::string text) {
    for (const auto& [store, row] : published(machine)) {
        for (std::size_t at = 0; (at = text.find(row, at)) != std::string::npos;) {
            text.replace(at, row.size(), store);
        }
    }
    EXPECT_FALSE(std::regex_search(text, std::regex(R"(<[\w.,{}-]+>)"))) << "not published yet: " << text;
    return text;
}

// A store name given twice in a scenario would leave rows unable to tell its packages apart.
std::string rowNames(const SimMachine& machine, std::string text) {
    static const std::regex oem(R"(\boem\d+\.inf(?![\w.]))");
    const auto names = published(machine);
    std::string out;
    for (std::smatch match; std::regex_search(text, match, oem); text = match.suffix().str()) {
        std::set<std::string> rows;
        for (const auto& [store, row] : names) {
            store == match.str(0) ? void(rows.insert(row)) : void();
        }
        EXPECT_LE(rows.size(), 1U) << match.str(0) << " was given to " << rows.size() << " packages";
        out += match.prefix().str() + (rows.empty() ? match.str(0) : *rows.begin());
    }
    return out + text;
}

std::string expand(std::string text) {
    static const std::regex names(R"(\{(drivers|adapter|product|logs|difx|0|(.)\*(\d+))\})");
    static const std::map<std::string, std::string> values{
        {"drivers", narrow(kDrivers)},
        {"adapter", kAdapterId},
        {"product", narrow(kProductKey32)},
        {"logs", narrow(kLogPath).substr(0, narrow(kLogPath).rfind('\\'))},
        {"difx", "{9AC1F0E9-DE2F-4b2d-910C-65CAEE9153D9}"}, // the net service's DIFx component
        {"0", std::string(1, '\0')}};
    std::string out;
    for (std::smatch match; std::regex_search(text, match, names); text = match.suffix().str()) {
        out +=
            match.prefix().str() + (match[2].matched ? std::string(std::stoul(match.str(3)), match.str(2)[0])
                                                     : values.at(match.str(1)));
    }
    return out + text;
}

Words split(const std::string& line) {
    Words out;
    std::istringstream in(line);
    for (std::string item; in >> std::quoted(item, '"', '\x01');) {
        out.push_back(item);
    }
    return out;
}

int perform(const Words& words, std::string& entries) {
    TavrinDriverOperator op;
    const std::string what = word(words, 0);
    const std::wstring arg = wide(word(words, 1));
    DriverOperation record;
    record.infPath = arg;
    const std::uint32_t mode = what.ends_with("TavrinDrivers") ? number(word(words, 2)) : 0;
    std::vector<DriverStoreEntry> found;
    const std::map<std::string, std::function<int()>> calls{
        {"@AddDevice", [&] { return static_cast<int>(op.AddDevice(arg, nullptr, words.size() > 2)); }},
        {"@ListDriverInfs", [&] { return op.ListDriverInfs(&found); }},
        {"@cleanTVRNNSResiduals", [&] { return op.cleanTVRNNSResiduals(), 0; }},
        {"@RemoveINFCACHE", [&] { return op.RemoveINFCACHE(); }},
        {"@RegDelNode", [&] { return static_cast<int>(op.RegDelNode(arg)); }},
        {"@InstallSplitDnsFilter", [&] { return op.InstallSplitDnsFilter(record); }},
        {"@UnInstallSplitDnsFilter", [&] { return op.UnInstallSplitDnsFilter(record); }},
        {"@InstallTavrinDrivers", [&] { return static_cast<int>(op.InstallTavrinDrivers({}, &arg, &mode)); }},
        {"@UnInstallTavrinDrivers", [&] { return static_cast<int>(op.UnInstallTavrinDrivers(&arg, &mode)); }},
    };
    int result = 0;
    if (const auto call = calls.find(what); call != calls.end()) {
        result = call->second();
    } else {
        std::vector<std::wstring> line{L"C:\\x\\TavrinDriverUtil.exe"};
        std::vector<const wchar_t*> argv;
        std::ranges::transform(words, std::back_inserter(line), wide);
        std::ranges::transform(line, std::back_inserter(argv),
                               [](const std::wstring& w) { return w.c_str(); });
        TDCmdLineParser parser;
        result = RunTavrinDriverUtil(nullptr, static_cast<unsigned>(argv.size()), argv.data(), parser);
    }
    ServiceHandler::getInstance().disconnect();
    for (const DriverStoreEntry& entry : found) {
        entries += (entries.empty() ? "" : " ") + narrow(entry.infName) + ":" + narrow(entry.hardwareId);
    }
    return result;
}

// drivers [missing folder...] (the sample packages' layout) | run <command line> (the log starts after it)
// | inf <path> <class> <id,id...> [date version] | stage <class> <id,id...> [date version] (published
// from a file of its own) | reg <key> <name> <text> | key <path> | file <path> [text] | dir <path>
// | rm <path> | link <target> <link> (symbolic) | hardlink <target> <link> | env <name> [value] (none:
// removed) | fail <call> <nth> <error> (nth counts from here; 0: every use) | throw <call> <nth>
// | device <instance id> <id,id...|-> [removal flags] [absent] | service <name> [refused stop's error]
// | net <component> | windir <path> | detail <store folder as driver details spell it> | restart
// | owner <path> <SID> | user <SID> (the account the run uses) | at <call> <nth> swap <folder> <target>
// (at that use of the call, nth counting from here, another user's process renames the folder aside
// and, when it could, plants a junction to the target in its place).
// False when a link cannot be made: the Windows build's host (Wine) makes no
// symbolic links and its run-time counts no second names. The scenario is then
// reported skipped, with the line it could not set up.
bool setUp(SimMachine& machine, const Words& t) {
    const auto w = [&t](std::size_t i) { return wide(word(t, i)); };
    const auto text = [&t](std::size_t at) {
        return packageText(t[at], t[at + 1], word(t, at + 2), word(t, at + 3));
    };
    std::string staged = word(t, 2);
    std::replace(staged.begin(), staged.end(), '\\', '_');
    const std::wstring earlier = wide("C:\\earlier\\" + word(t, 1) + "\\" + staged + ".inf");
    if (t.empty()) {
        return true;
    }
    std::error_code ec;
    const std::string& verb = t[0];
    if (verb == "drivers") {
        const std::filesystem::path samples = std::filesystem::path(TDU_SAMPLES_DIR) / "x64Drivers";
        for (const auto& file : std::filesystem::recursive_directory_iterator(samples)) {
            const std::string relative = std::filesystem::relative(file.path(), samples).generic_string();
            if (file.is_regular_file() &&
                std::find(t.begin() + 1, t.end(), relative.substr(0, relative.find('/'))) == t.end()) {
                std::string windowsPath = narrow(kDrivers) + relative;
                std::replace(windowsPath.begin(), windowsPath.end(), '/', '\\');
                machine.writeFile(wide(windowsPath), platform::sim::readHostFile(file.path()).value_or(""));
            }
        }
    } else if (verb == "run") {
        std::string ignored;
        EXPECT_EQ(perform({t.begin() + 1, t.end()}, ignored), 0) << "set-up run";
        std::filesystem::remove(machine.hostPath(kLogPath));
        log::resetLogPathCache();
    } else if (verb == "inf") {
        machine.writeFile(w(1), text(2));
    } else if (verb == "stage") {
        machine.writeFile(earlier, text(1));
        std::wstring published;
        platform::dev().SetupCopyOEMInfW(earlier, platform::kSpostPath, 0, published, 260);
    } else if (verb == "reg") {
        machine.regSetValue(w(1), w(2), {platform::kRegSz, platform::RegData::text(w(3)).bytes});
    } else if (verb == "key") {
        machine.regCreateKey(w(1));
    } else if (verb == "file") {
        machine.writeFile(w(1), word(t, 2));
    } else if (verb == "dir") {
        machine.createDirectories(w(1));
    } else if (verb == "rm") {
        std::filesystem::remove_all(machine.hostPath(w(1)));
    } else if (verb == "link") {
        if (std::filesystem::is_directory(machine.hostPath(w(1)))) {
            std::filesystem::create_directory_symlink(machine.hostPath(w(1)), machine.hostPath(w(2)), ec);
        } else {
            std::filesystem::create_symlink(machine.hostPath(w(1)), machine.hostPath(w(2)), ec);
        }
        return !ec;
    } else if (verb == "hardlink") {
        std::filesystem::create_hard_link(machine.hostPath(w(1)), machine.hostPath(w(2)), ec);
        return !ec && std::filesystem::hard_link_count(machine.hostPath(w(2)), ec) == 2;
    } else if (verb == "env") {
        t.size() > 2 ? machine.setEnvironment(w(1), w(2)) : machine.removeEnvironment(w(1));
    } else if (verb == "fail" || verb == "throw") {
        const unsigned nth = number(t[2]) == 0 ? 0 : machine.callCount(t[1]) + number(t[2]);
        verb == "fail" ? machine.failCall(t[1], nth, number(t[3])) : machine.throwOnCall(t[1], nth);
    } else if (verb == "device") {
        std::optional<std::vector<std::wstring>> ids;
        std::istringstream list(t[2]);
        for (std::string id; t[2] != "-" && std::getline(list, id, ',');) {
            ids = ids.value_or(std::vector<std::wstring>{});
            ids->push_back(wide(id));
        }
        machine.addDevice(
            {w(1), platform::kGuidDevClassNet, ids, t.back() != "absent", number(word(t, 3)), L"", 0});
    } else if (verb == "service") {
        platform::sim::SimServiceSetup service;
        service.name = w(1);
        service.refuseStop = number(word(t, 2));
        machine.services().addService(service);
    } else if (verb == "net") {
        platform::sim::SimNetComponent component;
        component.infId = w(1);
        machine.netConfig().addComponent(component);
    } else if (verb == "owner") {
        machine.setOwner(w(1), w(2));
    } else if (verb == "user") {
        machine.setProcessUser(machine.currentProcess(), w(1));
    } else if (verb == "at") {
        EXPECT_EQ(word(t, 3), "swap") << "unknown action";
        machine.onCall(t[1], machine.callCount(t[1]) + number(t[2]),
                       [&machine, folder = w(4), target = w(5)] {
                           if (machine.move(folder, folder + L".old") == platform::kErrorSuccess) {
                               std::error_code linked;
                               std::filesystem::create_directory_symlink(machine.hostPath(target),
                                                                         machine.hostPath(folder), linked);
                           }
                       });
    } else if (verb == "windir") {
        machine.setWindowsDirectory(w(1));
    } else if (verb == "detail") {
        machine.setDetailInfFolder(w(1));
    } else {
        EXPECT_EQ(verb, "restart") << "unknown set-up";
        machine.setDriverUpdateRestart(true);
    }
    return true;
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
// | services (* marked for deletion) | net | sections | file <path> | size <path> (bytes)
// | key <path> | dir <path> | entries (those @ListDriverInfs found) | calls <platform call> (how many)
std::string view(SimMachine& machine, const Words& t, const std::string& entries) {
    const std::wstring arg = wide(word(t, 1));
    Words out;
    const auto list = [&out](bool sorted, const std::string& separator = " ") {
        std::sort(out.begin(), sorted ? out.end() : out.begin());
        std::string text;
        for (const std::string& item : out) {
            text += (text.empty() ? "" : separator) + item;
        }
        return text;
    };
    const std::string& what = t[0];
    if (what == "packages" || what == "sections") {
        std::ranges::transform(what == "packages" ? machine.publishedPackages() : machine.sectionsRun(),
                               std::back_inserter(out),
                               [&](const std::wstring& name) { return rowNames(machine, narrow(name)); });
        return list(what == "packages", what == "packages" ? " " : ", ");
    }
    if (what == "devices") {
        std::ranges::transform(machine.devices(), std::back_inserter(out),
                               [](const auto& device) { return narrow(device.instanceId); });
        return list(true);
    }
    if (const auto device = machine.device(arg); what == "device" && device) {
        std::ranges::transform(device->hardwareIds.value_or(std::vector<std::wstring>{}),
                               std::back_inserter(out), narrow);
        std::ostringstream text;
        text << "ids=" << list(false, ",") << " inf=" << narrow(device->driverInf) << " flags=0x" << std::hex
             << device->installFlags
             << " class=" << (device->classGuid == platform::kGuidDevClassNet ? "Net" : "other");
        return text.str();
    }
    for (const wchar_t* name : {L"DERAzo", L"DriverType", L"Processor_X64", L"SplitDNSFilter", L"tvrnns",
                                L"tvrnva", L"tvrnvamgr"}) {
        if (const auto value = machine.regValue(kProductKey32, name); value && what == "values") {
            out.push_back(narrow(name) + "=" + valueText(value));
        }
        if (what == "services" && machine.services().exists(name)) {
            out.push_back(narrow(name) + (machine.services().markedForDelete(name) ? "*" : ""));
        }
    }
    const std::optional<std::string> file = what == "file" || what == "size" ? machine.readFile(arg) : "";
    if (what == "value" || what == "calls") {
        return what == "calls" ? std::to_string(machine.callCount(t[1]))
                               : valueText(machine.regValue(arg, wide(t[2])));
    }
    if (what == "net") {
        return machine.netConfig().installed(L"tvrnns") ? "tvrnns" : "";
    }
    if (what == "file" || what == "key") {
        return (what == "file" ? file.has_value() : machine.regKeyExists(arg)) ? "present" : "absent";
    }
    if (what == "size") {
        return file ? std::to_string(file->size()) : "absent";
    }
    std::error_code ec;
    for (std::filesystem::directory_iterator it(machine.hostPath(arg), ec), end;
         what == "dir" && !ec && it != end; it.increment(ec)) {
        out.push_back(it->path().filename().string());
    }
    return what == "entries" ? entries : list(true);
}

struct SourceLine {
    std::string text;
    int at; // its line in the test's source
};

// The failures of one scenario, each at the source line of the fact it is about.
struct Located {
    const char* file;
    int line;
    template <class T> void fail(int at, const T& what) const { ADD_FAILURE_AT(file, at) << what; }
};

void runScenario(const Located& where, const std::vector<SourceLine>& lines) {
    const ::testing::ScopedTrace trace(where.file, lines.front().at, lines.front().text);
    FreshMachine fresh;
    SimMachine& machine = fresh.machine;
    std::vector<std::string> expected;
    std::vector<int> expectedAt;
    std::optional<int> whole;
    std::string entries;
    bool ran = false;
    for (const SourceLine& line : std::span(lines).subspan(1)) {
        const std::string text = expand(line.text);
        if (text.starts_with("+ ")) {
            if (!setUp(machine, split(storeNames(machine, text.substr(2))))) {
                GTEST_SKIP() << where.file << ":" << line.at << ": the host cannot plant this: " << line.text;
            }
        } else if (text.starts_with("> ")) {
            const std::size_t arrow = text.rfind(" => ");
            if (ran || arrow == std::string::npos) {
                where.fail(line.at, "one run a scenario, written \"> ARGS => CODE\"");
                return;
            }
            ran = true;
            const int code = perform(split(text.substr(2, arrow - 2)), entries);
            const auto want = static_cast<int>(std::stoll(text.substr(arrow + 4), nullptr, 0));
            if (code != want) {
                where.fail(line.at, "exit code " + std::to_string(code) + ", not " + std::to_string(want));
            }
        } else if (text.starts_with("? ")) {
            const std::size_t colon = (text + " ").find(": ");
            const std::string value =
                rowNames(machine, view(machine, split(text.substr(2, colon - 2)), entries));
            const std::string want = text.substr(std::min(text.size(), colon + 2));
            if (value != want) {
                where.fail(line.at, "\"" + value + "\", not \"" + want + "\"");
            }
        } else if (text == "= whole log") {
            whole = line.at;
        } else {
            expected.push_back(text);
            expectedAt.push_back(line.at);
        }
    }
    if (!ran) {
        where.fail(lines.front().at, "no \"> \" line");
    }
    std::vector<std::string> logged = logMessagesOf(machine);
    std::ranges::transform(logged, logged.begin(),
                           [&](const std::string& m) { return rowNames(machine, m); });
    if (const auto problem = logProblem(logged, expected, whole.has_value())) {
        where.fail(problem->first < expectedAt.size() ? expectedAt[problem->first] : whole.value_or(0),
                   problem->second);
    }
    if (const auto open = nothingLeftOpen(machine); !open) {
        where.fail(lines.front().at, open.message());
    }
}

} // namespace

void setUpLines(SimMachine& machine, const std::string& lines) {
    std::string text = expand(lines);
    std::replace(text.begin(), text.end(), ';', '\n');
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        setUp(machine, split(line.substr(line.starts_with("+ ") ? 2 : 0)));
    }
}

int runLine(const std::string& line) {
    std::string entries;
    return perform(split(expand(line)), entries);
}

} // namespace tdu::test

namespace tdu::test {

namespace {
void runScenarios(std::string_view text, const Fragments& fragments, const char* file, int line, int step) {
    std::vector<std::vector<SourceLine>> scenarios;
    std::istringstream in{std::string(text)};
    int at = line;
    const auto add = [&scenarios, file](const std::string& part, int from) {
        if (part.starts_with("== ")) {
            scenarios.emplace_back();
        }
        if (part.empty()) {
            return;
        }
        if (scenarios.empty()) {
            ADD_FAILURE_AT(file, from) << "a line before the first \"== \"";
            return;
        }
        scenarios.back().push_back({part.starts_with("== ") ? part.substr(3) : part, from});
    };
    for (std::string row; std::getline(in, row); at += step) {
        if (row.starts_with("... ") && !scenarios.empty() && scenarios.back().size() > 1) {
            scenarios.back().back().text += row.substr(3); // with its space
        } else if (!row.starts_with("use ")) {
            add(row, at);
        } else if (const auto fragment = fragments.find(row.substr(4)); fragment != fragments.end()) {
            std::istringstream lines{std::string(fragment->second)};
            for (std::string part; std::getline(lines, part);) {
                add(part, at);
            }
        } else {
            ADD_FAILURE_AT(file, at) << "no fragment named " << row.substr(4);
        }
    }
    for (const std::vector<SourceLine>& scenario : scenarios) {
        runScenario({file, line}, scenario);
    }
}
} // namespace

void runScenarios(std::string_view text, const Fragments& fragments, const char* file, int line) {
    runScenarios(text, fragments, file, line, 1);
}

void runRow(std::string_view scenario, const char* file, int line) {
    runScenarios(scenario, {}, file, line, 0);
}

} // namespace tdu::test
