// The preferences database "preferences" beside the application's folder, shared with the
// catalog application: the default databases are read at start-up and written back at quit.
// The server never creates the file or its tables.

#include "core/app.h"
#include "core/database_registry.h"
#include "core/gfs_state.h"
#include "platform/errors.h"
#include "platform/message_box.h"
#include "platform/sql_database.h"
#include "platform/sql_guard.h"
#include "platform/text_rule.h"

#include <chrono>
#include <limits>
#include <stdexcept>
#include <vector>

namespace {

constexpr std::string_view kPreferencesFileName = "preferences";
constexpr std::string_view kDeleteAllDefaults = "DELETE FROM DefDBs WHERE paths LIKE '%'";
// Table names match without regard to ASCII case, as the statements on the table do.
constexpr std::string_view kFindDefaultsTable =
    "SELECT COUNT(*) FROM sqlite_master WHERE type IN ('table', 'view') AND name = 'DefDBs' COLLATE NOCASE";

// Start-up and quit wait this long at most for the file, lock waits included: the file is shared
// with the catalog application, and a view of it may never end.
constexpr std::chrono::seconds kPreferencesTimeLimit{2};

// One use of the preferences database: the guard ends lock waits and interrupts any statement at
// the deadline. Declared after the database, so that it lets go of the connection first.
struct PreferencesConnection {
    explicit PreferencesConnection(const platform::FolderItem& file)
        : guard(database, platform::SqlGuard::Clock::now() + kPreferencesTimeLimit, std::numeric_limits<int>::max()) {
        database.SetDatabaseFile(file.AbsolutePath());
    }
    bool connect() {
        return database.Connect(platform::OpenMode::ReadWrite, [this] {
            guard.configure();
            // The engine's heap limit is the whole process's: a search running at quit relies on it.
            database.SetPrepareHeapAllowance(0);
        });
    }

    platform::Database database;
    platform::SqlGuard guard;
};

// The first column of the current row, or nothing on an empty result.
std::optional<platform::Field> firstColumn(const platform::RecordSet& rows) {
    return rows.EOF() ? std::nullopt : rows.IdxField(1);
}

// Asked of the schema, because a failed statement would not tell a missing table from a busy or
// broken file; throws when the schema cannot be read.
bool hasDefaultsTable(platform::Database& database) {
    const auto found = database.SQLSelect(kFindDefaultsTable);
    if (!found) throw std::runtime_error("the preferences database cannot be read: " + database.ErrorMessage());
    const auto tables = firstColumn(*found);
    return tables && tables->IntegerValue() > 0;
}

}  // namespace

void app::checkPrefs() {
    try {
        const auto folder = platform::GetFolderItem("");
        if (!folder) throw platform::NilObjectException("the application's folder cannot be resolved");
        if (folder->Locked()) return;
        const auto parent = folder->Parent();
        if (!parent) return;
        prefsFoit = parent->Child(kPreferencesFileName);
    } catch (...) {
        platform::Beep();
        platform::MsgBox("checkPrefs");
        return;
    }
    readPrefs(*prefsFoit);
}

