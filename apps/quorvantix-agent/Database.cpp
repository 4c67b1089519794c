#include "Database.h"

#include <cstdio>

namespace qvagent {

namespace {

constexpr int kBusyTimeoutMs = 10000;  // readers (tests) hold short shared locks

constexpr const char* kSchema =
    "PRAGMA journal_mode=DELETE;"
    // Every report is committed as it arrives; not waiting for the disk on each keeps answers
    // at loopback speed (a crash of the machine may lose the last reports, a crash of the agent
    // does not).
    "PRAGMA synchronous=OFF;"
    "CREATE TABLE IF NOT EXISTS reports(seq INTEGER PRIMARY KEY AUTOINCREMENT, at_us INTEGER, kind TEXT,"
    " path TEXT, media_key TEXT, idx INTEGER, state TEXT, current INTEGER, duration INTEGER, volume INTEGER,"
    " playback INTEGER, error INTEGER, query TEXT, body TEXT);"
    "CREATE TABLE IF NOT EXISTS bookmarks(media_key TEXT, idx INTEGER, position INTEGER, label TEXT,"
    " title TEXT, value TEXT, PRIMARY KEY(media_key, position));";

constexpr const char* kAddReport =
    "INSERT INTO reports(at_us, kind, path, media_key, idx, state, current, duration, volume, playback,"
    " error, query, body) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13)";
constexpr const char* kPutBookmark =
    "INSERT OR REPLACE INTO bookmarks(media_key, idx, position, label, title, value) VALUES(?1, ?2, ?3, ?4, ?5, ?6)";
constexpr const char* kSeedBookmark =
    "INSERT OR IGNORE INTO bookmarks(media_key, idx, position, label, title, value) VALUES(?1, ?2, ?3, ?4, ?5, ?6)";
constexpr const char* kDeleteByPosition = "DELETE FROM bookmarks WHERE media_key = ?1 AND position = ?2";
constexpr const char* kDeleteByLabel = "DELETE FROM bookmarks WHERE media_key = ?1 AND label = ?2";
constexpr const char* kListBookmarks =
    "SELECT position, label, title, value FROM bookmarks WHERE media_key = ?1 ORDER BY position";

// Parameter binders: an absent value becomes NULL.
void bindText(sqlite3_stmt* statement, int column, const std::optional<std::string>& text) {
    if (text) {
        sqlite3_bind_text(statement, column, text->data(), static_cast<int>(text->size()), SQLITE_TRANSIENT);
    } else {
        sqlite3_bind_null(statement, column);
    }
}

void bindInt(sqlite3_stmt* statement, int column, const std::optional<int64_t>& value) {
    if (value) {
        sqlite3_bind_int64(statement, column, *value);
    } else {
        sqlite3_bind_null(statement, column);
    }
}

std::string columnText(sqlite3_stmt* statement, int column) {
    const unsigned char* text = sqlite3_column_text(statement, column);
    return text != nullptr ? reinterpret_cast<const char*>(text) : "";
}

// Runs a bound statement that returns no rows and resets it.
bool runOnce(sqlite3_stmt* statement) {
    int rc = sqlite3_step(statement);
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    return rc == SQLITE_DONE;
}

}  // namespace

Database::~Database() { close(); }

std::string Database::open(const std::string& file) {
    std::lock_guard<CheckedMutex> lock(mLock);
    if (sqlite3_open_v2(file.c_str(), &mDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        std::string error = mDb != nullptr ? sqlite3_errmsg(mDb) : "out of memory";
        sqlite3_close(mDb);
        mDb = nullptr;
        return "cannot open database " + file + ": " + error;
    }
    sqlite3_busy_timeout(mDb, kBusyTimeoutMs);
    char* message = nullptr;
    if (sqlite3_exec(mDb, kSchema, nullptr, nullptr, &message) != SQLITE_OK) {
        std::string error = message != nullptr ? message : "unknown error";
        sqlite3_free(message);
        return "cannot create the tables in " + file + ": " + error;
    }
    struct {
        const char* sql;
        sqlite3_stmt** statement;
    } const prepared[] = {
        {kAddReport, &mStatements.addReport},           {kPutBookmark, &mStatements.putBookmark},
        {kSeedBookmark, &mStatements.seedBookmark},     {kDeleteByPosition, &mStatements.deleteByPosition},
        {kDeleteByLabel, &mStatements.deleteByLabel},   {kListBookmarks, &mStatements.listBookmarks},
    };
    for (const auto& entry : prepared) {
        if (sqlite3_prepare_v2(mDb, entry.sql, -1, entry.statement, nullptr) != SQLITE_OK) {
            return std::string("cannot prepare a statement: ") + sqlite3_errmsg(mDb);
        }
    }
    return "";
}

void Database::close() {
    std::lock_guard<CheckedMutex> lock(mLock);
    for (sqlite3_stmt* statement : {mStatements.addReport, mStatements.putBookmark, mStatements.seedBookmark,
                                    mStatements.deleteByPosition, mStatements.deleteByLabel,
                                    mStatements.listBookmarks}) {
        sqlite3_finalize(statement);
    }
    mStatements = Statements();
    if (mDb != nullptr) sqlite3_close(mDb);
    mDb = nullptr;
}

void Database::logError_l(const char* what) {
    mLock.assertHeld();
    fprintf(stderr, "quorvantix-agent: database %s: %s\n", what, mDb != nullptr ? sqlite3_errmsg(mDb) : "closed");
}

bool Database::addReport(const Report& report) {
    std::lock_guard<CheckedMutex> lock(mLock);
    sqlite3_stmt* statement = mStatements.addReport;
    if (statement == nullptr) return false;
    sqlite3_bind_int64(statement, 1, report.atUs);
    bindText(statement, 2, report.kind);
    bindText(statement, 3, report.path);
    bindText(statement, 4, report.mediaKey);
    bindInt(statement, 5, report.index);
    bindText(statement, 6, report.state);
    bindInt(statement, 7, report.current);
    bindInt(statement, 8, report.duration);
    bindInt(statement, 9, report.volume);
    bindInt(statement, 10, report.playback);
    bindInt(statement, 11, report.error);
    bindText(statement, 12, report.query);
    bindText(statement, 13, report.body);
    if (runOnce(statement)) return true;
    logError_l("insert report");
    return false;
}

bool Database::writeBookmark_l(sqlite3_stmt* statement, const std::string& mediaKey, int64_t index,
                               const Bookmark& mark) {
    mLock.assertHeld();
    if (statement == nullptr) return false;
    bindText(statement, 1, mediaKey);
    sqlite3_bind_int64(statement, 2, index);
    sqlite3_bind_int64(statement, 3, mark.position);
    bindText(statement, 4, mark.label);
    bindText(statement, 5, mark.title);
    bindText(statement, 6, mark.value);
    if (runOnce(statement)) return true;
    logError_l("write bookmark");
    return false;
}

bool Database::putBookmark(const std::string& mediaKey, int64_t index, const Bookmark& mark) {
    std::lock_guard<CheckedMutex> lock(mLock);
    return writeBookmark_l(mStatements.putBookmark, mediaKey, index, mark);
}

bool Database::seedBookmark(const std::string& mediaKey, int64_t index, const Bookmark& mark) {
    std::lock_guard<CheckedMutex> lock(mLock);
    return writeBookmark_l(mStatements.seedBookmark, mediaKey, index, mark);
}

int Database::deleteBookmarks(const std::string& mediaKey, std::optional<int64_t> position,
                              const std::optional<std::string>& label) {
    std::lock_guard<CheckedMutex> lock(mLock);
    sqlite3_stmt* statement = position ? mStatements.deleteByPosition : mStatements.deleteByLabel;
    if (statement == nullptr || (!position && !label)) return 0;
    bindText(statement, 1, mediaKey);
    if (position) {
        sqlite3_bind_int64(statement, 2, *position);
    } else {
        bindText(statement, 2, label);
    }
    if (!runOnce(statement)) {
        logError_l("delete bookmark");
        return 0;
    }
    return sqlite3_changes(mDb);
}

std::vector<Bookmark> Database::bookmarks(const std::string& mediaKey) {
    std::lock_guard<CheckedMutex> lock(mLock);
    std::vector<Bookmark> marks;
    sqlite3_stmt* statement = mStatements.listBookmarks;
    if (statement == nullptr) return marks;
    bindText(statement, 1, mediaKey);
    while (sqlite3_step(statement) == SQLITE_ROW) {
        Bookmark mark;
        mark.position = sqlite3_column_int64(statement, 0);
        mark.label = columnText(statement, 1);
        mark.title = columnText(statement, 2);
        mark.value = columnText(statement, 3);
        marks.push_back(std::move(mark));
    }
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    return marks;
}

}  // namespace qvagent
