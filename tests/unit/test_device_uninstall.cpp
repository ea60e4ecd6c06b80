// Taking one driver off: its devices, its published package and its file.
#include "tests/unit/SimTest.h"

namespace tdu::test {
namespace {

TEST(DeviceUninstall, Scenarios) {
    runScenarios(
        kRow,
        R"txt(a component without a device loses its package, value and file|stage NetService tvrnns;reg {product} tvrnns oem0.inf;file C:\Windows\System32\Drivers\tvrnns.sys;device ROOT\X\0000 NOTADEVICEDRIVER|/uninstall NOTADEVICEDRIVER /component tvrnns|0|Command received to uninstall a driver;Hardware id passed is: NOTADEVICEDRIVER, so skipped removing device.;Uninstalling OEM for component:tvrnns -> oem0.inf;Removed OEM: oem0.inf successfully.;Successfully deleted registry value: tvrnns;Attempting to delete 'C:\Windows\System32\Drivers\tvrnns.sys';'C:\Windows\System32\Drivers\tvrnns.sys' deleted successfully|? packages:;? values:;? devices: ROOT\X\0000;? file C:\Windows\System32\Drivers\tvrnns.sys: absent
the reserved id is case-sensitive|device ROOT\X\0000 NOTADEVICEDRIVER|/uninstall notadevicedriver|0|Command received to uninstall a driver;finished searching;Device: notadevicedriver removed successfully.|? devices:
twice in a row|stage System tvrnvamgr;reg {product} tvrnvamgr oem0.inf;file C:\Windows\System32\Drivers\tvrnvamgr.sys;run /uninstall "" /component tvrnvamgr|/uninstall "" /component tvrnvamgr|0|Command received to uninstall a driver;Attempting to delete 'C:\Windows\System32\Drivers\tvrnvamgr.sys';DeleteFile Failed for C:\Windows\System32\Drivers\tvrnvamgr.sys with last Error:2;Tried to delete 'C:\Windows\System32\Drivers\tvrnvamgr.sys' one more time, but failed with Error:-1;DeleteDriverFile Failed.|
a failed package removal keeps the value|stage Net tvrnva;reg {product} tvrnva oem0.inf;file C:\Windows\System32\Drivers\tvrnva.sys;fail SetupUninstallOEMInfW 1 5|/uninstall "" /component tvrnva|0|Command received to uninstall a driver;Uninstalling OEM for component:tvrnva -> oem0.inf;Failed to remove OEM: oem0.inf;Uninstallation of OEM INf: oem0.inf Failed.;Attempting to delete 'C:\Windows\System32\Drivers\tvrnva.sys';'C:\Windows\System32\Drivers\tvrnva.sys' deleted successfully|? values: tvrnva=oem0.inf;? packages: oem0.inf
a failed value deletion|stage Net tvrnva;reg {product} tvrnva oem0.inf;fail RegDeleteValueW 1 5|/uninstall "" /component tvrnva|0 ...|Removed OEM: oem0.inf successfully.;Failed to delete registry: tvrnva with error: 5;Delete32BitReg Failed.|
a value too long to read is left alone|reg {product} tvrnva {x*300}|/uninstall "" /component tvrnva|0 ...|!Uninstalling OEM for component:tvrnva -> {x*300};DeleteDriverFile Failed.|
a restart request survives later failures|device ROOT\NET\0000 tvrnvamgr 0x100|/uninstall tvrnvamgr /component tvrnvamgr /oeminf oem99.inf|3010|Command received to uninstall a driver;finished searching;Device: tvrnvamgr removed successfully.;Failed to remove OEM: oem99.inf;Uninstallation of OEM: oem99.inf Failed.;Attempting to delete 'C:\Windows\System32\Drivers\tvrnvamgr.sys';DeleteFile Failed for C:\Windows\System32\Drivers\tvrnvamgr.sys with last Error:2;Tried to delete 'C:\Windows\System32\Drivers\tvrnvamgr.sys' one more time, but failed with Error:-1;DeleteDriverFile Failed.;Reboot will be required for uninstallation of driver to complete.|? devices:
a drivers folder that just fits|env WINDIR C:\{w*238}|/uninstall "" /component tvrnva|0 ...|Attempting to delete 'C:\{w*238}\System32\Drivers\tvrnva.sys'|
a drivers folder that does not fit is never cut|env WINDIR C:\{w*239}|/uninstall "" /component tvrnva|0|Command received to uninstall a driver;ExpandEnvironmentStrings Failed for 'WINDIR' with last Error:122;DeleteDriverFile Failed.|
the driver file's second attempt|file C:\Windows\System32\Drivers\tvrnva.sys;fail DeleteFileW 1 5|/uninstall "" /component tvrnva|0|Command received to uninstall a driver;Attempting to delete 'C:\Windows\System32\Drivers\tvrnva.sys';DeleteFile Failed for C:\Windows\System32\Drivers\tvrnva.sys with last Error:5;'C:\Windows\System32\Drivers\tvrnva.sys' deleted successfully|? file C:\Windows\System32\Drivers\tvrnva.sys: absent)txt");
}

// Which devices an id takes off; a restart one of them asks for is the result.
TEST(DeviceUninstall, Removal) {
    runScenarios(R"txt(
== {1}
{2}
> /uninstall {adapter}
= {3}
Command received to uninstall a driver
{4}
finished searching
Device: {adapter} removed successfully.
{5}
? devices: {6}
)txt",
                 R"txt(nothing carries the id|device ROOT\A\0000 other|0|||ROOT\A\0000
a second id in another case|device ROOT\A\0000 first,{fe36527a-8c07-4854-8af7-bf40e7df52f7}\tvrnva|0|||
a prefix does not match|device ROOT\A\0000 {adapter}2|0|||ROOT\A\0000
two devices, present or not, one asks for a restart|device ROOT\A\0000 {adapter};device PCI\B\0001 {adapter} 0x80 absent|3010||Reboot will be required for uninstallation of driver to complete.|
devices without ids are logged and skipped|device ROOT\A\0000 -;device ROOT\B\0000 {adapter};device ROOT\C\0000 -|0|SetupDiGetDeviceRegistryProperty failed with last Error: 13;SetupDiGetDeviceRegistryProperty failed with last Error: 13||ROOT\A\0000 ROOT\C\0000)txt");
}

// Each removal step failing for the first of two matching devices, the
// first of which asks for a restart.
TEST(DeviceUninstall, RemovalStepFailures) {
    runScenarios(
        R"txt(
== {1} #{2} fails
device ROOT\A\0000 hw 0x100
device ROOT\B\0000 hw
fail {1} {2} 1234
> /uninstall hw
= {3}
Command received to uninstall a driver
{4}
? devices: {5}
)txt",
        R"txt(SetupDiGetClassDevsExW|1|0|SetupDiCreateDeviceInfoList() failed with last Error: 1234;failed to remove device: hw |ROOT\A\0000 ROOT\B\0000
SetupDiEnumDeviceInfo|2|3010|failed to get device info with last error: 1234;failed to remove device: hw ;Reboot will be required for uninstallation of driver to complete.|ROOT\B\0000
SetupDiSetClassInstallParamsW|1|0|SetupDiSetClassInstallParams failed with last Error: 1234;finished searching;Device: hw removed successfully.|ROOT\A\0000
SetupDiCallClassInstaller|2|3010|SetupDiCallClassInstaller failed with last Error: 1234;finished searching;Device: hw removed successfully.;Reboot will be required for uninstallation of driver to complete.|ROOT\B\0000
SetupDiGetDeviceInstallParamsW|1|0|SetupDiGetDeviceInstallParams failed with last Error: 1234;finished searching;Device: hw removed successfully.|
SetupDiGetDeviceRegistryPropertyW|1|0|SetupDiGetDeviceRegistryProperty failed with last Error: 122;finished searching;Device: hw removed successfully.|ROOT\A\0000)txt");
}

} // namespace
} // namespace tdu::test
