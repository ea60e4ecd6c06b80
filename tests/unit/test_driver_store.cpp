// The product's packages in the driver store, the INF cache, the filter's INF sections and what an
// earlier net-service install left behind.
#include "tests/unit/SimTest.h"

namespace tdu::test {
namespace {

// The INF cache: a file in the Windows folder's INF, its path refused rather than cut or made relative.
void infCache(const std::string& name, const std::string& planted, int result, const std::string& log,
              const std::string& cache, const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
    runRow("== INF cache: " + name + "\n" + planted + "\n> @RemoveINFCACHE => " + std::to_string(result) +
               "\n= whole log\nRemoving INF Cache\n" + log + "\n? file " + cache,
           file, line);
}

TEST(DriverStore, InfCache) {
    const std::string cache = "C:\\Windows\\INF\\INFCACHE.1";
    infCache("reported missing, then removed", "+ file " + cache + "\n+ fail DeleteFileW 1 2", 0,
             "DeleteFile(\"" + cache + "\") failure ignored. File Not Found.", cache + ": absent");
    infCache("locked, then removed", "+ file " + cache + "\n+ fail DeleteFileW 1 32", 1603,
             "DeleteFile(\"" + cache + "\") failed. GetLastError():0x20", cache + ": absent");
    infCache("broken off", "+ file " + cache + "\n+ throw DeleteFileW 1", 1603, "", cache + ": present");
    infCache("Windows directory too long", "+ windir C:\\{w*258}", 1603,
             "GetWindowsDirectory()->262  GetLastError():0", cache + ": absent");
    infCache("Windows directory unreadable", "+ fail GetWindowsDirectoryW 1 8", 1603,
             "GetWindowsDirectory()->0  GetLastError():0x8", cache + ": absent");
    infCache("a Windows directory of 260 characters fits",
             "+ windir C:\\{w*127}\\{w*129}\n+ file C:\\{w*127}\\{w*129}\\INF\\INFCACHE.1", 0,
             "DeleteFile(\"C:\\{w*127}\\{w*129}\\INF\\INFCACHE.1\") succeeded.",
             "C:\\{w*127}\\{w*129}\\INF\\INFCACHE.1: absent");
    infCache("a relative Windows directory", "+ windir Windows\n+ file Windows\\INF\\INFCACHE.1", 1603,
             "GetWindowsDirectory()->7  GetLastError():0xcb", "Windows\\INF\\INFCACHE.1: present");
    infCache("a Windows directory still holding a variable",
             "+ windir C:\\%SystemRoot%\n+ file C:\\%SystemRoot%\\INF\\INFCACHE.1", 1603,
             "GetWindowsDirectory()->15  GetLastError():0xcb", "C:\\%SystemRoot%\\INF\\INFCACHE.1: present");
}

// The filter's sections, run or broken off; a command line that would not fit the platform's 1024
// characters is refused, never cut to name another file.
void filterSection(const std::string& op, const std::string& section, const std::string& failed, int longest,
                   const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
    const std::string call = "> @" + op + "SplitDnsFilter ";
    const std::string inf = "C:\\d\\SplitDNSFilter.inf";
    const std::string enter = "= whole log\nEnter " + op + "SplitDnsFilter\\n\n";
    const std::string calling =
        "Calling InstallHinfSectionW with params: " + section + " 128 " + inf + "\\n\n";
    const std::string exit = "Exit " + op + "SplitDnsFilter\\n\n";
    const std::string fails = failed + " " + op + "SplitDnsFilter\\n\n" + exit;
    const std::string fits = "C:\\{x*" + std::to_string(longest) + "}.inf";
    runRow("== " + op + "\n" + call + inf + " => 0\n" + enter + calling + exit + "? sections: " + section +
               " 128 " + inf + "\n== broken off\n+ throw InstallHinfSectionW 1\n" + call + inf +
               " => 1603\n" + enter + calling + fails + "== the longest line\n" + call + fits +
               " => 0\n? sections: " + section + " 128 " + fits + "\n== one more character\n" + call +
               "C:\\{x*" + std::to_string(longest + 1) + "}.inf => 1603\n" + enter + fails + "? sections:",
           file, line);
}

TEST(DriverStore, FilterSections) {
    filterSection("Install", "DefaultInstall", "Failing", 997);
    filterSection("UnInstall", "DefaultUnInstall", "Failed", 995);
}

// The packages the store lists for the product's ids, and what an earlier net-service install left: the
// DIFx component's and the service's keys, and its folders in DRVSTORE.
const Fragments kResiduals{
    {"the keys", "+ key SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\DIFxAPP\\Components\\{difx}\\sub\n"
                 "+ key SYSTEM\\CurrentControlSet\\Services\\tvrnns"},
    {"the keys deleted",
     "Deleting Registry: SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\DIFxAPP\\Components\\{difx}\n"
     "Successfully deleted: SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\DIFxAPP\\Components\\{difx}\\sub\n"
     "Successfully deleted at the end: "
     "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\DIFxAPP\\Components\\{difx}\n"
     "Deleting Registry: SYSTEM\\CurrentControlSet\\Services\\tvrnns\n"
     "Successfully deleted: SYSTEM\\CurrentControlSet\\Services\\tvrnns"},
};

TEST(DriverStore, ListingAndResiduals) {
    runScenarios(kResiduals, R"txt(
== each id's packages, in their own class only and in the ids' order; two driver nodes of one package;
... the folder as the details spell it
+ detail C:/windows/inf\
+ stage NetService tvrnns
+ stage Net tvrnns,tvrnvamgr
+ stage Net unrelated
+ stage Net tvrnna_mp,tvrnna_mp 12/31/1999 10.0.65535.7
+ stage Net {adapter}
> @ListDriverInfs => 0
= whole log
Listing Driver Infs
C:/windows/inf\<tvrnns.inf> 05/07/2021 1.2.3.4 tvrnns\n
C:/windows/inf\<tvrnna_mp,tvrnna_mp.inf> 12/31/1999 10.0.65535.7 tvrnna_mp\n
C:/windows/inf\<tvrnna_mp,tvrnna_mp.inf> 12/31/1999 10.0.65535.7 tvrnna_mp\n
C:/windows/inf\<tvrnns,tvrnvamgr.inf> 05/07/2021 1.2.3.4 tvrnvamgr\n
C:/windows/inf\<{FE36527A-8C07-4854-8AF7-BF40E7DF52F7}_TVRNVA.inf> 05/07/2021 1.2.3.4 {adapter}\n
? found: <tvrnns.inf>:tvrnns <tvrnna_mp,tvrnna_mp.inf>:tvrnna_mp <tvrnna_mp,tvrnna_mp.inf>:tvrnna_mp
... <tvrnns,tvrnvamgr.inf>:tvrnvamgr <{FE36527A-8C07-4854-8AF7-BF40E7DF52F7}_TVRNVA.inf>:{adapter}
? devices:

== a failed detail other than a short buffer makes its driver the last
+ stage NetService tvrnns,tvrnns
+ fail SetupDiGetDriverInfoDetailW 1 5
> @ListDriverInfs => 0
? found: :tvrnns

== a resource failure gives 1603 and ends the listing
+ stage NetService tvrnns
+ stage Net tvrnvamgr
+ throw SetupDiEnumDriverInfoW 1
> @ListDriverInfs => 1603
? found:

== no store
use the keys
> @cleanTVRNNSResiduals => 0
DRVStore path does not exists: C:\Windows\System32\DRVSTORE
use the keys deleted

== a folder with only the .inf, beside a folder and a file that do not match
use the keys
+ file C:\Windows\System32\DRVSTORE\tvrnns_1a2b\tvrnns.inf
+ dir C:\Windows\System32\DRVSTORE\other_1
+ file C:\Windows\System32\DRVSTORE\tvrnns_file
> @cleanTVRNNSResiduals => 0
= whole log
Cleaning TVRNNS Residuals
DRVStore path is: C:\Windows\System32\DRVSTORE
DRVStore path exists: C:\Windows\System32\DRVSTORE
TVRNNS Dir: tvrnns_1a2b
Erasing: C:\Windows\System32\DRVSTORE\tvrnns_1a2b\tvrnns.inf
Successfully deleted: C:\Windows\System32\DRVSTORE\tvrnns_1a2b\tvrnns.inf
Erasing: C:\Windows\System32\DRVSTORE\tvrnns_1a2b\tvrnns.cat
File not found: C:\Windows\System32\DRVSTORE\tvrnns_1a2b\tvrnns.cat
Erasing: C:\Windows\System32\DRVSTORE\tvrnns_1a2b\tvrnns.sys
File not found: C:\Windows\System32\DRVSTORE\tvrnns_1a2b\tvrnns.sys
use the keys deleted
? dir C:\Windows\System32\DRVSTORE: other_1 tvrnns_file

== an extra file keeps its folder, an undeletable one too; a file deleted on the second try
+ file C:\Windows\System32\DRVSTORE\tvrnns_1a2b\extra.log
+ file C:\Windows\System32\DRVSTORE\tvrnns_3c4d\tvrnns.sys
+ file C:\Windows\System32\DRVSTORE\TVRNNS_9\tvrnns.sys
+ fail DeleteFileW 0 32
+ fail _wremove 1 32
> @cleanTVRNNSResiduals => 0
RemoveDirectory Failed for 'tvrnns_1a2b' with Error:145
Tried to delete 'C:\Windows\System32\DRVSTORE\tvrnns_3c4d\tvrnns.sys' one more time, but failed with Error:-1
RemoveDirectory Failed for 'tvrnns_3c4d' with Error:145
TVRNNS Dir: TVRNNS_9
File not found: C:\Windows\System32\DRVSTORE\TVRNNS_9\tvrnns.cat
DeleteFile Failed for C:\Windows\System32\DRVSTORE\TVRNNS_9\tvrnns.sys with last Error:32
Successfully deleted: C:\Windows\System32\DRVSTORE\TVRNNS_9\tvrnns.sys
!RemoveDirectory Failed for 'TVRNNS_9' with Error:145
? dir C:\Windows\System32\DRVSTORE: tvrnns_1a2b tvrnns_3c4d

== WINDIR missing: no store under the working folder
use the keys
+ env WINDIR
+ file %WINDIR%\System32\DRVSTORE\tvrnns_1\tvrnns.inf
> @cleanTVRNNSResiduals => 0
ExpandEnvironmentStrings Failed for 'WINDIR' with last Error:203
use the keys deleted
? file %WINDIR%\System32\DRVSTORE\tvrnns_1\tvrnns.inf: present

)txt");
}

} // namespace
} // namespace tdu::test
