// The product's packages in the driver store, the INF cache, the filter's
// INF sections and what an earlier net-service install left behind.
#include "tests/unit/SimTest.h"

namespace tdu::test {
namespace {

// The filter's sections; a command line that would not fit the platform's
// 1024 characters is refused, never cut to name another file.
TEST(DriverStore, Scenarios) {
    runRowScenarios(
        kRow,
        R"txt(a package is found under each id it declares, in its own class only|stage NetService tvrnns;stage Net tvrnns,tvrnvamgr;stage Net unrelated|@ListDriverInfs|0|Listing Driver Infs;C:\Windows\INF\<tvrnns.inf> 05/07/2021 1.2.3.4 tvrnns\n;C:\Windows\INF\<tvrnns,tvrnvamgr.inf> 05/07/2021 1.2.3.4 tvrnvamgr\n|? entries: <tvrnns.inf>:tvrnns <tvrnns,tvrnvamgr.inf>:tvrnvamgr;? devices:
a package as two driver nodes, pairs in order, the folder as the details spell it|detail C:/windows/inf\;stage Net tvrnna_mp,tvrnna_mp 12/31/1999 10.0.65535.7;stage Net {adapter}|@ListDriverInfs|0|Listing Driver Infs;C:/windows/inf\<tvrnna_mp,tvrnna_mp.inf> 12/31/1999 10.0.65535.7 tvrnna_mp\n;C:/windows/inf\<tvrnna_mp,tvrnna_mp.inf> 12/31/1999 10.0.65535.7 tvrnna_mp\n;C:/windows/inf\<{FE36527A-8C07-4854-8AF7-BF40E7DF52F7}_TVRNVA.inf> 05/07/2021 1.2.3.4 {adapter}\n|? entries: <tvrnna_mp,tvrnna_mp.inf>:tvrnna_mp <tvrnna_mp,tvrnna_mp.inf>:tvrnna_mp <{FE36527A-8C07-4854-8AF7-BF40E7DF52F7}_TVRNVA.inf>:{adapter}
a failed detail other than a short buffer makes its driver the last|stage NetService tvrnns,tvrnns;fail SetupDiGetDriverInfoDetailW 1 5|@ListDriverInfs|0 ...||? entries: :tvrnns
a resource failure gives 1603 and ends the listing|stage NetService tvrnns;stage Net tvrnvamgr;throw SetupDiEnumDriverInfoW 1|@ListDriverInfs|1603|Listing Driver Infs|? entries:
INF cache: missing||@RemoveINFCACHE|0|Removing INF Cache;DeleteFile("C:\Windows\INF\INFCACHE.1") failure ignored. File Not Found.|? file C:\Windows\INF\INFCACHE.1: absent
INF cache: present|file C:\Windows\INF\INFCACHE.1|@RemoveINFCACHE|0|Removing INF Cache;DeleteFile("C:\Windows\INF\INFCACHE.1") succeeded.|? file C:\Windows\INF\INFCACHE.1: absent
INF cache: locked, then removed|file C:\Windows\INF\INFCACHE.1;fail DeleteFileW 1 32|@RemoveINFCACHE|1603|Removing INF Cache;DeleteFile("C:\Windows\INF\INFCACHE.1") failed. GetLastError():0x20|? file C:\Windows\INF\INFCACHE.1: absent
INF cache: locked for good|file C:\Windows\INF\INFCACHE.1;fail DeleteFileW 1 32;fail _wremove 1 32|@RemoveINFCACHE|1603|Removing INF Cache;DeleteFile("C:\Windows\INF\INFCACHE.1") failed. GetLastError():0x20|? file C:\Windows\INF\INFCACHE.1: present
INF cache: Windows directory too long|windir C:\{w*258}|@RemoveINFCACHE|1603|Removing INF Cache;GetWindowsDirectory()->262  GetLastError():0|? file C:\Windows\INF\INFCACHE.1: absent
INF cache: Windows directory unreadable|fail GetWindowsDirectoryW 1 8|@RemoveINFCACHE|1603|Removing INF Cache;GetWindowsDirectory()->0  GetLastError():0x8|? file C:\Windows\INF\INFCACHE.1: absent
INF cache: a Windows directory of 260 characters fits|windir C:\{w*127}\{w*129};file C:\{w*127}\{w*129}\INF\INFCACHE.1|@RemoveINFCACHE|0|Removing INF Cache;DeleteFile("C:\{w*127}\{w*129}\INF\INFCACHE.1") succeeded.|? file C:\{w*127}\{w*129}\INF\INFCACHE.1: absent
INF cache: a relative Windows directory|windir Windows;file Windows\INF\INFCACHE.1|@RemoveINFCACHE|1603|Removing INF Cache;GetWindowsDirectory()->7  GetLastError():0xcb|? file Windows\INF\INFCACHE.1: present
INF cache: a Windows directory on the drive's working folder|windir C:Windows;file C:\Windows\INF\INFCACHE.1|@RemoveINFCACHE|1603|Removing INF Cache;GetWindowsDirectory()->9  GetLastError():0xcb|? file C:\Windows\INF\INFCACHE.1: present
INF cache: a Windows directory still holding a variable|windir C:\%SystemRoot%;file C:\%SystemRoot%\INF\INFCACHE.1|@RemoveINFCACHE|1603|Removing INF Cache;GetWindowsDirectory()->15  GetLastError():0xcb|? file C:\%SystemRoot%\INF\INFCACHE.1: present
INF cache: a Windows directory on a server's share|windir \\server\win;file \\server\win\INF\INFCACHE.1|@RemoveINFCACHE|0|Removing INF Cache;DeleteFile("\\server\win\INF\INFCACHE.1") succeeded.|? file \\server\win\INF\INFCACHE.1: absent
INF cache: broken off|file C:\Windows\INF\INFCACHE.1;throw DeleteFileW 1|@RemoveINFCACHE|1603|Removing INF Cache|? file C:\Windows\INF\INFCACHE.1: present
InstallSplitDnsFilter||@InstallSplitDnsFilter C:\d\SplitDNSFilter.inf|0|Enter InstallSplitDnsFilter\n;Calling InstallHinfSectionW with params: DefaultInstall 128 C:\d\SplitDNSFilter.inf\n;Exit InstallSplitDnsFilter\n|? sections: DefaultInstall 128 C:\d\SplitDNSFilter.inf
InstallSplitDnsFilter broken off|throw InstallHinfSectionW 1|@InstallSplitDnsFilter C:\d\SplitDNSFilter.inf|1603|Enter InstallSplitDnsFilter\n;Calling InstallHinfSectionW with params: DefaultInstall 128 C:\d\SplitDNSFilter.inf\n;Failing InstallSplitDnsFilter\n;Exit InstallSplitDnsFilter\n|
InstallSplitDnsFilter: 1023 characters of command line are the most||@InstallSplitDnsFilter C:\{x*997}.inf|0 ...||? sections: DefaultInstall 128 C:\{x*997}.inf
InstallSplitDnsFilter: one more is refused||@InstallSplitDnsFilter C:\{x*998}.inf|1603|Enter InstallSplitDnsFilter\n;Failing InstallSplitDnsFilter\n;Exit InstallSplitDnsFilter\n|? sections:
UnInstallSplitDnsFilter||@UnInstallSplitDnsFilter C:\d\SplitDNSFilter.inf|0|Enter UnInstallSplitDnsFilter\n;Calling InstallHinfSectionW with params: DefaultUnInstall 128 C:\d\SplitDNSFilter.inf\n;Exit UnInstallSplitDnsFilter\n|? sections: DefaultUnInstall 128 C:\d\SplitDNSFilter.inf
UnInstallSplitDnsFilter broken off|throw InstallHinfSectionW 1|@UnInstallSplitDnsFilter C:\d\SplitDNSFilter.inf|1603|Enter UnInstallSplitDnsFilter\n;Calling InstallHinfSectionW with params: DefaultUnInstall 128 C:\d\SplitDNSFilter.inf\n;Failed UnInstallSplitDnsFilter\n;Exit UnInstallSplitDnsFilter\n|
UnInstallSplitDnsFilter: 1023 characters of command line are the most||@UnInstallSplitDnsFilter C:\{x*995}.inf|0 ...||? sections: DefaultUnInstall 128 C:\{x*995}.inf
UnInstallSplitDnsFilter: one more is refused||@UnInstallSplitDnsFilter C:\{x*996}.inf|1603|Enter UnInstallSplitDnsFilter\n;Failed UnInstallSplitDnsFilter\n;Exit UnInstallSplitDnsFilter\n|? sections:)txt");
}

TEST(DriverStore, Residuals) {
    runRowScenarios(
        R"txt(
== residuals: {1}
key SOFTWARE\Microsoft\Windows\CurrentVersion\DIFxAPP\Components\{9AC1F0E9-DE2F-4b2d-910C-65CAEE9153D9}\sub
key SYSTEM\CurrentControlSet\Services\tvrnns
{2}
> @cleanTVRNNSResiduals
= 0
Cleaning TVRNNS Residuals
{3}
Deleting Registry: SOFTWARE\Microsoft\Windows\CurrentVersion\DIFxAPP\Components\{9AC1F0E9-DE2F-4b2d-910C-65CAEE9153D9}
Successfully deleted: SOFTWARE\Microsoft\Windows\CurrentVersion\DIFxAPP\Components\{9AC1F0E9-DE2F-4b2d-910C-65CAEE9153D9}\sub
Successfully deleted at the end: SOFTWARE\Microsoft\Windows\CurrentVersion\DIFxAPP\Components\{9AC1F0E9-DE2F-4b2d-910C-65CAEE9153D9}
Deleting Registry: SYSTEM\CurrentControlSet\Services\tvrnns
Successfully deleted: SYSTEM\CurrentControlSet\Services\tvrnns
? dir C:\Windows\System32\DRVSTORE: {4}
)txt",
        R"txt(no store||DRVStore path is: C:\Windows\System32\DRVSTORE;DRVStore path does not exists: C:\Windows\System32\DRVSTORE|
no matching folder|dir C:\Windows\System32\DRVSTORE\other_1;file C:\Windows\System32\DRVSTORE\tvrnns_file|DRVStore path is: C:\Windows\System32\DRVSTORE;DRVStore path exists: C:\Windows\System32\DRVSTORE|other_1 tvrnns_file
a folder with only the .inf|file C:\Windows\System32\DRVSTORE\tvrnns_1a2b\tvrnns.inf|DRVStore path is: C:\Windows\System32\DRVSTORE;DRVStore path exists: C:\Windows\System32\DRVSTORE;TVRNNS Dir: tvrnns_1a2b;Erasing: C:\Windows\System32\DRVSTORE\tvrnns_1a2b\tvrnns.inf;Successfully deleted: C:\Windows\System32\DRVSTORE\tvrnns_1a2b\tvrnns.inf;Erasing: C:\Windows\System32\DRVSTORE\tvrnns_1a2b\tvrnns.cat;File not found: C:\Windows\System32\DRVSTORE\tvrnns_1a2b\tvrnns.cat;Erasing: C:\Windows\System32\DRVSTORE\tvrnns_1a2b\tvrnns.sys;File not found: C:\Windows\System32\DRVSTORE\tvrnns_1a2b\tvrnns.sys|
a file deleted on the second try|file C:\Windows\System32\DRVSTORE\TVRNNS_9\tvrnns.sys;fail DeleteFileW 1 32|DRVStore path is: C:\Windows\System32\DRVSTORE;DRVStore path exists: C:\Windows\System32\DRVSTORE;TVRNNS Dir: TVRNNS_9;Erasing: C:\Windows\System32\DRVSTORE\TVRNNS_9\tvrnns.inf;File not found: C:\Windows\System32\DRVSTORE\TVRNNS_9\tvrnns.inf;Erasing: C:\Windows\System32\DRVSTORE\TVRNNS_9\tvrnns.cat;File not found: C:\Windows\System32\DRVSTORE\TVRNNS_9\tvrnns.cat;Erasing: C:\Windows\System32\DRVSTORE\TVRNNS_9\tvrnns.sys;DeleteFile Failed for C:\Windows\System32\DRVSTORE\TVRNNS_9\tvrnns.sys with last Error:32;Successfully deleted: C:\Windows\System32\DRVSTORE\TVRNNS_9\tvrnns.sys|
an extra file keeps the folder|file C:\Windows\System32\DRVSTORE\tvrnns_1a2b\tvrnns.cat;file C:\Windows\System32\DRVSTORE\tvrnns_1a2b\extra.log|DRVStore path is: C:\Windows\System32\DRVSTORE;DRVStore path exists: C:\Windows\System32\DRVSTORE;TVRNNS Dir: tvrnns_1a2b;Erasing: C:\Windows\System32\DRVSTORE\tvrnns_1a2b\tvrnns.inf;File not found: C:\Windows\System32\DRVSTORE\tvrnns_1a2b\tvrnns.inf;Erasing: C:\Windows\System32\DRVSTORE\tvrnns_1a2b\tvrnns.cat;Successfully deleted: C:\Windows\System32\DRVSTORE\tvrnns_1a2b\tvrnns.cat;Erasing: C:\Windows\System32\DRVSTORE\tvrnns_1a2b\tvrnns.sys;File not found: C:\Windows\System32\DRVSTORE\tvrnns_1a2b\tvrnns.sys;RemoveDirectory Failed for 'tvrnns_1a2b' with Error:145|tvrnns_1a2b
an undeletable file|file C:\Windows\System32\DRVSTORE\tvrnns_1a2b\tvrnns.sys;fail DeleteFileW 1 32;fail _wremove 1 32|DRVStore path is: C:\Windows\System32\DRVSTORE;DRVStore path exists: C:\Windows\System32\DRVSTORE;TVRNNS Dir: tvrnns_1a2b;Erasing: C:\Windows\System32\DRVSTORE\tvrnns_1a2b\tvrnns.inf;File not found: C:\Windows\System32\DRVSTORE\tvrnns_1a2b\tvrnns.inf;Erasing: C:\Windows\System32\DRVSTORE\tvrnns_1a2b\tvrnns.cat;File not found: C:\Windows\System32\DRVSTORE\tvrnns_1a2b\tvrnns.cat;Erasing: C:\Windows\System32\DRVSTORE\tvrnns_1a2b\tvrnns.sys;DeleteFile Failed for C:\Windows\System32\DRVSTORE\tvrnns_1a2b\tvrnns.sys with last Error:32;Tried to delete 'C:\Windows\System32\DRVSTORE\tvrnns_1a2b\tvrnns.sys' one more time, but failed with Error:-1;RemoveDirectory Failed for 'tvrnns_1a2b' with Error:145|tvrnns_1a2b
WINDIR missing: no store under the working folder|env WINDIR;file %WINDIR%\System32\DRVSTORE\tvrnns_1\tvrnns.inf|ExpandEnvironmentStrings Failed for 'WINDIR' with last Error:203;? file %WINDIR%\System32\DRVSTORE\tvrnns_1\tvrnns.inf: present|
a relative WINDIR: no store under the working folder|env WINDIR Windows;file Windows\System32\DRVSTORE\tvrnns_1\tvrnns.inf|ExpandEnvironmentStrings Failed for 'WINDIR' with last Error:203;? file Windows\System32\DRVSTORE\tvrnns_1\tvrnns.inf: present|
expansion fails|fail ExpandEnvironmentStringsW 2 203|ExpandEnvironmentStrings Failed for 'WINDIR' with last Error:203|)txt");
}

} // namespace
} // namespace tdu::test
