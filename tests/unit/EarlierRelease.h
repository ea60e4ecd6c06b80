// What the earlier release's cached package holds, spelled out for the rows
// that check the product switches it off: the driver module's and the merge
// modules' action names in the order they are disabled, and the service start.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tdu::test {

// The driver module's own names, then each merge module's, which carry its module's id.
inline const std::vector<std::wstring> kEarlierDifxActions = [] {
    std::vector<std::wstring> names{L"MsiCleanupOnSuccess", L"MsiInstallDrivers", L"MsiProcessDrivers",
                                    L"MsiRollbackInstall", L"MsiUninstallDrivers"};
    for (const wchar_t* name :
         {L"A_RemoveINFCACHE", L"A_ListDriverInfsBefore", L"A_ListDriverInfsAfter",
          L"A_NDISIM_PROTOCOL_RECEIVE_DISABLE_RECEIVE_WRAPPING.Setup",
          L"A_NDISIM_PROTOCOL_RECEIVE_DISABLE_RECEIVE_WRAPPING", L"A_FixDIFxTVRNVA.Setup", L"A_FixDIFxTVRNVA",
          L"A_FixDIFxTVRNVAMGR.Setup", L"A_FixDIFxTVRNVAMGR", L"A_RemoveTVRNNS", L"A_InstallVAMGR",
          L"A_RollbackVAMGR", L"A_RemoveVAMGR", L"A_PreInstallVA", L"A_HideCancelButton",
          L"A_InstallSplitDns", L"A_UnInstallSplitDns", L"A_UnInstallSplitDnsBeforeInstall"}) {
        names.push_back(name + std::wstring(L".34C340EE_B1F9_442D_901E_D43CD5E6BD8E"));
    }
    for (const wchar_t* name :
         {L"rlbk_TerminateAccessService", L"StartAccessService", L"rlbk_StopAccessService"}) {
        names.push_back(name + std::wstring(L".1AE1994A_14A3_458C_ACA8_E4EF3718820B"));
    }
    return names;
}();

inline constexpr std::wstring_view kEarlierServiceStart = L"dll_def_StartTavrinSecureService";

} // namespace tdu::test
