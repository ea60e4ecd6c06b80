// Publishing one driver package and creating its device.
#include "tests/unit/SimTest.h"

namespace tdu::test {
namespace {

// Only a case-blind "YES" asks for the device not to be started by the
// configuration manager while it is registered. Every step of a device's
// creation failing: after registration the device stays although the result
// is an error.
TEST(DeviceInstall, Scenarios) {
    runRowScenarios(
        kRow,
        R"txt(publishes, records, creates and updates|inf C:\Drivers\tvrnva.inf Net {adapter}|/install C:\Drivers\tvrnva.inf /hardwareid {adapter} /component tvrnva|0|Command received to install a driver;Successfully copied driver to driver store, output oem: C:\Windows\INF\<tvrnva.inf>;Successfully set registry: tvrnva;Hardware ID: {adapter};Adding a device without instance id;Device: {adapter} added successfully.;Device: {adapter} updated Successfully.|? packages: <tvrnva.inf>;? values: tvrnva=<tvrnva.inf>;? device ROOT\{FE36527A-8C07-4854-8AF7-BF40E7DF52F7}&TVRNVA\0000: ids={adapter} inf=<tvrnva.inf> flags=0x0 class=Net
a package already in the store keeps its name|stage Net tvrnvamgr;inf C:\Drivers\tvrnvamgr.inf Net tvrnvamgr|/install C:\Drivers\tvrnvamgr.inf /component tvrnvamgr|0|Command received to install a driver;Successfully copied driver to driver store, output oem: C:\Windows\INF\<tvrnvamgr.inf>;Successfully set registry: tvrnvamgr|? packages: <tvrnvamgr.inf>;? values: tvrnvamgr=<tvrnvamgr.inf>
an INF path of 260 characters is taken||/install C:\{f*200}\{n*52}.inf|0|Command received to install a driver;Inf Path does not exist: C:\{f*200}\{n*52}.inf|
an INF path of 261 characters is not||/install C:\{f*200}\{n*53}.inf|2|Command received to install a driver;InfPath has exceeded MAX_PATH limit|
a clean-up failure replaces an earlier error|fail SetupDiSetDeviceRegistryPropertyW 1 13;fail SetupDiDeleteDeviceInfo 1 31|@AddDevice tvrnvamgr|31|SetupDiSetDeviceRegistryProperty()-> failed with last Error: 13;SetupDiDeleteDeviceInfo()-> failed with last Error: 31|? devices:
start device "YES"||/install "" /hardwareid tvrnvamgr /startdevice "YES"|0|Command received to install a driver;Inf Name is empty.;Hardware ID: tvrnvamgr;Start Device is true;Adding a device without instance id;Device: tvrnvamgr added successfully.|? device ROOT\TVRNVAMGR\0000: ids=tvrnvamgr inf= flags=0x20000 class=Net
start device "yes"||/install "" /hardwareid tvrnvamgr /startdevice "yes"|0|Command received to install a driver;Inf Name is empty.;Hardware ID: tvrnvamgr;Start Device is true;Adding a device without instance id;Device: tvrnvamgr added successfully.|? device ROOT\TVRNVAMGR\0000: ids=tvrnvamgr inf= flags=0x20000 class=Net
start device "Yes"||/install "" /hardwareid tvrnvamgr /startdevice "Yes"|0|Command received to install a driver;Inf Name is empty.;Hardware ID: tvrnvamgr;Start Device is true;Adding a device without instance id;Device: tvrnvamgr added successfully.|? device ROOT\TVRNVAMGR\0000: ids=tvrnvamgr inf= flags=0x20000 class=Net
start device "Y"||/install "" /hardwareid tvrnvamgr /startdevice "Y"|0|Command received to install a driver;Inf Name is empty.;Hardware ID: tvrnvamgr;Adding a device without instance id;Device: tvrnvamgr added successfully.|? device ROOT\TVRNVAMGR\0000: ids=tvrnvamgr inf= flags=0x0 class=Net
start device "NO"||/install "" /hardwareid tvrnvamgr /startdevice "NO"|0|Command received to install a driver;Inf Name is empty.;Hardware ID: tvrnvamgr;Adding a device without instance id;Device: tvrnvamgr added successfully.|? device ROOT\TVRNVAMGR\0000: ids=tvrnvamgr inf= flags=0x0 class=Net
start device "YES "||/install "" /hardwareid tvrnvamgr /startdevice "YES "|0|Command received to install a driver;Inf Name is empty.;Hardware ID: tvrnvamgr;Adding a device without instance id;Device: tvrnvamgr added successfully.|? device ROOT\TVRNVAMGR\0000: ids=tvrnvamgr inf= flags=0x0 class=Net
SetupDiClassGuidsFromNameW #1 fails|fail SetupDiClassGuidsFromNameW 1 701|@AddDevice tvrnvamgr start|701|SetupDiClassGuidsFromName()-> failed with last Error: 701|? devices: 
SetupDiCreateDeviceInfoList #1 fails|fail SetupDiCreateDeviceInfoList 1 701|@AddDevice tvrnvamgr start|701|SetupDiCreateDeviceInfoList()-> failed with last Error: 701|? devices: 
SetupDiCreateDeviceInfoW #1 fails|fail SetupDiCreateDeviceInfoW 1 701|@AddDevice tvrnvamgr start|701|SetupDiCreateDeviceInfo()-> failed with last Error: 701|? devices: 
SetupDiSetDeviceRegistryPropertyW #1 fails|fail SetupDiSetDeviceRegistryPropertyW 1 701|@AddDevice tvrnvamgr start|701|SetupDiSetDeviceRegistryProperty()-> failed with last Error: 701|? devices: 
SetupDiGetDeviceInstallParamsW #1 fails|fail SetupDiGetDeviceInstallParamsW 1 701|@AddDevice tvrnvamgr start|701|SetupDiGetDeviceInstallParams()-> failed with last Error: 701|? devices: 
SetupDiSetDeviceInstallParamsW #1 fails|fail SetupDiSetDeviceInstallParamsW 1 701|@AddDevice tvrnvamgr start|701|SetupDiSetDeviceInstallParams()-> failed with last Error: 701|? devices: 
SetupDiCallClassInstaller #1 fails|fail SetupDiCallClassInstaller 1 701|@AddDevice tvrnvamgr start|701|SetupDiCallClassInstaller()-> failed with last Error: 701|? devices: 
SetupDiGetDeviceInstanceIdW #1 fails|fail SetupDiGetDeviceInstanceIdW 1 701|@AddDevice tvrnvamgr start|701|SetupDiGetDeviceInstanceId()-> failed with Last Error: 701|? devices: ROOT\TVRNVAMGR\0000
SetupDiGetDeviceInstallParamsW #2 fails|fail SetupDiGetDeviceInstallParamsW 2 701|@AddDevice tvrnvamgr start|701|SetupDiGetDeviceInstallParams()-> failed with last Error: 701|? devices: ROOT\TVRNVAMGR\0000
SetupDiDeleteDeviceInfo #1 fails|fail SetupDiDeleteDeviceInfo 1 701|@AddDevice tvrnvamgr start|701|SetupDiDeleteDeviceInfo()-> failed with last Error: 701|? devices: ROOT\TVRNVAMGR\0000
SetupDiDestroyDeviceInfoList #1 fails|fail SetupDiDestroyDeviceInfoList 1 701|@AddDevice tvrnvamgr start|701|SetupDiDestroyDeviceInfoList()-> failed with last Error: 701|? devices: ROOT\TVRNVAMGR\0000)txt");
}

// Each stage of an install, from the first message that differs.
TEST(DeviceInstall, Stages) {
    runRowScenarios(
        R"txt(
== {1}
inf C:\Drivers\tvrnva.inf Net {adapter}
{2}
> /install {3} /component tvrnva
= {4}
Command received to install a driver
{5}
? devices: {6}
? values: {7}
)txt",
        R"txt(no hardware id: the store only||C:\Drivers\tvrnva.inf|0|Successfully copied driver to driver store, output oem: C:\Windows\INF\<tvrnva.inf>;Successfully set registry: tvrnva||tvrnva=<tvrnva.inf>
missing INF: the device stage still runs and the update fails||C:\Drivers\missing.inf /hardwareid {adapter}|2|Inf Path does not exist: C:\Drivers\missing.inf;Hardware ID: {adapter};Adding a device without instance id;Device: {adapter} added successfully.;UpdateDriverForPlugAndPlayDevices failed with last Errorf: 2|ROOT\{FE36527A-8C07-4854-8AF7-BF40E7DF52F7}&TVRNVA\0000|
no INF: device only||"" /hardwareid {adapter}|0|Inf Name is empty.;Hardware ID: {adapter};Adding a device without instance id;Device: {adapter} added successfully.|ROOT\{FE36527A-8C07-4854-8AF7-BF40E7DF52F7}&TVRNVA\0000|
publication fails: logged, not the result|fail SetupCopyOEMInfW 1 5|C:\Drivers\tvrnva.inf|0|Failed to copy Inf File with last Error: 5||
registry write fails: logged, not the result|fail RegSetValueExW 1 5|C:\Drivers\tvrnva.inf|0|Successfully copied driver to driver store, output oem: C:\Windows\INF\<tvrnva.inf>;Failed to set reg: tvrnva;Failed to set registry for Component: tvrnva||
update fails: its code is the result|fail UpdateDriverForPlugAndPlayDevicesW 1 0xE0000203|C:\Drivers\tvrnva.inf /hardwareid {adapter}|0xE0000203|Successfully copied driver to driver store, output oem: C:\Windows\INF\<tvrnva.inf>;Successfully set registry: tvrnva;Hardware ID: {adapter};Adding a device without instance id;Device: {adapter} added successfully.;UpdateDriverForPlugAndPlayDevices failed with last Errorf: 3758096899|ROOT\{FE36527A-8C07-4854-8AF7-BF40E7DF52F7}&TVRNVA\0000|tvrnva=<tvrnva.inf>
restart requested|restart|C:\Drivers\tvrnva.inf /hardwareid {adapter}|3010|Successfully copied driver to driver store, output oem: C:\Windows\INF\<tvrnva.inf>;Successfully set registry: tvrnva;Hardware ID: {adapter};Adding a device without instance id;Device: {adapter} added successfully.;Device: {adapter} updated Successfully.;Installation of driver succeeded but reboot wil be required.|ROOT\{FE36527A-8C07-4854-8AF7-BF40E7DF52F7}&TVRNVA\0000|tvrnva=<tvrnva.inf>
instance id given||"" /hardwareid {adapter} /instid ROOT\NET\0042|0|Inf Name is empty.;Hardware ID: {adapter};Instance ID: ROOT\NET\0042;Adding a device with instance id;Device: {adapter} added successfully.|ROOT\NET\0042|
an existing instance id: AddDevice's error|device ROOT\NET\0042 -|"" /hardwareid {adapter} /instid ROOT\NET\0042|0xE0000207|Inf Name is empty.;Hardware ID: {adapter};Instance ID: ROOT\NET\0042;Adding a device with instance id;SetupDiCreateDeviceInfo()-> failed with last Error: 3758096903;AddDevice()-> failed|ROOT\NET\0042|)txt");
}

} // namespace
} // namespace tdu::test
