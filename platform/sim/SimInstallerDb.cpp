#include "platform/sim/SimMachine.h"

#include <algorithm>
#include <cwctype>

namespace tdu::platform::sim {

// The installer engine of the simulated machine: installed products, each
// with a cached package holding an InstallExecuteSequence, opened as
// databases whose changes reach the package only on commit. Views take the
// one UPDATE shape the program writes.
class SimInstallerDb final : public IInstallerDb {
public:
    explicit SimInstallerDb(SimState& state) : s_(state) {}

    MsiStatus MsiGetProductInfoW(const std::wstring& product, const std::wstring& property,
                                 std::wstring& value, std::uint32_t& valueChars) override {
        if (auto error = s_.check("MsiGetProductInfoW")) {
            return *error;
        }
        if (!isProductCode(product)) {
            return kErrorInvalidParameter;
        }
        const auto found = s_.products.find(asciiUpper(product));
        if (found == s_.products.end()) {
            return kErrorUnknownProduct;
        }
        if (property != kInstallPropertyLocalPackage) {
            return kErrorUnknownProperty;
        }
        // The path when it fits with its null; its length either way.
        const std::wstring& path = found->second;
        const bool fits = path.size() < valueChars;
        value = fits ? path : value;
        valueChars = static_cast<std::uint32_t>(path.size());
        return fits ? kErrorSuccess : kErrorMoreData;
    }

    MsiStatus MsiOpenDatabaseW(const std::wstring& databasePath, std::uint32_t persistMode,
                               Handle& database) override {
        database = kNullHandle;
        if (auto error = s_.check("MsiOpenDatabaseW")) {
            return *error;
        }
        // The model keeps transactions only; any other mode is refused, so a
        // caller that asked for another one is noticed.
        if (persistMode != kMsiDbOpenTransact) {
            return kErrorInvalidParameter;
        }
        const auto found = s_.packages.find(asciiUpper(databasePath));
        if (found == s_.packages.end()) {
            return kErrorOpenFailed;
        }
        database =
            s_.addHandle({.kind = Kind::Database,
                          .object = std::make_shared<Database>(Database{found->second, *found->second})});
        return kErrorSuccess;
    }

    MsiStatus MsiDatabaseOpenViewW(Handle database, const std::wstring& query, Handle& view) override {
        view = kNullHandle;
        return withOpened<Database>(
            "MsiDatabaseOpenViewW", database, Kind::Database, [&](const auto& opened) {
                std::optional<Update> update = parseUpdate(query);
                if (!update) {
                    return kErrorBadQuerySyntax;
                }
                view =
                    s_.addHandle({.kind = Kind::View,
                                  .object = std::make_shared<View>(View{opened, std::move(*update), false})});
                return kErrorSuccess;
            });
    }

    // The model has no parameter records.
    MsiStatus MsiViewExecute(Handle view, Handle record) override {
        return withOpened<View>("MsiViewExecute", view, Kind::View, [&](const auto& opened) {
            if (record != kNullHandle || opened->executed) {
                return record != kNullHandle ? kErrorInvalidHandle : kErrorFunctionFailed;
            }
            for (SimSequenceRow& row : opened->database->rows) {
                row.condition =
                    row.action == opened->update.action ? opened->update.condition : row.condition;
            }
            opened->executed = true;
            return kErrorSuccess;
        });
    }

    MsiStatus MsiViewClose(Handle view) override {
        return withOpened<View>("MsiViewClose", view, Kind::View, [](const auto& opened) {
            opened->executed = false;
            return kErrorSuccess;
        });
    }

    MsiStatus MsiDatabaseCommit(Handle database) override {
        return withOpened<Database>("MsiDatabaseCommit", database, Kind::Database, [](const auto& opened) {
            *opened->package = opened->rows;
            return kErrorSuccess;
        });
    }

    // Not failable: a close that failed would leave the caller nothing to do,
    // and the accounting would report a leak that no path could avoid.
    MsiStatus MsiCloseHandle(Handle handle) override {
        return handle == kNullHandle ? kErrorSuccess : s_.release(handle, {Kind::Database, Kind::View});
    }

private:
    // A product code in its text form: a GUID in braces, 8-4-4-4-12 hex digits (each "X" here).
    static bool isProductCode(std::wstring_view code) {
        return std::ranges::equal(
            code, std::wstring_view(L"{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"), [](wchar_t ch, wchar_t mark) {
                return mark == L'X' ? std::iswxdigit(static_cast<wint_t>(ch)) != 0 : ch == mark;
            });
    }

    // The statement's new condition, for the rows of this action.
    struct Update {
        std::wstring condition;
        std::wstring action;
    };
    struct Database {
        std::shared_ptr<std::vector<SimSequenceRow>> package;
        std::vector<SimSequenceRow> rows; // the transaction's own copy
    };
    struct View {
        std::shared_ptr<Database> database; // a view keeps its database alive, as the engine does
        Update update;
        bool executed = false;
    };

    // The call on the open database or view of that kind behind a handle;
    // ERROR_INVALID_HANDLE when there is none.
    template <class T>
    MsiStatus withOpened(std::string_view call, Handle handle, Kind kind,
                         const std::function<MsiStatus(const std::shared_ptr<T>&)>& action) {
        if (auto error = s_.check(call)) {
            return *error;
        }
        const std::shared_ptr<T> opened = s_.objectOf<T>(handle, kind);
        return opened ? action(opened) : kErrorInvalidHandle;
    }

    // The statement as the engine runs it: the one shape the program writes. Any other text is refused as
    // the engine refuses a malformed one.
    static std::optional<Update> parseUpdate(std::wstring_view query) {
        constexpr std::wstring_view head = L"UPDATE InstallExecuteSequence SET Condition='";
        constexpr std::wstring_view middle = L"' WHERE Action='";
        const std::size_t at = query.find(middle, head.size());
        if (!query.starts_with(head) || at == std::wstring_view::npos || !query.ends_with(L'\'') ||
            query.size() <= at + middle.size()) {
            return std::nullopt;
        }
        const std::size_t action = at + middle.size();
        return Update{std::wstring(query.substr(head.size(), at - head.size())),
                      std::wstring(query.substr(action, query.size() - action - 1))};
    }

    SimState& s_;
};

std::unique_ptr<IInstallerDb> makeInstallerDb(SimState& state) {
    return std::make_unique<SimInstallerDb>(state);
}

// The machine's side: setting up products and reading their packages back.

void SimMachine::installProduct(const std::wstring& productCode, const std::wstring& localPackage,
                                const std::vector<SimSequenceRow>& installExecuteSequence) {
    state_->products[asciiUpper(productCode)] = localPackage;
    state_->packages[asciiUpper(localPackage)] =
        std::make_shared<std::vector<SimSequenceRow>>(installExecuteSequence);
}

std::vector<SimSequenceRow> SimMachine::installExecuteSequence(const std::wstring& localPackage) const {
    return *state_->packages.at(asciiUpper(localPackage));
}

} // namespace tdu::platform::sim
