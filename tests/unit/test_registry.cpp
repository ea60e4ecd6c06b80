#include "tests/unit/SimTest.h"

#include "operator/TDriverOperator.h"
#include "platform/Registry.h"

namespace tdu::test {
namespace {

using platform::RegData;
using platform::sim::SimRegValue;

constexpr wchar_t kProductKey64[] = L"SOFTWARE\\TavrinSecure\\TavrinDrivers";

SimRegValue text(std::wstring_view value, bool terminated = false) {
    SimRegValue v{platform::kRegSz, RegData::text(value).bytes};
    if (terminated) {
        v.bytes.resize(v.bytes.size() + 2, 0);
    }
    return v;
}

class RegistryTest : public SimTest {
protected:
    TavrinDriverOperator op;
};

TEST_F(RegistryTest, ValuesLandInThe32BitView) {
    EXPECT_EQ(op.SetProcessorTypeInReg(), 0);
    const auto value = sim.regValue(kProductKey32, L"Processor_X64");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, platform::kRegDword);
    EXPECT_EQ(value->bytes, (std::vector<std::uint8_t>{1, 0, 0, 0}));
    EXPECT_FALSE(sim.regKeyExists(kProductKey64));
    EXPECT_EQ(logMessages(),
              (std::vector<std::string>{"Processor Architecture is: Processor_X64",
                                        "Successfully set registry: Processor_X64",
                                        "Saved Processor Architecture to Registry: Processor_X64"}));
}

TEST_F(RegistryTest, StringsAreStoredWithoutTerminatorAndReadBackWhole) {
    ASSERT_TRUE(op.Set32BitRegData(L"tvrnvamgr", platform::kRegSz, RegData::text(L"oem12.inf"), 9 * 2));
    EXPECT_EQ(sim.regValue(kProductKey32, L"tvrnvamgr")->bytes.size(), 18U);
    std::wstring read;
    std::uint32_t size = 520;
    ASSERT_TRUE(op.Read32BitReg(L"tvrnvamgr", &read, &size));
    EXPECT_EQ(read, L"oem12.inf");
    EXPECT_EQ(size, 520U); // left as the caller set it
}

TEST_F(RegistryTest, ReadResults) {
    sim.regSetValue(kProductKey32, L"short", text(L"abc", true));
    sim.regSetValue(kProductKey32, L"long", text(std::wstring(300, L'x')));
    const struct {
        const wchar_t* name;
        std::uint32_t bufferBytes;
        bool ok;
        std::uint32_t sizeAfter;
        std::wstring text;
    } cases[] = {
        {L"short", 520, true, 520, L"abc"}, {L"short", 8, true, 8, L"abc"},     {L"short", 7, false, 8, L""},
        {L"long", 520, false, 600, L""},    {L"missing", 520, false, 520, L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(narrow(c.name) + " " + std::to_string(c.bufferBytes));
        std::wstring read;
        std::uint32_t size = c.bufferBytes;
        EXPECT_EQ(op.Read32BitReg(c.name, &read, &size), c.ok);
        EXPECT_EQ(size, c.sizeAfter);
        EXPECT_EQ(read, c.text);
    }
    EXPECT_TRUE(logMessages().empty()); // reads fail silently
    std::uint32_t size = 4;
    std::wstring read;
    EXPECT_FALSE(op.Read32BitReg(nullptr, &read, &size));
    EXPECT_FALSE(op.Read32BitReg(L"short", nullptr, &size));
    EXPECT_EQ(logMessages(), (std::vector<std::string>{"Parameters are null", "Parameters are null"}));
}

TEST_F(RegistryTest, DeleteResults) {
    EXPECT_TRUE(op.Delete32BitReg(L"tvrnva")); // no product key: nothing to delete
    EXPECT_TRUE(logMessages().empty());
    sim.regSetValue(kProductKey32, L"tvrnva", text(L"oem3.inf"));
    EXPECT_TRUE(op.Delete32BitReg(L"tvrnva"));
    EXPECT_FALSE(sim.regValue(kProductKey32, L"tvrnva").has_value());
    EXPECT_TRUE(sim.regKeyExists(kProductKey32)); // the key itself stays
    EXPECT_FALSE(op.Delete32BitReg(L"tvrnva"));
    EXPECT_FALSE(op.Delete32BitReg(nullptr));
    EXPECT_EQ(logMessages(), (std::vector<std::string>{"Successfully deleted registry value: tvrnva",
                                                       "Failed to delete registry: tvrnva with error: 2",
                                                       "Parameters are null"}));
}

TEST_F(RegistryTest, DriverTypeDecision) {
    const struct {
        const wchar_t* commandLine;
        std::optional<std::wstring> stored;
        bool virtualWanted;
        std::vector<std::string> messages;
    } cases[] = {
        {L"VIRTUAL", std::nullopt, true, {"Driver Type is passed from Command Line"}},
        {L"virtual", L"ethernet", true, {"Driver Type is passed from Command Line"}},
        {L"ethernet",
         L"Virtual",
         true,
         {"Driver Type is passed from Command Line", "DriverType Read from the registry"}},
        {L"", std::nullopt, false, {}},
        {L"", L"virtual", true, {"DriverType Read from the registry"}},
        {L"", L"virtualx", false, {"DriverType Read from the registry"}},
        {L"", L"ethernet", false, {"DriverType Read from the registry"}},
        {L"virtual ", std::nullopt, false, {"Driver Type is passed from Command Line"}},
        {L"V\x0130RTUAL", std::nullopt, false, {"Driver Type is passed from Command Line"}}, // only A-Z fold
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(narrow(c.commandLine));
        std::filesystem::remove(sim.hostPath(kLogPath));
        sim.regCreateKey(kProductKey32);
        sim.regDeleteValue(kProductKey32, L"DriverType");
        if (c.stored) {
            sim.regSetValue(kProductKey32, L"DriverType", text(*c.stored));
        }
        DriverOperation record;
        record.driverType = c.commandLine;
        EXPECT_EQ(op.isDriverTypeVirtual(record), c.virtualWanted);
        EXPECT_EQ(logMessages(), c.messages);
    }
}

TEST_F(RegistryTest, DriverTypeIsReadFromThe32BitViewOnly) {
    sim.regSetValue(kProductKey64, L"DriverType", text(L"virtual"));
    EXPECT_FALSE(op.isDriverTypeVirtual(DriverOperation{}));
}

TEST_F(RegistryTest, DelNodeDeletesDeepestKeysFirst) {
    const std::wstring root = L"SOFTWARE\\Vendor\\Tree";
    for (const wchar_t* key : {L"\\a\\a1\\a11", L"\\a\\a2", L"\\b", L"\\c\\c1"}) {
        sim.regCreateKey(root + key);
    }
    sim.regSetValue(root + L"\\a", L"v", text(L"x"));
    std::wstring path = root;
    EXPECT_TRUE(op.RegDelNodeRecurse(path));
    EXPECT_EQ(path, root);
    EXPECT_FALSE(sim.regKeyExists(root));
    EXPECT_TRUE(sim.regKeyExists(L"SOFTWARE\\Vendor"));
    const std::string base = narrow(root);
    EXPECT_EQ(logMessages(), (std::vector<std::string>{"Successfully deleted: " + base + "\\a\\a1\\a11",
                                                       "Successfully deleted at the end: " + base + "\\a\\a1",
                                                       "Successfully deleted: " + base + "\\a\\a2",
                                                       "Successfully deleted at the end: " + base + "\\a",
                                                       "Successfully deleted: " + base + "\\b",
                                                       "Successfully deleted: " + base + "\\c\\c1",
                                                       "Successfully deleted at the end: " + base + "\\c",
                                                       "Successfully deleted at the end: " + base}));
}

TEST_F(RegistryTest, DelNodeResults) {
    sim.regCreateKey(L"SOFTWARE\\Leaf");
    const struct {
        std::wstring path;
        bool ok;
        std::string lastMessage;
    } cases[] = {
        {L"SOFTWARE\\Missing", true, "Key not found.\n"},
        {L"SOFTWARE\\Leaf", true, "Successfully deleted: SOFTWARE\\Leaf"},
        {L"", false, "Registry path is empty or too long: "},
        {std::wstring(520, L'k'), false, "Registry path is empty or too long: " + std::string(520, 'k')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lastMessage);
        EXPECT_EQ(op.RegDelNode(c.path), c.ok);
        EXPECT_EQ(logMessages().back(), c.lastMessage);
    }
}

TEST_F(RegistryTest, DelNodeNeverDeletesThroughACutPath) {
    // A child whose full path would not fit the 520-character buffer stops
    // the walk; the parent then cannot go either.
    const std::wstring parent = L"SOFTWARE\\" + std::wstring(300, L'p');
    const std::wstring child = std::wstring(250, L'c');
    sim.regCreateKey(parent + L"\\" + child);
    EXPECT_FALSE(op.RegDelNode(parent));
    EXPECT_TRUE(sim.regKeyExists(parent + L"\\" + child));
    EXPECT_EQ(logMessages().back(), "Failed to delete: " + narrow(parent) + " with error: 5");
}

TEST_F(RegistryTest, DelNodeStopsAtAFailingSubtree) {
    sim.regCreateKey(L"SOFTWARE\\T\\a\\deep");
    sim.regCreateKey(L"SOFTWARE\\T\\b");
    // The first open (of T) works; opening T\a fails with access denied.
    sim.failCall("RegOpenKeyExW", 2, 5);
    EXPECT_FALSE(op.RegDelNode(L"SOFTWARE\\T"));
    EXPECT_TRUE(sim.regKeyExists(L"SOFTWARE\\T\\b")); // the walk stopped before b
    const auto messages = logMessages();
    EXPECT_NE(std::find(messages.begin(), messages.end(), "Error opening key with error: 5.\n"),
              messages.end());
    EXPECT_EQ(messages.back(), "Failed to delete: SOFTWARE\\T with error: 5");
}

// Every failable call of the product-key operations, failed once: the
// operation reports failure, logs, and releases every key.
TEST_F(RegistryTest, FaultSweep) {
    auto scenario = [](TavrinDriverOperator& o) {
        o.SetProcessorTypeInReg();
        std::wstring read;
        std::uint32_t size = 520;
        o.Read32BitReg(L"Processor_X64", &read, &size);
        o.Delete32BitReg(L"Processor_X64");
        DriverOperation record;
        o.isDriverTypeVirtual(record);
    };
    std::vector<std::string> trace;
    {
        platform::sim::SimMachine clean;
        platform::bindPlatform(clean.platform());
        TavrinDriverOperator o;
        scenario(o);
        trace = clean.callTrace();
    }
    ASSERT_GT(trace.size(), 10U);
    std::map<std::string, unsigned> seen;
    for (const std::string& call : trace) {
        const unsigned nth = ++seen[call];
        platform::sim::SimMachine faulty;
        platform::bindPlatform(faulty.platform());
        faulty.failCall(call, nth, 1234);
        TavrinDriverOperator o;
        scenario(o);
        EXPECT_EQ(faulty.openHandleCount(), 0U) << call << " #" << nth << "\n" << faulty.openHandleReport();
    }
    platform::bindPlatform(sim.platform());
}

TEST_F(RegistryTest, ProcessorTypeFailures) {
    const struct {
        const char* call;
        std::string failure;
    } cases[] = {
        {"RegCreateKeyExW", "Failed to create reg: Processor_X64"},
        {"RegSetValueExW", "Failed to set reg: Processor_X64"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(sim.hostPath(kLogPath));
        sim.clearFaults();
        sim.failCall(c.call, 0, 5);
        EXPECT_EQ(op.SetProcessorTypeInReg(), 2);
        EXPECT_EQ(logMessages(),
                  (std::vector<std::string>{"Processor Architecture is: Processor_X64", c.failure,
                                            "Failed to set registry: Processor_X64"}));
    }
}

} // namespace
} // namespace tdu::test
