// Publishing one driver package and creating its device.
#include "tests/unit/SimTest.h"

namespace tdu::test {
namespace {

const Fragments kAdapter{
    {"its INF", "+ inf C:\\Drivers\\tvrnva.inf Net {adapter}"},
    {"its device", "? devices: ROOT\\{FE36527A-8C07-4854-8AF7-BF40E7DF52F7}&TVRNVA\\0000"}};

// Each stage of an install, from the first message that differs.
TEST(DeviceInstall, Stages) {
    runScenarios(kAdapter, R"txt(
== publishes, records, creates and updates; a restart the update asks for is the result
use its INF
+ restart
> /install C:\Drivers\tvrnva.inf /hardwareid {adapter} /component tvrnva => 3010
= whole log
Command received to install a driver
Successfully copied driver to driver store, output oem: C:\Windows\INF\<tvrnva.inf>
Successfully set registry: tvrnva
Hardware ID: {adapter}
Adding a device without instance id
Device: {adapter} added successfully.
Device: {adapter} updated Successfully.
Installation of driver succeeded but reboot wil be required.
? packages: <tvrnva.inf>
? values: tvrnva=<tvrnva.inf>
? device ROOT\{FE36527A-8C07-4854-8AF7-BF40E7DF52F7}&TVRNVA\0000: ids={adapter} inf=<tvrnva.inf> flags=0x0
... class=Net

== a package in the store keeps its name; no id: the store only; a device with a newer driver is updated
+ stage Net tvrnvamgr
+ inf C:\Drivers\tvrnvamgr.inf Net tvrnvamgr
> /install C:\Drivers\tvrnvamgr.inf /component tvrnvamgr => 0
Successfully copied driver to driver store, output oem: C:\Windows\INF\<tvrnvamgr.inf>
? packages: <tvrnvamgr.inf>
? values: tvrnvamgr=<tvrnvamgr.inf>
? devices:
+ inf C:\Drivers\newer.inf Net tvrnvamgr 01/01/2030 9.0.0.0
> /install C:\Drivers\newer.inf /hardwareid tvrnvamgr => 0
> /install C:\Drivers\tvrnvamgr.inf /hardwareid tvrnvamgr => 0
? device ROOT\TVRNVAMGR\0000: ids=tvrnvamgr inf=<tvrnvamgr.inf> flags=0x0 class=Net

== a missing INF of 260 characters: the device stage still runs and the update fails; one of 261 is not
use its INF
> /install C:\{f*200}\{n*52}.inf /hardwareid {adapter} /component tvrnva => 2
> /install C:\{f*200}\{n*53}.inf => 2
Inf Path does not exist: C:\{f*200}\{n*52}.inf
UpdateDriverForPlugAndPlayDevices failed with last Errorf: 2
InfPath has exceeded MAX_PATH limit
use its device
? values:

== publication fails, then the registry write: logged, not the result
use its INF
+ fail SetupCopyOEMInfW 1 5
> /install C:\Drivers\tvrnva.inf /component tvrnva => 0
+ fail RegSetValueExW 1 5
> /install C:\Drivers\tvrnva.inf /component tvrnva => 0
Failed to copy Inf File with last Error: 5
Failed to set reg: tvrnva
Failed to set registry for Component: tvrnva
? values:

== update fails: its code is the result
use its INF
+ fail UpdateDriverForPlugAndPlayDevicesW 1 0xE0000203
> /install C:\Drivers\tvrnva.inf /hardwareid {adapter} /component tvrnva => 0xE0000203
UpdateDriverForPlugAndPlayDevices failed with last Errorf: 3758096899
use its device
? values: tvrnva=<tvrnva.inf>

== no INF, an instance id given: the device only; the same instance id again: AddDevice's error
> /install "" /hardwareid {adapter} /instid ROOT\NET\0042 /component tvrnva => 0
> /install "" /hardwareid {adapter} /instid ROOT\NET\0042 => 0xE0000207
Inf Name is empty.
Instance ID: ROOT\NET\0042
Adding a device with instance id
SetupDiCreateDeviceInfo()-> failed with last Error: 3758096903
AddDevice()-> failed
? devices: ROOT\NET\0042
? values:

== a clean-up failure replaces an earlier error
+ fail SetupDiSetDeviceRegistryPropertyW 1 13
+ fail SetupDiDeleteDeviceInfo 1 31
> @AddDevice tvrnvamgr => 31
= whole log
SetupDiSetDeviceRegistryProperty()-> failed with last Error: 13
SetupDiDeleteDeviceInfo()-> failed with last Error: 31
? devices:
)txt");
}

// Only a case-blind "YES" asks for the device not to be started by the configuration manager while it
// is registered.
void startDevice(const std::string& value, bool start, const char* file = __builtin_FILE(),
                 int line = __builtin_LINE()) {
    runRow("== /startdevice " + value + "\n> /install \"\" /hardwareid tvrnvamgr /startdevice " + value +
               " => 0\n" + (start ? "" : "!") +
               "Start Device is true\nDevice: tvrnvamgr added successfully.\n" +
               "? device ROOT\\TVRNVAMGR\\0000: ids=tvrnvamgr inf= flags=" + (start ? "0x20000" : "0x0") +
               " class=Net",
           file, line);
}

TEST(DeviceInstall, StartDevice) {
    startDevice("\"yEs\"", true);
    startDevice("\"Y\"", false);
    startDevice("\"YES \"", false);
}

// Each step of a device's creation failing: the step's error is the result, and after registration the
// device stays although the result is an error. One message spells its error "Last".
void failingStep(const std::string& call, const std::string& message, const std::string& devices,
                 const std::string& last = "last", const char* file = __builtin_FILE(),
                 int line = __builtin_LINE()) {
    runRow("== " + call + "\n+ fail " + call.substr(0, call.find(' ')) + " " +
               call.substr(call.find('#') + 1) + " 701\n> @AddDevice tvrnvamgr start => 701\n= whole log\n" +
               message + "-> failed with " + last + " Error: 701\n? devices: " + devices,
           file, line);
}

TEST(DeviceInstall, EachStepFailing) {
    failingStep("SetupDiClassGuidsFromNameW #1", "SetupDiClassGuidsFromName()", "");
    failingStep("SetupDiCreateDeviceInfoList #1", "SetupDiCreateDeviceInfoList()", "");
    failingStep("SetupDiCreateDeviceInfoW #1", "SetupDiCreateDeviceInfo()", "");
    failingStep("SetupDiSetDeviceRegistryPropertyW #1", "SetupDiSetDeviceRegistryProperty()", "");
    failingStep("SetupDiGetDeviceInstallParamsW #1", "SetupDiGetDeviceInstallParams()", "");
    failingStep("SetupDiSetDeviceInstallParamsW #1", "SetupDiSetDeviceInstallParams()", "");
    failingStep("SetupDiCallClassInstaller #1", "SetupDiCallClassInstaller()", "");
    failingStep("SetupDiGetDeviceInstallParamsW #2", "SetupDiGetDeviceInstallParams()",
                "ROOT\\TVRNVAMGR\\0000");
    failingStep("SetupDiDeleteDeviceInfo #1", "SetupDiDeleteDeviceInfo()", "ROOT\\TVRNVAMGR\\0000");
    failingStep("SetupDiDestroyDeviceInfoList #1", "SetupDiDestroyDeviceInfoList()", "ROOT\\TVRNVAMGR\\0000");
    failingStep("SetupDiGetDeviceInstanceIdW #1", "SetupDiGetDeviceInstanceId()", "ROOT\\TVRNVAMGR\\0000",
                "Last");
}

} // namespace
} // namespace tdu::test
