#include "tests/contract/Contract.h"

namespace tdu::contract {

TEST_P(Contract, Holds) {
    const Row& row = GetParam();
    const std::unique_ptr<Machine> machine = machineFor(row.name);
    if (machine->wine() && row.wine != nullptr) {
        GTEST_SKIP() << "Wine: " << row.wine;
    }
    row.check(*machine);
}

} // namespace tdu::contract
