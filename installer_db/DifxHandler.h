// Switches the driver-related custom actions of an earlier release off in
// its cached installer database, so that maintaining or removing that
// release leaves the new drivers alone. Stateless: the operations use only
// their arguments and the fixed tables.
#pragma once

#include <cstdint>
#include <string>

class DifxHandler {
public:
    // productCode: a product code, or "all" to find the earlier release from
    // the version of the client executable it left. Returns the exit code.
    static int disableDifxCAs(const std::wstring& productCode);

    // Applies difxCustomActions to the product's cached package. 0 when the
    // changes were committed, even if some names failed; -1 otherwise.
    static int disableCustomActions(const std::wstring& productCode);

    // The version label "P.F.B": the product version's major number, then
    // the file version's minor and build numbers, cut to capacity - 1
    // characters. 0 on success, 2 on failure.
    static int GetFileVersion(const std::wstring& filePath, std::wstring& version, std::uint32_t capacity);
};
