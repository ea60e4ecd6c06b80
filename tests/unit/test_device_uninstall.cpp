// Taking one driver off: its devices, its published package and its file.
#include "tests/unit/SimTest.h"

namespace tdu::test {
namespace {

// A package published for tvrnva, its name recorded in the product key.
const Fragments kPublished{{"tvrnva published", "+ stage Net tvrnva\n+ reg {product} tvrnva <tvrnva.inf>"}};

// What a component's uninstall takes off, what a failing step leaves, and which devices an id takes off.
// Published names reach the store in any letter case: oem<N>.inf, and a package under its own name, as Wine
// publishes the product's.
TEST(DeviceUninstall, ComponentsAndDevices) {
    runScenarios(kPublished, R"txt(
== a component without a device loses its package, value and file; published names pass in any case
+ stage NetService tvrnns
+ reg {product} tvrnns OEM0.INF
+ file C:\Windows\INF\tvrnns.inf
+ file C:\Windows\System32\Drivers\tvrnns.sys
+ device ROOT\X\0000 NOTADEVICEDRIVER
> /uninstall NOTADEVICEDRIVER /oeminf tvrnns.inf /component tvrnns => 0
= whole log
Command received to uninstall a driver
Hardware id passed is: NOTADEVICEDRIVER, so skipped removing device.
Removed OEM: tvrnns.inf successfully.
Uninstalling OEM for component:tvrnns -> OEM0.INF
Removed OEM: OEM0.INF successfully.
Successfully deleted registry value: tvrnns
Attempting to delete 'C:\Windows\System32\Drivers\tvrnns.sys'
'C:\Windows\System32\Drivers\tvrnns.sys' deleted successfully
? packages:
? values:
? devices: ROOT\X\0000
? file C:\Windows\System32\Drivers\tvrnns.sys: absent
? file C:\Windows\INF\tvrnns.inf: absent

== a failed package removal keeps the value
use tvrnva published
+ fail SetupUninstallOEMInfW 1 5
> /uninstall "" /component tvrnva => 0
Failed to remove OEM: <tvrnva.inf>
Uninstallation of OEM INf: <tvrnva.inf> Failed.
? values: tvrnva=<tvrnva.inf>
? packages: <tvrnva.inf>

== a failed value deletion
use tvrnva published
+ fail RegDeleteValueW 1 5
> /uninstall "" /component tvrnva => 0
Removed OEM: <tvrnva.inf> successfully.
Failed to delete registry: tvrnva with error: 5
Delete32BitReg Failed.

== the product key gone before the value's deletion: nothing left to delete
use tvrnva published
+ fail RegOpenKeyExW 2 2
> /uninstall "" /component tvrnva => 0
Removed OEM: <tvrnva.inf> successfully.
!Delete32BitReg Failed.

== a restart request survives later failures
+ device ROOT\NET\0000 tvrnvamgr 0x100
> /uninstall tvrnvamgr /component tvrnvamgr /oeminf oem99.inf => 3010
Failed to remove OEM: oem99.inf
DeleteFile Failed for C:\Windows\System32\Drivers\tvrnvamgr.sys with last Error:2
Tried to delete 'C:\Windows\System32\Drivers\tvrnvamgr.sys' one more time, but failed with Error:-1
DeleteDriverFile Failed.
Reboot will be required for uninstallation of driver to complete.
? devices:

== a drivers folder that just fits; the driver file's second attempt
+ env WINDIR C:\{w*238}
+ file C:\{w*238}\System32\Drivers\tvrnva.sys
+ fail DeleteFileW 1 5
> /uninstall "" /component tvrnva => 0
Attempting to delete 'C:\{w*238}\System32\Drivers\tvrnva.sys'
DeleteFile Failed for C:\{w*238}\System32\Drivers\tvrnva.sys with last Error:5
'C:\{w*238}\System32\Drivers\tvrnva.sys' deleted successfully
? file C:\{w*238}\System32\Drivers\tvrnva.sys: absent

== a drivers folder that does not fit is never cut; a value too long to read is left alone
+ env WINDIR C:\{w*239}
+ reg {product} tvrnva {x*300}
> /uninstall "" /component tvrnva => 0
= whole log
Command received to uninstall a driver
ExpandEnvironmentStrings Failed for 'WINDIR' with last Error:122
DeleteDriverFile Failed.

== a component name that would lead out of the drivers folder deletes nothing
+ file C:\Windows\victim.sys
+ file C:\Windows\System32\victim.sys
> /uninstall "" /component C:\Windows\victim => 0
Invalid Component name: C:\Windows\victim
DeleteDriverFile Failed.
? file C:\Windows\victim.sys: present
? file C:\Windows\System32\victim.sys: present

== the reserved id is case-sensitive
+ device ROOT\X\0000 NOTADEVICEDRIVER
> /uninstall notadevicedriver => 0
Device: notadevicedriver removed successfully.
? devices:

== any of a device's ids, in any case, present or not; devices without ids logged; one asks for a restart
+ device ROOT\A\0000 first,{fe36527a-8c07-4854-8af7-bf40e7df52f7}\tvrnva
+ device ROOT\B\0000 {adapter}2
+ device ROOT\C\0000 -
+ device ROOT\D\0000 other
+ device ROOT\E\0000 -
+ device PCI\F\0001 {adapter} 0x80 absent
> /uninstall {adapter} => 3010
SetupDiGetDeviceRegistryProperty failed with last Error: 13
SetupDiGetDeviceRegistryProperty failed with last Error: 13
finished searching
Device: {adapter} removed successfully.
Reboot will be required for uninstallation of driver to complete.
? devices: ROOT\B\0000 ROOT\C\0000 ROOT\D\0000 ROOT\E\0000
)txt");
}

// Each removal step failing for the first of two devices of one id, the first of which asks for a restart:
// the step's message, the result, and the devices left.
void failingRemoval(const std::string& call, int nth, const std::string& log, int result,
                    const std::string& left, const char* file = __builtin_FILE(),
                    int line = __builtin_LINE()) {
    runRow("== " + call + " #" + std::to_string(nth) + " fails\n+ device ROOT\\A\\0000 hw 0x100\n" +
               "+ device ROOT\\B\\0000 hw\n+ fail " + call + " " + std::to_string(nth) + " 1234\n" +
               "> /uninstall hw => " + std::to_string(result) + "\n" + log + "\n" + (result == 0 ? "!" : "") +
               "Reboot will be required for uninstallation of driver to complete.\n? devices: " + left,
           file, line);
}

TEST(DeviceUninstall, EachRemovalStepFailing) {
    failingRemoval("SetupDiGetClassDevsExW", 1,
                   "= whole log\nCommand received to uninstall a driver\n"
                   "SetupDiCreateDeviceInfoList() failed with last Error: 1234\nfailed to remove device: hw ",
                   0, "ROOT\\A\\0000 ROOT\\B\\0000");
    failingRemoval("SetupDiEnumDeviceInfo", 2,
                   "failed to get device info with last error: 1234\nfailed to remove device: hw ", 3010,
                   "ROOT\\B\\0000");
    failingRemoval("SetupDiSetClassInstallParamsW", 1,
                   "SetupDiSetClassInstallParams failed with last Error: 1234", 0, "ROOT\\A\\0000");
    failingRemoval("SetupDiCallClassInstaller", 2, "SetupDiCallClassInstaller failed with last Error: 1234",
                   3010, "ROOT\\B\\0000");
    failingRemoval("SetupDiGetDeviceInstallParamsW", 1,
                   "SetupDiGetDeviceInstallParams failed with last Error: 1234", 0, "");
    failingRemoval("SetupDiGetDeviceRegistryPropertyW", 1,
                   "SetupDiGetDeviceRegistryProperty failed with last Error: 122", 0, "ROOT\\A\\0000");
}

// What a name the store does not publish under would delete, were it passed on: the store joins any name to
// its INF folder. Only "oem", a number and ".inf", or one of the product's own INF names, passes: a name
// with another extension, without the number, with more than digits, or with another prefix, as /oeminf
// gives it and as the product key records it, is logged, refused like a failed removal, and everything
// after goes on. (A separator, a drive, "..", a wildcard or a device name fails the same test.)
void refusedInfName(const std::string& name, const char* file = __builtin_FILE(),
                    int line = __builtin_LINE()) {
    runRow("== the name " + name + "\n+ stage Net tvrnva\n+ file C:\\Windows\\INF\\" + name +
               "\n+ reg {product} tvrnva " + name + "\n> /uninstall NOTADEVICEDRIVER /oeminf " + name +
               " /component tvrnva => 0\nInvalid OEM Inf name: " + name + "\nUninstallation of OEM: " + name +
               " Failed.\nInvalid OEM Inf name: " + name + "\nUninstallation of OEM INf: " + name +
               " Failed.\nDeleteDriverFile Failed.\n? values: tvrnva=" + name +
               "\n? packages: <tvrnva.inf>\n" + "? file C:\\Windows\\INF\\" + name + ": present",
           file, line);
}

TEST(DeviceUninstall, OnlyABareInfNameReachesTheStore) {
    refusedInfName("..\\victim.inf"); // the file it names is C:\Windows\victim.inf
    refusedInfName("oem1.txt");
    refusedInfName("oem.inf");
    refusedInfName("oem1a.inf");
    refusedInfName("tvr1.inf");
}

} // namespace
} // namespace tdu::test
