// What a run leaves on a simulated machine, as text lines that two machines
// can be compared by: what a later run finds, not how it came there.
#pragma once

#include "platform/sim/SimMachine.h"

#include <string>
#include <vector>

namespace tdu::test {

// One line per fact, sorted: the driver store's packages, the device tree,
// services, network components, every registry key and value, every file
// but the log (path, size and a hash of its bytes) and every named object.
// A published package is named by the INF it came from (its folder and file
// name), wherever the store's own name for it ("oem3.inf") shows: the store
// numbers packages by the order they came in, which a killed run may change
// without leaving anything behind. Without `contents`, a file is shown by its
// size and the time it was last written instead of its bytes: cheaper, for
// telling states apart.
std::vector<std::string> machineState(platform::sim::SimMachine& machine, bool contents = true);

// The lines only one side has: "- line" for the expected side's, "+ line"
// for the actual side's; empty when both are the same.
std::string stateDiff(const std::vector<std::string>& expected, const std::vector<std::string>& actual);

// The log's last run: its bytes from the last banner on.
std::string lastRun(const std::string& logBytes);

} // namespace tdu::test
