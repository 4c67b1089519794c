// The catalogue of contents the agent can open: a JSON file read at start and read again
// whenever its modification time (or size or inode) changes, so a test may rewrite it between
// requests. Each snapshot is immutable and shared; a request keeps the snapshot it started with.
//
// Threads: current() is called by every connection thread; mLock guards the cached snapshot and
// the file identity it was read from; mReloadLock lets one thread at a time read a changed file.
// A file that cannot be parsed keeps the previous snapshot (and says so on stderr); a missing file
// gives an empty catalogue.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <json/json.h>

#include "CheckedMutex.h"

namespace qvagent {

// The open answer's `type`.
enum class ContentType : int {
    kStream = 0,
    kDownload = 1,
    kReal = 2,
};

struct CatalogueItem {
    std::string file;      // relative to the media directory
    std::string mediaKey;
};

// Where a request may be told to misbehave: the request names used by "http_status", "raw"
// and "hang".
struct Content {
    static constexpr int64_t kNoStall = -1;

    std::string path;                       // the content path the open request names
    int type = static_cast<int>(ContentType::kStream);
    std::vector<CatalogueItem> items;
    Json::Value info{Json::objectValue};    // the info answer's `result`, sent as given
    int infoCode = 0;
    int openError = 0;                      // non-zero: open answers error 1 with this code
    std::string openErrorMsg;
    int64_t rate = 0;                       // media bytes per second, 0 = unthrottled
    int64_t stallAfter = kNoStall;          // media body bytes sent before the answer stalls
    Json::Value positionError;              // null or {"code","msg"}
    Json::Value lastPlayError;              // null or {"code","msg"}
    std::map<std::string, int> httpStatus;  // request name -> status to answer instead
    std::map<std::string, std::string> raw; // request name -> body to send verbatim
    std::set<std::string> hang;             // request names never answered
    std::string playRedirect;               // URL prefix: play answers 302 to prefix + file
    Json::Value bookmarks{Json::arrayValue};// initial bookmarks
    std::string next;                       // content the callback names next ("" = following one)

    const CatalogueItem* item(const std::string& mediaKey, int index) const;
};

struct CatalogueData {
    uint64_t generation = 0;                // grows with every successful read
    std::map<std::string, Content> contents;

    const Content* byPath(const std::string& path) const;
    // The content holding an item with this media key (the one whose item index matches first).
    const Content* byMediaKey(const std::string& mediaKey, int index) const;
    // The content after path in the catalogue's order (wrapping), or the first when path is
    // unknown; null when the catalogue is empty. A content's "next" key overrides the order.
    const Content* following(const std::string& path) const;
};

class Catalogue {
public:
    explicit Catalogue(std::string file);

    // The snapshot for the file as it is now (re-read when it changed).
    std::shared_ptr<const CatalogueData> current();

    // Parses catalogue text. Returns an error text, or "" and fills out.
    static std::string parse(const std::string& text, CatalogueData* out);

private:
    struct FileIdentity {
        bool exists = false;
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        int64_t mtimeNs = 0;
        bool operator==(const FileIdentity&) const = default;
    };
    FileIdentity identify() const;
    // Reads and parses the file; null when it is broken.
    std::shared_ptr<CatalogueData> load(const FileIdentity& identity) const;
    void install_l(const FileIdentity& identity, std::shared_ptr<CatalogueData> data);

    const std::string mFile;
    std::mutex mReloadLock;                       // serializes reading a changed file
    CheckedMutex mLock;
    // --- Guarded by mLock.
    FileIdentity mIdentity;                       // of the file the snapshot was read from
    std::shared_ptr<const CatalogueData> mData;   // null until the first current()
    uint64_t mGeneration = 0;
};

}  // namespace qvagent
