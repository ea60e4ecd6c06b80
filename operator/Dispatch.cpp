#include "app/ExitCode.h"
#include "installer_db/DifxHandler.h"
#include "operator/OperatorLog.h"
#include "operator/TDriverOperator.h"

#include <array>

// The dispatch table's way to the operator's private steps.
struct OperatorDispatch {
    static int disableCA(TavrinDriverOperator& op, const DriverOperation& record) {
        return op.disableCA(record.productCode);
    }
};

namespace {

using Handler = int (*)(TavrinDriverOperator&, const DriverOperation&);

struct DispatchRow {
    OperationCode code;
    const wchar_t* received;
    Handler handler;
};

constexpr std::array<DispatchRow, 10> kDispatch{{
    {OperationCode::Install, L"Command received to install a driver",
     [](TavrinDriverOperator& op, const DriverOperation& record) { return op.InstallDriver(record); }},
    {OperationCode::Uninstall, L"Command received to uninstall a driver",
     [](TavrinDriverOperator& op, const DriverOperation& record) { return op.UninstallDriver(record); }},
    {OperationCode::SetProcessorType, L"Command received to set processor type in registry",
     // The value given with the command is not passed: the marker is fixed.
     [](TavrinDriverOperator& op, const DriverOperation&) { return op.SetProcessorTypeInReg(); }},
    {OperationCode::NetService, L"Command received to install TVRNNS Net Service",
     [](TavrinDriverOperator& op, const DriverOperation& record) { return op.AddRemoveNetService(record); }},
    {OperationCode::InstallDrivers, L"Command received to install all Tavrin Drivers",
     [](TavrinDriverOperator& op, const DriverOperation& record) {
         return static_cast<int>(op.InstallTavrinDrivers(record, nullptr, nullptr));
     }},
    {OperationCode::UninstallDrivers, L"Command received to un-install all Tavrin Drivers",
     // The whole set, whatever else the command line holds.
     [](TavrinDriverOperator& op, const DriverOperation&) {
         return static_cast<int>(op.UnInstallTavrinDrivers(nullptr, nullptr));
     }},
    {OperationCode::Reinstall, L"Command received to reinstall a driver component",
     [](TavrinDriverOperator& op, const DriverOperation& record) {
         return static_cast<int>(op.ReInstallDriver(record));
     }},
    {OperationCode::SetStatus, L"Command received to set driver install status",
     [](TavrinDriverOperator& op, const DriverOperation& record) { return op.setStatus(record); }},
    {OperationCode::DisableDifx, L"Command received to disable Difx custom actions",
     [](TavrinDriverOperator&, const DriverOperation& record) {
         return DifxHandler::disableDifxCAs(record.productCode);
     }},
    {OperationCode::DisableCustomActions, L"Command received to disable custom actions",
     &OperatorDispatch::disableCA},
}};

} // namespace

TavrinDriverOperator& TavrinDriverOperator::getInstance() {
    static TavrinDriverOperator instance;
    return instance;
}

int TavrinDriverOperator::PerformDriverOperation(const DriverOperation& record) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::PerformDriverOperation");
    for (const DispatchRow& row : kDispatch) {
        if (row.code != record.operationCode) {
            continue;
        }
        TDU_LOG(L"%s", row.received);
        return row.handler(*this, record);
    }
    TDU_LOG(L"Invalid Operation Code");
    return tdu::exit_code::kOperationFailed;
}