bool app::readPrefs(const platform::FolderItem& f) {
    // Until the stored list has been read whole, quit must not replace it with another.
    keepStoredDefaults = true;
    PreferencesConnection connection(f);
    platform::Database& database = connection.database;
    // Told once the file is closed: a box open meanwhile would keep the catalog application from
    // writing, and its wait would use up the read's time.
    bool listBroken = false;
    try {
        if (!connection.connect()) {
            // Missing, not a regular file or no database: no list to read, nothing to say.
            if (!database.ConnectFailedOnADatabase()) return false;
            throw std::runtime_error("the preferences database cannot be read: " + database.ErrorMessage());
        }

        // Asked first, so that a busy, damaged or endless list is told from a missing one.
        if (hasDefaultsTable(database)) {
            const auto counted = database.SQLSelect("SELECT COUNT(*) FROM DefDBs");
            if (!counted) throw std::runtime_error("the default databases cannot be counted: " + database.ErrorMessage());
            const auto count = firstColumn(*counted);
            if (count && count->IntegerValue() > 0) {
                defDatabases.clear();
                std::string previous = ":\\";  // no stored path equals it
                const auto rows = database.SQLSelect("SELECT paths FROM DefDBs");
                if (!rows) throw std::runtime_error("the default databases cannot be read: " + database.ErrorMessage());
                for (; !rows->EOF(); rows->MoveNext()) {
                    const auto field = rows->IdxField(1);
                    const std::string path = field ? field->StringValue() : std::string();
                    const auto file = path.empty() || path == previous ? std::nullopt : platform::GetFolderItem(path);
                    if (!file || !file->Exists()) {
                        listBroken = true;
                        break;
                    }
                    defDatabases.push_back(*file);
                    databases.push_back(*file);
                    previous = path;
                }
                if (!rows->LastError().empty())
                    throw std::runtime_error("the default databases were read in part: " + rows->LastError());
                rows->Close();
                if (listBroken) database.SQLExecute(kDeleteAllDefaults);
            }
        }
        // Read whole, or absent: quit may write the list of that moment.
        keepStoredDefaults = false;

        if (const auto targets = database.SQLSelect("SELECT path FROM dbTarget")) {
            if (const auto path = firstColumn(*targets))
                if (auto folder = platform::GetFolderItem(path->StringValue())) gfs::PPdbTarget = std::move(folder);
        }
        if (const auto switches = database.SQLSelect("SELECT io FROM useDefDBs")) {
            const auto io = firstColumn(*switches);
            if (io && io->IntegerValue() == 1 && gfs::PPdbTarget) nacitavamDefFolder(gfs::PPdbTarget);
        }
        database.Close();
        if (listBroken) platform::MsgBox(msg_defdblisterror());
    } catch (...) {
        const std::exception_ptr error = std::current_exception();
        database.Close();
        if (listBroken) platform::MsgBox(msg_defdblisterror());
        platform::Beep();
        platform::MsgBox("readPrefs");
        try {
            std::rethrow_exception(error);
        } catch (const platform::NilObjectException&) {
            platform::MsgBox("nilo");
        } catch (const platform::OutOfBoundsException&) {
            platform::MsgBox("out");
        } catch (...) {
        }
        return false;
    }
    return !databases.empty() || !defDatabases.empty();
}

void app::nacitavamDefFolder(const std::optional<platform::FolderItem>& folder) {
    if (!folder) return;
    // One listing for the whole scan: a folder that changes meanwhile is read as it was.
    std::vector<platform::FolderItem> catalogs;
    for (platform::FolderItem& item : folder->Items())
        if (platform::text::endsWithNoCase(item.Name(), ".vxo") && !item.Directory()) catalogs.push_back(std::move(item));
    gfs::addNewDatabases(catalogs);
    console().aktualizacia();
}

void app::writePrefs(const std::optional<platform::FolderItem>& f, bool doWrite, bool) {
    if (!doWrite || !f || keepStoredDefaults) return;
    PreferencesConnection connection(*f);
    platform::Database& database = connection.database;
    try {
        if (!connection.connect()) {
            // Missing or no database: nothing to write. A database that cannot be opened now is told.
            if (!database.ConnectFailedOnADatabase()) return;
            throw std::runtime_error("the preferences database cannot be opened: " + database.ErrorMessage());
        }
        // The delete and the inserts stand or fall together: a failure keeps the old list whole.
        platform::Transaction transaction(database);
        if (!transaction.Active())
            throw std::runtime_error("the preferences database cannot be written: " + database.ErrorMessage());
        // A file without the list's table keeps no list: nothing to write and nothing to report.
        if (!hasDefaultsTable(database)) return;
        bool written = database.SQLExecute(kDeleteAllDefaults);
        for (size_t i = 0; written && i < defDatabases.size(); ++i) {
            if (!defDatabases[i].Exists()) continue;
            platform::DatabaseRecord record;
            record.Column("paths", defDatabases[i].AbsolutePath());
            written = database.InsertRecord("DefDBs", record);
        }
        if (!written || !transaction.Commit())
            throw std::runtime_error("the default databases could not be saved: " + database.ErrorMessage());
        database.Close();
    } catch (...) {
        database.Close();
        platform::Beep();
        platform::MsgBox("writePrefs");
    }
}
