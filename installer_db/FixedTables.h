// The fixed tables of installer-database maintenance: the custom actions each
// handler switches off, in the order it processes them, and the product codes
// of the client's earlier releases by the version label of their Tavrin.exe.
#pragma once

#include <array>
#include <map>
#include <string>
#include <string_view>

// The DIFx driver-installation module's own actions, then the product's merge
// module actions for its drivers, split-DNS filter, service and set-up
// dialog. A merge module's actions carry its signature after the full stop;
// names match whole, signature included.
inline constexpr auto difxCustomActions = std::to_array<std::wstring_view>({
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
});

// The earlier release's own service start, which must not run again when
// that release is maintained or removed.
inline constexpr auto customActionsToDisable = std::to_array<std::wstring_view>({
    L"dll_def_StartTavrinSecureService",
});

// Version label ("9.1.15") to product code, every code of a label in the
// order its release records list them; a code listed twice is tried twice.
extern const std::multimap<std::wstring, std::wstring> productCodesByVersion;
