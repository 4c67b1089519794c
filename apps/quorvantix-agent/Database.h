// The agent's SQLite database: every report the player sends (one row each, committed when it
// arrives) and the bookmarks. Statements are prepared once and bound per call; no request data
// ever becomes SQL text.
//
// Threads: any connection thread calls in; mLock guards the connection and its statements
// (SQLite is used in its serialized mode anyway, the lock keeps bind-step-reset sequences whole).
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "CheckedMutex.h"

namespace qvagent {

struct Report {
    int64_t atUs = 0;                 // CLOCK_REALTIME when the request arrived
    std::string kind;                 // "state", "position", "error", "dir_set", "callback", ...
    std::optional<std::string> path;  // content path
    std::optional<std::string> mediaKey;
    std::optional<int64_t> index;
    std::optional<std::string> state;
    std::optional<int64_t> current;
    std::optional<int64_t> duration;
    std::optional<int64_t> volume;
    std::optional<int64_t> playback;
    std::optional<int64_t> error;
    std::string query;                // the raw query string
    std::optional<std::string> body;
};

struct Bookmark {
    int64_t position = 0;
    std::string label;
    std::string title;
    std::string value;
};

class Database {
public:
    Database() = default;
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // Opens (creating when missing) and prepares the schema. Returns an error text or "".
    std::string open(const std::string& file);
    void close();

    bool addReport(const Report& report);
    // Adds the bookmark, or replaces the one at the same media key and position.
    bool putBookmark(const std::string& mediaKey, int64_t index, const Bookmark& mark);
    // Adds the bookmark only when none is at that media key and position.
    bool seedBookmark(const std::string& mediaKey, int64_t index, const Bookmark& mark);
    // Deletes by position, or by label when position is absent. Returns the rows removed.
    int deleteBookmarks(const std::string& mediaKey, std::optional<int64_t> position,
                        const std::optional<std::string>& label);
    std::vector<Bookmark> bookmarks(const std::string& mediaKey);

private:
    struct Statements {
        sqlite3_stmt* addReport = nullptr;
        sqlite3_stmt* putBookmark = nullptr;
        sqlite3_stmt* seedBookmark = nullptr;
        sqlite3_stmt* deleteByPosition = nullptr;
        sqlite3_stmt* deleteByLabel = nullptr;
        sqlite3_stmt* listBookmarks = nullptr;
    };
    bool writeBookmark_l(sqlite3_stmt* statement, const std::string& mediaKey, int64_t index, const Bookmark& mark);
    void logError_l(const char* what);

    CheckedMutex mLock;
    // --- Guarded by mLock.
    sqlite3* mDb = nullptr;
    Statements mStatements;
};

}  // namespace qvagent
