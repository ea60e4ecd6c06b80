// What the earlier release's cached package holds, spelled out for the rows
// that check the product switches it off: the driver module's and the merge
// modules' action names in the order they are disabled, and the service start.
#pragma once

#include <array>
#include <string_view>

namespace tdu::test {

inline constexpr std::array<std::wstring_view, 26> kEarlierDifxActions{
    L"MsiCleanupOnSuccess",
    L"MsiInstallDrivers",
    L"MsiProcessDrivers",
    L"MsiRollbackInstall",
    L"MsiUninstallDrivers",
    L"A_RemoveINFCACHE.34C340EE_B1F9_442D_901E_D43CD5E6BD8E",
    L"A_ListDriverInfsBefore.34C340EE_B1F9_442D_901E_D43CD5E6BD8E",
    L"A_ListDriverInfsAfter.34C340EE_B1F9_442D_901E_D43CD5E6BD8E",
    L"A_NDISIM_PROTOCOL_RECEIVE_DISABLE_RECEIVE_WRAPPING.Setup.34C340EE_B1F9_442D_901E_D43CD5E6BD8E",
    L"A_NDISIM_PROTOCOL_RECEIVE_DISABLE_RECEIVE_WRAPPING.34C340EE_B1F9_442D_901E_D43CD5E6BD8E",
    L"A_FixDIFxTVRNVA.Setup.34C340EE_B1F9_442D_901E_D43CD5E6BD8E",
    L"A_FixDIFxTVRNVA.34C340EE_B1F9_442D_901E_D43CD5E6BD8E",
    L"A_FixDIFxTVRNVAMGR.Setup.34C340EE_B1F9_442D_901E_D43CD5E6BD8E",
    L"A_FixDIFxTVRNVAMGR.34C340EE_B1F9_442D_901E_D43CD5E6BD8E",
    L"A_RemoveTVRNNS.34C340EE_B1F9_442D_901E_D43CD5E6BD8E",
    L"A_InstallVAMGR.34C340EE_B1F9_442D_901E_D43CD5E6BD8E",
    L"A_RollbackVAMGR.34C340EE_B1F9_442D_901E_D43CD5E6BD8E",
    L"A_RemoveVAMGR.34C340EE_B1F9_442D_901E_D43CD5E6BD8E",
    L"A_PreInstallVA.34C340EE_B1F9_442D_901E_D43CD5E6BD8E",
    L"A_HideCancelButton.34C340EE_B1F9_442D_901E_D43CD5E6BD8E",
    L"A_InstallSplitDns.34C340EE_B1F9_442D_901E_D43CD5E6BD8E",
    L"A_UnInstallSplitDns.34C340EE_B1F9_442D_901E_D43CD5E6BD8E",
    L"A_UnInstallSplitDnsBeforeInstall.34C340EE_B1F9_442D_901E_D43CD5E6BD8E",
    L"rlbk_TerminateAccessService.1AE1994A_14A3_458C_ACA8_E4EF3718820B",
    L"StartAccessService.1AE1994A_14A3_458C_ACA8_E4EF3718820B",
    L"rlbk_StopAccessService.1AE1994A_14A3_458C_ACA8_E4EF3718820B",
};

inline constexpr std::wstring_view kEarlierServiceStart = L"dll_def_StartTavrinSecureService";

} // namespace tdu::test
