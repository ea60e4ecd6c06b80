// The dispatcher: one handler per command, found by the record's operation code
// in the command table.
#include "app/Commands.h"
#include "app/ExitCode.h"
#include "operator/OperatorLog.h"
#include "operator/TDriverOperator.h"

TavrinDriverOperator& TavrinDriverOperator::getInstance() {
    static TavrinDriverOperator instance;
    return instance;
}

int TavrinDriverOperator::PerformDriverOperation(const DriverOperation& record) {
    TDU_LOG_FUNCTION(L"TavrinDriverOperator::PerformDriverOperation");
    for (const CommandRow& row : commandTable()) {
        if (row.code != record.operationCode) {
            continue;
        }
        TDU_LOG(L"%s", row.received);
        return row.handler(*this, record);
    }
    TDU_LOG(L"Invalid Operation Code");
    return tdu::exit_code::kOperationFailed;
}
