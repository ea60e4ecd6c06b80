#include "tests/unit/SimTest.h"

#include "app/TavrinDriverUtil.h"
#include "installer_db/CustomActionHandler.h"
#include "installer_db/DifxHandler.h"
#include "log/LogWriter.h"
#include "operator/TDriverOperator.h"
#include "platform/sim/SimNetConfig.h"
#include "platform/sim/SimServices.h"
#include "service/ServiceHandler.h"
#include "tests/Scenario.h"
#include "tests/unit/EarlierRelease.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <functional>
#include <iomanip>
#include <map>
#include <set>
#include <span>
#include <sstream>
#include <stdexcept>

namespace tdu::test {

using platform::sim::SimMachine;

namespace {
constexpr wchar_t kProductKey32[] = L"SOFTWARE\\Wow6432Node\\TavrinSecure\\TavrinDrivers";
// The product's drivers folder, where the installer lays out every component.
constexpr wchar_t kDrivers[] = L"C:\\Program Files (x86)\\Tavrin Secure\\TavrinDrivers\\x64Drivers\\";
// Where the earlier release left its client, whose version tells which release it was.
constexpr wchar_t kClientExe[] = L"C:\\Program Files (x86)\\Common Files\\Tavrin Secure\\TamUI\\Tavrin.exe";
// An installed product's cached package, unless a row names another.
constexpr wchar_t kPackage[] = L"C:\\Windows\\Installer\\3f9a1.msi";

using Words = std::vector<std::string>;

constexpr std::string_view kStates = " S?PR"; // a service's, by their values: stopped, stop-pending, running

constexpr wchar_t kMutexName[] = L"Global\\TDInstallationStartedMtx";
constexpr wchar_t kEventName[] = L"Global\\TDInstallationCompletedEvt";
// A scenario's other processes, ended before its handles are counted, and what its runs and "security T"
// found (see perform).
struct {
    std::set<std::uint32_t> pids;
    std::string found;
} scene;

std::string joined(Words parts, const std::string& separator = " ", bool sorted = true) {
    std::sort(parts.begin(), sorted ? parts.end() : parts.begin());
    std::string text;
    for (const std::string& part : parts) {
        text += (text.empty() ? "" : separator) + part;
    }
    return text;
}

std::string replaced(std::string text, char from, char to) {
    std::ranges::replace(text, from, to);
    return text;
}

// The characters of a file name as rows and the store write them.
const std::string kNameChars = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_.";

std::string word(const Words& words, std::size_t i) {
    return i < words.size() ? words[i] : "";
}

std::uint32_t number(const std::string& text) {
    return static_cast<std::uint32_t>(std::stoul(text.empty() ? "0" : text, nullptr, 0));
}

// A scenario line's words are split at blanks; "..." quotes one with blanks, "" is empty. Every line
// expands {drivers}, {adapter}, {product} (the product key's path), {logs} (the log's folder), {difx},
// {0} (a NUL) and {c*N} (N times c).
std::string expand(const std::string& text) {
    static const std::map<std::string, std::string, std::less<>> values{
        {"drivers", narrow(kDrivers)},
        {"adapter", "{FE36527A-8C07-4854-8AF7-BF40E7DF52F7}\\TVRNVA"},
        {"product", narrow(kProductKey32)},
        {"logs", narrow(kLogPath).substr(0, narrow(kLogPath).rfind('\\'))},
        {"difx", "{9AC1F0E9-DE2F-4b2d-910C-65CAEE9153D9}"}, // the net service's DIFx component
        {"0", std::string(1, '\0')}};
    std::string out;
    std::size_t at = 0;
    for (std::size_t open = 0; (open = text.find('{', at)) != std::string::npos;) {
        const std::string name = text.substr(open + 1, text.find('}', open) - open - 1);
        const auto value = values.find(name);
        const bool repeat =
            name.size() > 2 && name[1] == '*' && name.find_first_not_of("0123456789", 2) == std::string::npos;
        out += text.substr(at, open - at) + (value != values.end() ? value->second
                                             : repeat ? std::string(std::stoul(name.substr(2)), name[0])
                                                      : "{");
        at = value != values.end() || repeat ? open + name.size() + 2 : open + 1;
    }
    return out + text.substr(at);
}

// A command line after the program's name, or "@Operation args" for one operator or handler call
// (@CustomActionHandler: 0 when it reports success). The entries @ListDriverInfs found, and the label
// @GetFileVersion read (its argument: the capacity), are added to the scenario's `found`.
int perform(const Words& words) {
    TavrinDriverOperator op;
    const std::string what = word(words, 0);
    const std::wstring arg = wide(word(words, 1));
    DriverOperation record;
    record.infPath = arg;
    const std::uint32_t mode = what.ends_with("TavrinDrivers") ? number(word(words, 2)) : 0;
    std::vector<DriverStoreEntry> found;
    std::wstring label;
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
        {"@disableCustomActions", [&] { return DifxHandler::disableCustomActions(arg); }},
        {"@disableDifxCAs", [&] { return DifxHandler::disableDifxCAs(arg); }},
        {"@setStatus", [&] { return record.installStatus = arg, op.setStatus(record); }},
        {"@CustomActionHandler", [&] { return CustomActionHandler(arg).disableCustomActions() ? 0 : 1; }},
        {"@GetFileVersion",
         [&] { return DifxHandler::GetFileVersion(kClientExe, label, number(word(words, 1))); }},
    };
    int result = 0;
    if (const auto call = calls.find(what); call != calls.end()) {
        result = call->second();
    } else if (what == "@ServiceHandler") { // its steps; the result: how many answered otherwise
        ServiceHandler handler;
        for (const std::string& step : std::span(words).subspan(1)) {
            const bool done = step.starts_with("init")
                                  ? (handler.init(step == "init" ? L"tvrnns" : L""), true)
                              : step.starts_with("stop") ? handler.stop()
                                                         : handler.remove();
            result += done == step.ends_with("-fails") ? 1 : 0;
        }
    } else {
        std::vector<std::wstring> line{L"C:\\x\\TavrinDriverUtil.exe"};
        std::ranges::transform(words, std::back_inserter(line), wide);
        std::vector<const wchar_t*> argv;
        std::ranges::transform(line, std::back_inserter(argv),
                               [](const std::wstring& w) { return w.c_str(); });
        TDCmdLineParser parser;
        result = RunTavrinDriverUtil(nullptr, static_cast<unsigned>(argv.size()), argv.data(), parser);
    }
    ServiceHandler::getInstance().disconnect();
    scene.found += narrow(label);
    for (const DriverStoreEntry& entry : found) {
        scene.found +=
            (scene.found.empty() ? "" : " ") + narrow(entry.infName) + ":" + narrow(entry.hardwareId);
    }
    return result;
}

// The earlier release's InstallExecuteSequence: a bystander, the service start, every DIFx name.
std::vector<platform::sim::SimSequenceRow> earlierSequence() {
    std::vector<platform::sim::SimSequenceRow> rows{
        {L"KeepThisAction", L"NOT Installed", 900},
        {std::wstring(kEarlierServiceStart), L"REMOVE~=\"ALL\"", 6401}};
    for (const std::wstring_view action : kEarlierDifxActions) {
        rows.push_back({std::wstring(action), L"NOT Installed", static_cast<int>(1000 + rows.size())});
    }
    return rows;
}

// What a cached package has switched off: how many DIFx names, then "ca" for the service start, others.
std::string disabledIn(const std::vector<platform::sim::SimSequenceRow>& rows) {
    std::size_t difx = 0;
    std::string others;
    for (const platform::sim::SimSequenceRow& row : rows) {
        const bool listed = std::ranges::count(kEarlierDifxActions, row.action) != 0;
        difx += row.condition == L"0" && listed ? 1 : 0;
        others += row.condition != L"0" || listed      ? ""
                  : row.action == kEarlierServiceStart ? " ca"
                                                       : " " + narrow(row.action);
    }
    return std::to_string(difx) + others;
}

// A symbolic link to a folder or a file; false when the host cannot make one.
bool plantLink(SimMachine& machine, const std::wstring& target, const std::wstring& link) {
    std::error_code ec;
    const std::filesystem::path to = machine.hostPath(target);
    std::filesystem::is_directory(to)
        ? std::filesystem::create_directory_symlink(to, machine.hostPath(link), ec)
        : std::filesystem::create_symlink(to, machine.hostPath(link), ec);
    return !ec;
}

// drivers [missing folder...] (the sample packages' layout) | run <command line> (the log starts after it)
// | inf <path> <class> <id,id...> [date version] | stage <class> <id,id...> [date version] (published
// from a file of its own) | reg <key> <name> <text> | key <path> | file <path> [text] | dir <path>
// | rm <path> | link <target> <link> (symbolic) | hardlink <target> <link> | env <name> [value] (none:
// removed) | fail <call> <nth> <error> (nth counts from here; 0: every use) | throw <call> <nth>
// | device <instance id> <id,id...|-> [removal flags] [absent] | service <name> [refused stop's error]
// [R|P|S: running, stop-pending, stopped] [wait hint] [stop after ms|never] [the service it depends on]
// | ticks N (the tick count wraps N ms after the start)
// | net <component> | windir <path> | detail <store folder as driver details spell it> | restart
// | owner <path> <SID> | swap <call> <nth> <folder> <target> (at that use of the call, nth counting from
// here, another user's process renames the folder aside and, when it could, plants a junction to the
// target in its place)
// | product <code> [cached package] (the earlier release's sequence) | gone <cached package>
// | exe <product MS> <file MS> <file LS> (the earlier client's version; "exe mz": one without)
// | account P SID (LocalSystem otherwise; the runs' own process is 4242) | advance N (ms)
// | holds P / event P / signalled P (P created the handshake's mutex / event / event signalled)
// | linked P mutex|event (P creates Global\\OtherMtx|Evt; the handshake's name links to it)
// | end T P / start T P (at T ms, or at the next use of the call T, P runs @setStatus 1 / 0, giving 0)
// | security T (at T ms, the security of the mutex and the event, "-" for one not there, is found).
// False when a link cannot be made: the Windows build's host (Wine) makes no
// symbolic links and its run-time counts no second names. The scenario is then
// reported skipped, with the line it could not set up.
bool setUp(SimMachine& machine, const Words& t) {
    const auto w = [&t](std::size_t i) { return wide(word(t, i)); };
    // A package's INF text from its class, ids and optional date and version.
    const auto inf = [&t](std::size_t at) {
        const std::string date = word(t, at + 2).empty() ? "05/07/2021" : t[at + 2];
        const std::string version = word(t, at + 3).empty() ? "1.2.3.4" : t[at + 3];
        std::string text = "[Version]\nClass=" + t[at] + "\nDriverVer=" + date + "," + version +
                           "\n[Manufacturer]\nT=Std,NTamd64\n[Std.NTamd64]\n";
        for (const std::string& id : words(replaced(t[at + 1], ',', ' '))) {
            text += "Device=Device_Install, " + id + "\n";
        }
        return text;
    };
    // The nth use of the call from here; 0 stands for every use.
    const auto nth = [&] { return number(t[2]) == 0 ? 0 : machine.callCount(t[1]) + number(t[2]); };
    bool planted = true;
    const std::map<std::string, std::function<void()>> facts{
        {"inf", [&] { machine.writeFile(w(1), inf(2)); }},
        {"key", [&] { machine.regCreateKey(w(1)); }},
        {"file", [&] { machine.writeFile(w(1), word(t, 2)); }},
        {"dir", [&] { machine.createDirectories(w(1)); }},
        {"rm", [&] { std::filesystem::remove_all(machine.hostPath(w(1))); }},
        {"link", [&] { planted = plantLink(machine, w(1), w(2)); }},
        {"env", [&] { t.size() > 2 ? machine.setEnvironment(w(1), w(2)) : machine.removeEnvironment(w(1)); }},
        {"fail", [&] { machine.failCall(t[1], nth(), number(t[3])); }},
        {"throw", [&] { machine.throwOnCall(t[1], nth()); }},
        {"net", [&] { machine.netConfig().addComponent({.infId = w(1), .referrers = {}}); }},
        {"owner", [&] { machine.setOwner(w(1), w(2)); }},
        {"windir", [&] { machine.setWindowsDirectory(w(1)); }},
        {"detail", [&] { machine.setDetailInfFolder(w(1)); }},
        {"restart", [&] { machine.setDriverUpdateRestart(true); }},
        {"product", [&] { machine.installProduct(w(1), t.size() > 2 ? w(2) : kPackage, earlierSequence()); }},
        {"gone", [&] { machine.deleteCachedPackage(w(1)); }},
        {"account", [&] { machine.setProcessUser(number(t[1]), w(2)); }},
        {"advance", [&] { machine.advance(number(t[1])); }},
    };
    const std::string verb = word(t, 0);
    std::error_code ec;
    if (const auto fact = facts.find(verb); fact != facts.end()) {
        fact->second();
    } else if (verb == "reg") {
        machine.regSetValue(w(1), w(2), {platform::kRegSz, platform::RegData::text(w(3)).bytes});
    } else if (verb == "ticks") {
        machine.setTickCountAtStart(static_cast<std::uint32_t>(0x1'0000'0000ULL - number(t[1])));
    } else if (verb == "drivers") {
        const std::filesystem::path samples = std::filesystem::path(TDU_SAMPLES_DIR) / "x64Drivers";
        for (const auto& file : std::filesystem::recursive_directory_iterator(samples)) {
            const std::string path = std::filesystem::relative(file.path(), samples).generic_string();
            if (file.is_regular_file() &&
                std::find(t.begin() + 1, t.end(), path.substr(0, path.find('/'))) == t.end()) {
                machine.writeFile(kDrivers + wide(replaced(path, '/', '\\')),
                                  platform::sim::readHostFile(file.path()).value_or(""));
            }
        }
    } else if (verb == "run") {
        EXPECT_EQ(perform({t.begin() + 1, t.end()}), 0) << "set-up run";
        std::filesystem::remove(machine.hostPath(kLogPath));
        log::resetLogPathCache();
    } else if (verb == "stage") {
        const std::wstring earlier = wide("C:\\earlier\\" + t[1] + "\\" + replaced(t[2], '\\', '_') + ".inf");
        machine.writeFile(earlier, inf(1));
        std::wstring published;
        platform::dev().SetupCopyOEMInfW(earlier, platform::kSpostPath, 0, published, 260);
    } else if (verb == "hardlink") {
        std::filesystem::create_hard_link(machine.hostPath(w(1)), machine.hostPath(w(2)), ec);
        planted = !ec && std::filesystem::hard_link_count(machine.hostPath(w(2)), ec) == 2;
    } else if (verb == "service") {
        machine.services().addService(
            {.name = w(1),
             .displayName = L"",
             .state = static_cast<std::uint32_t>(kStates.find(word(t, 3).empty() ? 'R' : t[3][0])),
             .waitHint = t.size() > 4 ? number(t[4]) : 2000,
             .stopAfterMs =
                 word(t, 5) == "never" ? std::nullopt : std::optional<std::uint64_t>(number(word(t, 5))),
             .refuseStop = number(word(t, 2)),
             .dependsOn = t.size() > 6 ? std::vector{w(6)} : std::vector<std::wstring>{}});
    } else if (verb == "device") {
        std::vector<std::wstring> ids;
        std::ranges::transform(words(replaced(t[2], ',', ' ')), std::back_inserter(ids), wide);
        machine.addDevice({w(1), platform::kGuidDevClassNet, t[2] == "-" ? std::nullopt : std::optional(ids),
                           t.back() != "absent", number(word(t, 3)), L"", 0});
    } else if (verb == "exe") {
        word(t, 1) == "mz" ? machine.writeFile(kClientExe, "MZ")
                           : machine.writeVersionedFile(kClientExe, {.fileVersionMS = number(word(t, 2)),
                                                                     .fileVersionLS = number(word(t, 3)),
                                                                     .productVersionMS = number(t[1]),
                                                                     .productVersionLS = 0x0005'0006});
    } else if (verb == "holds" || verb == "event" || verb == "signalled" || verb == "linked") {
        const bool mutex = verb == "holds" || word(t, 2) == "mutex";
        const std::wstring other = mutex ? L"Global\\OtherMtx" : L"Global\\OtherEvt";
        const std::wstring name = verb == "linked" ? other : mutex ? kMutexName : kEventName;
        scene.pids.insert(number(t[1]));
        machine.asProcess(number(t[1]), [&] {
            (void)(mutex ? platform::sys().CreateMutexW(L"", verb == "holds", name)
                         : platform::sys().CreateEventW(L"", true, verb == "signalled", name));
        });
        verb == "linked" ? machine.linkNamedObject(mutex ? kMutexName : kEventName, other) : void();
    } else if (verb == "end" || verb == "start") {
        scene.pids.insert(number(t[2]));
        const auto run = [&machine, pid = number(t[2]), value = verb == "end" ? "1" : "0"] {
            machine.asProcess(pid, [value] {
                EXPECT_EQ(perform({"@setStatus", value}), 0) << "another run";
            });
        };
        std::isdigit(t[1][0]) != 0 ? machine.at(number(t[1]), run)
                                   : machine.onCall(t[1], machine.callCount(t[1]) + 1, run);
    } else if (verb == "security") {
        machine.at(number(t[1]), [&machine] {
            scene.found += narrow(machine.namedObjectSecurity(kMutexName).value_or(L"-") + L" " +
                                  machine.namedObjectSecurity(kEventName).value_or(L"-"));
        });
    } else if (verb == "swap") {
        machine.onCall(t[1], machine.callCount(t[1]) + number(t[2]),
                       [&machine, folder = w(3), target = w(4)] {
                           if (machine.move(folder, folder + L".old") == platform::kErrorSuccess) {
                               (void)plantLink(machine, target, folder);
                           }
                       });
    } else {
        EXPECT_TRUE(t.empty()) << "unknown set-up: " << verb;
    }
    return planted;
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
// | key <path> | dir <path> | found (the entries @ListDriverInfs found, the label @GetFileVersion read, the
// security "security T" read)
// | calls <platform call> (how many) | disabled [cached package] (what it switched off: see disabledIn)
// | left (the virtual time, and which handshake objects are there)
// | states <service...> (each one's R, P or S, "+del" when marked for deletion, or gone) | stops (the
// services whose stop control was accepted) | pending (how many "'tvrnns' Service Stop Pending." logged)
std::string view(SimMachine& machine, const Words& t) {
    const std::wstring arg = wide(word(t, 1));
    const std::string& what = t[0];
    const std::optional<std::string> file = what == "file" || what == "size" ? machine.readFile(arg) : "";
    const auto present = [](bool there) -> std::string { return there ? "present" : "absent"; };
    const std::map<std::string, std::function<std::string()>> views{
        {"value", [&] { return valueText(machine.regValue(arg, wide(word(t, 2)))); }},
        {"calls", [&] { return std::to_string(machine.callCount(t[1])); }},
        {"net", [&] { return machine.netConfig().installed(L"tvrnns") ? "tvrnns" : ""; }},
        {"file", [&] { return present(file.has_value()); }},
        {"size", [&] { return file ? std::to_string(file->size()) : "absent"; }},
        {"key", [&] { return present(machine.regKeyExists(arg)); }},
        {"found", [&] { return scene.found; }},
        {"pending",
         [&] {
             return std::to_string(
                 std::ranges::count(logMessagesOf(machine), "'tvrnns' Service Stop Pending."));
         }},
        {"left",
         [&] {
             return std::to_string(machine.nowMs()) + " ms" +
                    (machine.namedObjectExists(kMutexName) ? " mutex" : "") +
                    (machine.namedObjectExists(kEventName) ? " event" : "");
         }},
        {"disabled",
         [&] { return disabledIn(machine.installExecuteSequence(t.size() > 1 ? arg : kPackage)); }},
    };
    Words out;
    if (const auto simple = views.find(what); simple != views.end()) {
        return simple->second();
    }
    for (const std::wstring& name : what == "packages"   ? machine.publishedPackages()
                                    : what == "sections" ? machine.sectionsRun()
                                    : what == "stops"    ? machine.services().stopsAccepted()
                                                         : std::vector<std::wstring>{}) {
        out.push_back(rowNames(machine, narrow(name)));
    }
    if (const auto device = machine.device(arg); what == "device" && device) {
        std::ranges::transform(device->hardwareIds.value_or(std::vector<std::wstring>{}),
                               std::back_inserter(out), narrow);
        std::ostringstream text;
        text << "ids=" << joined(out, ",", false) << " inf=" << narrow(device->driverInf) << " flags=0x"
             << std::hex << device->installFlags
             << " class=" << (device->classGuid == platform::kGuidDevClassNet ? "Net" : "other");
        return text.str();
    }
    for (const std::string& name : what == "states" ? Words(t.begin() + 1, t.end()) : Words{}) {
        const platform::sim::SimServices& services = machine.services();
        out.push_back(
            (services.exists(wide(name)) ? std::string(1, kStates.at(services.state(wide(name)))) : "gone") +
            (services.markedForDelete(wide(name)) ? "+del" : ""));
    }
    for (const auto& device :
         what == "devices" ? machine.devices() : std::vector<platform::sim::SimDevice>{}) {
        out.push_back(narrow(device.instanceId));
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
    std::error_code ec;
    for (std::filesystem::directory_iterator it(machine.hostPath(arg), ec), end;
         what == "dir" && !ec && it != end; it.increment(ec)) {
        out.push_back(it->path().filename().string());
    }
    // Lists in the order they were made, or sorted.
    return joined(out, what == "sections" ? ", " : " ",
                  what != "sections" && what != "states" && what != "stops");
}

// One scenario on a fresh machine; each failure is reported at the source line of the fact it is about.
void runScenario(const char* file, const std::vector<ScenarioLine>& lines) {
    const ::testing::ScopedTrace trace(file, lines.front().at, lines.front().text);
    const auto fail = [file](int at, const std::string& what) { ADD_FAILURE_AT(file, at) << what; };
    const auto expect = [&fail](int at, const std::string& value, const std::string& want) {
        value == want ? void() : fail(at, "\"" + value + "\", not \"" + want + "\"");
    };
    FreshMachine fresh;
    SimMachine& machine = fresh.machine;
    scene = {};
    Words expected;
    std::vector<int> expectedAt;
    std::optional<int> whole;
    bool ran = false;
    for (const ScenarioLine& line : std::span(lines).subspan(1)) {
        const std::string text = expand(line.text);
        const std::size_t arrow = text.rfind(" => ");
        const std::size_t colon = (text + " ").find(": ");
        if (text.starts_with("+ ") && !setUp(machine, words(rowNames(machine, text.substr(2), true)))) {
            GTEST_SKIP() << file << ":" << line.at << ": the host cannot plant this: " << line.text;
        } else if (text.starts_with("> ") && arrow == std::string::npos) {
            return fail(line.at, "a run is written \"> ARGS => CODE\"");
        } else if (text.starts_with("> ")) {
            ran = true;
            const int code = perform(words(text.substr(2, arrow - 2)));
            const auto want = static_cast<int>(std::stoll(text.substr(arrow + 4), nullptr, 0));
            expect(line.at, "exit code " + std::to_string(code), "exit code " + std::to_string(want));
        } else if (text.starts_with("? ")) {
            const Words what = words(text.substr(2, colon - 2));
            // A count says what it counts.
            const std::string unit = what[0] == "calls" ? " " + what.at(1) + " calls" : "";
            expect(line.at, rowNames(machine, view(machine, what)) + unit,
                   text.substr(std::min(text.size(), colon + 2)) + unit);
        } else if (text == "= whole log") {
            whole = line.at;
        } else if (!text.starts_with("+ ")) {
            expected.push_back(text);
            expectedAt.push_back(line.at);
        }
    }
    if (!ran) {
        fail(lines.front().at, "no \"> \" line");
    }
    std::vector<std::string> logged = logMessagesOf(machine);
    std::ranges::transform(logged, logged.begin(),
                           [&](const std::string& m) { return rowNames(machine, m); });
    if (const auto problem = logProblem(logged, expected, whole.has_value())) {
        fail(problem->first < expectedAt.size() ? expectedAt[problem->first] : whole.value_or(0),
             problem->second);
    }
    for (const std::uint32_t pid : scene.pids) {
        machine.endProcess(pid);
    }
    if (const auto open = nothingLeftOpen(machine); !open) {
        fail(lines.front().at, open.message());
    }
}

} // namespace

void runScenarios(const Fragments& fragments, std::string_view text, const char* file, int line, int step) {
    std::vector<std::vector<ScenarioLine>> scenarios;
    for (const ScenarioLine& row : scenarioLines(text, line, step)) {
        const auto fragment = fragments.find(row.text.substr(std::min<std::size_t>(4, row.text.size())));
        if (row.text.starts_with("use ") && fragment == fragments.end()) {
            ADD_FAILURE_AT(file, row.at) << "no fragment named " << row.text.substr(4);
        }
        for (const ScenarioLine& part :
             row.text.starts_with("use ")
                 ? scenarioLines(fragment == fragments.end() ? "" : fragment->second, row.at, 0)
                 : std::vector{row}) {
            if (part.text.starts_with("== ")) {
                scenarios.push_back({{part.text.substr(3), part.at}});
            } else if (scenarios.empty()) {
                ADD_FAILURE_AT(file, part.at) << "a line before the first \"== \"";
            } else {
                scenarios.back().push_back(part);
            }
        }
    }
    for (const std::vector<ScenarioLine>& scenario : scenarios) {
        runScenario(file, scenario);
    }
}

::testing::AssertionResult nothingLeftOpen(SimMachine& machine) {
    log::resetLogPathCache();
    return machine.openHandleCount() == 0 ? ::testing::AssertionSuccess()
                                          : ::testing::AssertionFailure() << "left open:\n"
                                                                          << machine.openHandleReport();
}

void SimTest::TearDown() {
    ServiceHandler::getInstance().disconnect();
    EXPECT_TRUE(nothingLeftOpen(sim));
}

std::vector<std::string> logMessagesOf(const SimMachine& machine, const std::wstring& path) {
    std::vector<std::string> messages;
    for (const LogRecord& record : logRecords(machine.readFile(path).value_or(""))) {
        record.source.empty() ? void() : messages.push_back(record.message);
    }
    return messages;
}

::testing::AssertionResult logMatches(const std::vector<std::string>& messages, const std::string& block,
                                      bool whole) {
    Words expected;
    std::ranges::transform(scenarioLines(block, 0), std::back_inserter(expected), &ScenarioLine::text);
    const auto problem = logProblem(messages, expected, whole);
    return problem ? ::testing::AssertionFailure() << problem->second : ::testing::AssertionSuccess();
}

std::string rowNames(const SimMachine& machine, std::string text, bool toStore) {
    const auto& published = machine.publications();
    for (auto package = published.rbegin(); package != published.rend(); ++package) { // the latest first
        const std::string path = narrow(package->second);
        const std::size_t in = path.find("\\x64Drivers\\");
        const std::string row =
            "<" +
            (in == std::string::npos ? path.substr(path.rfind('\\') + 1)
                                     : path.substr(in + 12, path.find('\\', in + 12) - in - 12)) +
            ">";
        const std::string store = narrow(package->first);
        const std::string& from = toStore ? row : store;
        for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + 1)) {
            // A name whole, not a part of a longer one.
            if ((at == 0 || kNameChars.find(text[at - 1]) == std::string::npos) &&
                kNameChars.find(text[at + from.size()]) == std::string::npos) {
                text.replace(at, from.size(), toStore ? store : row);
            }
        }
    }
    return text;
}

bool setUpLines(SimMachine& machine, const std::string& lines) {
    for (const ScenarioLine& line : scenarioLines(replaced(expand(lines), ';', '\n'), 0)) {
        if (!setUp(machine, words(line.text.substr(line.text.starts_with("+ ") ? 2 : 0)))) {
            [&line] { GTEST_SKIP() << "the host cannot plant this: " << line.text; }();
            return false;
        }
    }
    return true;
}

int runLine(const std::string& line) {
    return perform(words(expand(line)));
}

} // namespace tdu::test
