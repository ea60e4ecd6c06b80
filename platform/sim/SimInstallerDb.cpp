#include "platform/sim/SimInstallerDb.h"

#include <algorithm>
#include <array>
#include <cwctype>
#include <stdexcept>

namespace tdu::platform::sim {

namespace {

// A product code in its text form: a GUID in braces, 8-4-4-4-12 hex digits.
bool isProductCode(std::wstring_view code) {
    if (code.size() != 38 || code.front() != L'{' || code.back() != L'}') {
        return false;
    }
    for (std::size_t i = 1; i < 37; ++i) {
        const bool hyphenPlace = i == 9 || i == 14 || i == 19 || i == 24;
        if (hyphenPlace ? code[i] != L'-' : std::iswxdigit(static_cast<wint_t>(code[i])) == 0) {
            return false;
        }
    }
    return true;
}

// ---- the engine's SQL, as far as the program's statements go ----------------------------------------

struct Token {
    enum class Kind : std::uint8_t { Word, QuotedName, String, Symbol, End, Bad } kind = Kind::End;
    std::wstring text;
};

bool isNameStart(wchar_t c) {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || c == L'_';
}
bool isDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}
bool isNamePart(wchar_t c) {
    return isNameStart(c) || isDigit(c) || c == L'.';
}

class Lexer {
public:
    explicit Lexer(std::wstring_view text) : text_(text) {}

    Token next() {
        while (pos_ < text_.size() && (text_[pos_] == L' ' || text_[pos_] == L'\t' || text_[pos_] == L'\r' ||
                                       text_[pos_] == L'\n')) {
            ++pos_;
        }
        if (pos_ == text_.size()) {
            return {Token::Kind::End, {}};
        }
        const wchar_t c = text_[pos_];
        if (c == L'\'' || c == L'`') {
            // No escapes: the first matching mark ends the literal or name.
            const std::size_t close = text_.find(c, pos_ + 1);
            if (close == std::wstring_view::npos) {
                return {Token::Kind::Bad, {}};
            }
            Token token{c == L'\'' ? Token::Kind::String : Token::Kind::QuotedName,
                        std::wstring(text_.substr(pos_ + 1, close - pos_ - 1))};
            pos_ = close + 1;
            return token;
        }
        if (isNameStart(c)) {
            const std::size_t start = pos_;
            while (pos_ < text_.size() && isNamePart(text_[pos_])) {
                ++pos_;
            }
            return {Token::Kind::Word, std::wstring(text_.substr(start, pos_ - start))};
        }
        if (c == L'=' || c == L',') {
            ++pos_;
            return {Token::Kind::Symbol, std::wstring(1, c)};
        }
        return {Token::Kind::Bad, {}};
    }

private:
    std::wstring_view text_;
    std::size_t pos_ = 0;
};

class Parser {
public:
    explicit Parser(std::wstring_view text) : lexer_(text), current_(lexer_.next()) {}

    bool keyword(std::wstring_view word) {
        if (current_.kind != Token::Kind::Word || asciiUpper(current_.text) != word) {
            return false;
        }
        advance();
        return true;
    }
    bool symbol(wchar_t mark) {
        if (current_.kind != Token::Kind::Symbol || current_.text.front() != mark) {
            return false;
        }
        advance();
        return true;
    }
    std::optional<std::wstring> name() {
        if (current_.kind != Token::Kind::Word && current_.kind != Token::Kind::QuotedName) {
            return std::nullopt;
        }
        std::wstring text = current_.text;
        advance();
        return text;
    }
    // column = 'text'
    std::optional<SimInstallerDb::Term> term() {
        auto column = name();
        if (!column || !symbol(L'=') || current_.kind != Token::Kind::String) {
            return std::nullopt;
        }
        SimInstallerDb::Term parsed{*column, current_.text};
        advance();
        return parsed;
    }
    [[nodiscard]] bool atEnd() const { return current_.kind == Token::Kind::End; }

private:
    void advance() { current_ = lexer_.next(); }

