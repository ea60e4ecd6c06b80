// The installer engine of the simulated machine: installed products, each
// with a cached package holding an InstallExecuteSequence, opened as
// databases whose changes reach the package only on commit. Views take the
// one UPDATE shape the program writes; other statements are refused as the
// engine refuses a malformed one.
#pragma once

#include "platform/sim/SimState.h"

namespace tdu::platform::sim {

class SimInstallerDb final : public IInstallerDb {
public:
    explicit SimInstallerDb(SimState& state) : s_(state) {}

    MsiStatus MsiGetProductInfoW(const std::wstring& product, const std::wstring& property,
                                 std::wstring& value, std::uint32_t& valueChars) override;
    MsiStatus MsiOpenDatabaseW(const std::wstring& databasePath, std::uint32_t persistMode,
                               Handle& database) override;
    MsiStatus MsiDatabaseOpenViewW(Handle database, const std::wstring& query, Handle& view) override;
    MsiStatus MsiViewExecute(Handle view, Handle record) override;
    MsiStatus MsiViewClose(Handle view) override;
    MsiStatus MsiDatabaseCommit(Handle database) override;
    MsiStatus MsiCloseHandle(Handle handle) override;

    // A cached package: its InstallExecuteSequence as last committed.
    struct Package {
        std::vector<SimSequenceRow> rows;
    };
    std::map<std::wstring, std::wstring> products;             // folded code -> cached package path
    std::map<std::wstring, std::shared_ptr<Package>> packages; // by folded path

private:
    // The statement's new condition, for the rows of this action.
    struct Update {
        std::wstring condition;
        std::wstring action;
    };
    struct Database {
        std::shared_ptr<Package> package;
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
                         const std::function<MsiStatus(const std::shared_ptr<T>&)>& action);

    // The statement as the engine reads it; nothing when it is not the program's one shape.
    static std::optional<Update> parseUpdate(const std::wstring& query);

    SimState& s_;
};

} // namespace tdu::platform::sim
