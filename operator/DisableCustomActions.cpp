// The dispatcher's custom-action step: the earlier release's service start
// is switched off in its cached package. The installer goes on whatever the
// outcome, which the handler has logged.
#include "app/ExitCode.h"
#include "installer_db/CustomActionHandler.h"
#include "operator/OperatorLog.h"
#include "operator/TDriverOperator.h"

int TavrinDriverOperator::disableCA(const std::wstring& productCode) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::disableCA");
    if (productCode.empty()) {
        TDU_LOG(L"Product Code is empty");
        return tdu::exit_code::kOperationFailed;
    }
    TDU_LOG(L"Product Code of prior installer: %s", productCode);
    CustomActionHandler handler(productCode);
    handler.disableCustomActions();
    return tdu::exit_code::kSuccess;
}