    Lexer lexer_;
    Token current_;
};

// The one table the cached packages of the model hold. Values are text
// only: a term on the integer column is refused as a type mismatch.
struct Column {
    std::wstring_view name;
    bool integer = false;
    bool primaryKey = false;
};
constexpr std::wstring_view kSequenceTable = L"InstallExecuteSequence";
constexpr std::array<Column, 3> kSequenceColumns{{
    {L"Action", false, true},
    {L"Condition", false, false},
    {L"Sequence", true, false},
}};

const Column* findColumn(std::wstring_view name) {
    const auto* found = std::find_if(kSequenceColumns.begin(), kSequenceColumns.end(),
                                     [&](const Column& column) { return column.name == name; });
    return found == kSequenceColumns.end() ? nullptr : found;
}

bool fitsSchema(const SimInstallerDb::Update& update) {
    if (update.table != kSequenceTable) {
        return false;
    }
    auto fits = [](const SimInstallerDb::Term& term) {
        const Column* column = findColumn(term.column);
        return column != nullptr && !column->integer;
    };
    return std::all_of(update.assignments.begin(), update.assignments.end(), fits) &&
           std::all_of(update.conditions.begin(), update.conditions.end(), fits);
}

// Terms name text columns only: the key (Action) or Condition.
const std::wstring& columnValue(const SimSequenceRow& row, std::wstring_view column) {
    return column == L"Action" ? row.action : row.condition;
}

} // namespace

std::optional<SimInstallerDb::Update> parseUpdate(std::wstring_view query) {
    Parser parser(query);
    SimInstallerDb::Update update;
    if (!parser.keyword(L"UPDATE")) {
        return std::nullopt;
    }
    auto table = parser.name();
    if (!table || !parser.keyword(L"SET")) {
        return std::nullopt;
    }
    update.table = *table;
    do {
        auto assignment = parser.term();
        if (!assignment) {
            return std::nullopt;
        }
        update.assignments.push_back(*assignment);
    } while (parser.symbol(L','));
    if (parser.keyword(L"WHERE")) {
        do {
            auto condition = parser.term();
            if (!condition) {
                return std::nullopt;
            }
            update.conditions.push_back(*condition);
        } while (parser.keyword(L"AND"));
    }
    if (!parser.atEnd()) {
        return std::nullopt;
    }
    return update;
}

template <class T>
std::shared_ptr<T> SimInstallerDb::lookup(const std::map<Handle, std::shared_ptr<T>>& table, Handle handle) {
    const auto found = table.find(handle);
    if (found == table.end() || s_.findHandle(handle) == nullptr) {
        return nullptr;
    }
    return found->second;
}

MsiStatus SimInstallerDb::MsiGetProductInfoW(const std::wstring& product, const std::wstring& property,
                                             std::wstring& value, std::uint32_t& valueChars) {
    if (auto error = s_.check("MsiGetProductInfoW")) {
        return *error;
    }
    if (!isProductCode(product)) {
        return kErrorInvalidParameter;
    }
    const auto found = products_.find(asciiUpper(product));
    if (found == products_.end()) {
        return kErrorUnknownProduct;
    }
    if (property != kInstallPropertyLocalPackage) {
        return kErrorUnknownProperty;
    }
    const std::wstring& path = found->second;
    const auto length = static_cast<std::uint32_t>(path.size());
    if (length >= valueChars) {
        valueChars = length;
        return kErrorMoreData;
    }
    value = path;
    valueChars = length;
    return kErrorSuccess;
}

MsiStatus SimInstallerDb::MsiOpenDatabaseW(const std::wstring& databasePath, std::uint32_t persistMode,
                                           Handle& database) {
    database = kNullHandle;
    if (auto error = s_.check("MsiOpenDatabaseW")) {
        return *error;
    }
    // The model keeps transactions only; any other mode is refused, so a
    // caller that asked for another one is noticed.
    if (persistMode != kMsiDbOpenTransact) {
        return kErrorInvalidParameter;
    }
    const auto found = packages_.find(asciiUpper(databasePath));
    if (found == packages_.end()) {
        return kErrorOpenFailed;
    }
    auto opened = std::make_shared<Database>(Database{found->second, found->second->rows});
    HandleEntry entry;
    entry.kind = "installer database";
    database = s_.addHandle(std::move(entry));
    databases_[database] = std::move(opened);
    return kErrorSuccess;
}

MsiStatus SimInstallerDb::MsiDatabaseOpenViewW(Handle database, const std::wstring& query, Handle& view) {
    view = kNullHandle;
    if (auto error = s_.check("MsiDatabaseOpenViewW")) {
        return *error;
    }
    const std::shared_ptr<Database> opened = lookup(databases_, database);
    if (!opened) {
        return kErrorInvalidHandle;
    }
    std::optional<Update> update = parseUpdate(query);
    if (!update || !fitsSchema(*update)) {
        return kErrorBadQuerySyntax;
    }
    HandleEntry entry;
    entry.kind = "installer view";
    view = s_.addHandle(std::move(entry));
    views_[view] = std::make_shared<View>(View{opened, std::move(*update), false});
    return kErrorSuccess;
}

MsiStatus SimInstallerDb::MsiViewExecute(Handle view, Handle record) {
    if (auto error = s_.check("MsiViewExecute")) {
        return *error;
    }
    const std::shared_ptr<View> opened = lookup(views_, view);
    if (!opened || record != kNullHandle) { // the model has no parameter records
        return kErrorInvalidHandle;
    }
    Database& database = *opened->database;
    const Update& update = opened->update;
    const bool touchesKey = std::any_of(update.assignments.begin(), update.assignments.end(),
                                        [](const Term& term) { return findColumn(term.column)->primaryKey; });
    if (opened->executed || touchesKey) {
        return kErrorFunctionFailed;
    }
    for (SimSequenceRow& row : database.rows) {
        const bool matches =
            std::all_of(update.conditions.begin(), update.conditions.end(),
                        [&](const Term& term) { return columnValue(row, term.column) == term.value; });
        if (!matches) {
            continue;
        }
        for (const Term& assignment : update.assignments) {
            row.condition = assignment.value; // the key was refused above
        }
    }
    opened->executed = true;
    return kErrorSuccess;
}

MsiStatus SimInstallerDb::MsiViewClose(Handle view) {
    if (auto error = s_.check("MsiViewClose")) {
        return *error;
    }
    const std::shared_ptr<View> opened = lookup(views_, view);
    if (!opened) {
        return kErrorInvalidHandle;
    }
    opened->executed = false;
    return kErrorSuccess;
}

MsiStatus SimInstallerDb::MsiDatabaseCommit(Handle database) {
    if (auto error = s_.check("MsiDatabaseCommit")) {
        return *error;
    }
    const std::shared_ptr<Database> opened = lookup(databases_, database);
    if (!opened) {
        return kErrorInvalidHandle;
    }
    opened->package->rows = opened->rows;
    return kErrorSuccess;
}

// Not failable: a close that failed would leave the caller nothing to do,
// and the accounting would report a leak that no path could avoid.
MsiStatus SimInstallerDb::MsiCloseHandle(Handle handle) {
    if (handle == kNullHandle) {
        return kErrorSuccess;
    }
    const bool known = databases_.erase(handle) + views_.erase(handle) > 0;
    if (!known || s_.findHandle(handle) == nullptr) {
        return kErrorInvalidHandle;
    }
    s_.closeHandle(handle);
    return kErrorSuccess;
}

void SimInstallerDb::installProduct(const std::wstring& productCode, const std::wstring& localPackage,
                                    const std::vector<SimSequenceRow>& installExecuteSequence) {
    products_[asciiUpper(productCode)] = localPackage;
    packages_[asciiUpper(localPackage)] = std::make_shared<Package>(Package{installExecuteSequence});
}

void SimInstallerDb::deleteCachedPackage(const std::wstring& localPackage) {
    packages_.erase(asciiUpper(localPackage));
}

std::vector<SimSequenceRow> SimInstallerDb::committedSequence(const std::wstring& localPackage) const {
    const auto found = packages_.find(asciiUpper(localPackage));
    if (found == packages_.end()) {
        throw std::invalid_argument("no cached package at that path");
    }
    return found->second->rows;
}

// The machine's side: setting up products and reading their packages back.

void SimMachine::installProduct(const std::wstring& productCode, const std::wstring& localPackage,
                                const std::vector<SimSequenceRow>& installExecuteSequence) {
    state_->installerDb->installProduct(productCode, localPackage, installExecuteSequence);
}

void SimMachine::deleteCachedPackage(const std::wstring& localPackage) {
    state_->installerDb->deleteCachedPackage(localPackage);
}

std::vector<SimSequenceRow> SimMachine::installExecuteSequence(const std::wstring& localPackage) const {
    return state_->installerDb->committedSequence(localPackage);
}

} // namespace tdu::platform::sim
