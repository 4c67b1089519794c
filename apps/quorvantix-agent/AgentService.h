// The player agent's requests: opening contents, serving their media with byte ranges (paced
// and stalled as the catalogue asks), media information, bookmarks and the reports the player
// sends, which go to the database. Each content of the catalogue may also make any request
// answer an HTTP error, a verbatim body, or nothing at all.
//
// Threads: handle() runs on every connection thread at once. The catalogue and the database
// have their own locks; mLock guards the content the player used last and which catalogue
// generation has had its bookmarks copied into the database. No lock is held while sending.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <json/json.h>

#include "Catalogue.h"
#include "CheckedMutex.h"
#include "Database.h"
#include "HttpServer.h"

namespace qvagent {

// The names the catalogue's "http_status", "raw" and "hang" keys use for the requests.
namespace request_name {
inline constexpr const char* kOpen = "open";
inline constexpr const char* kPlay = "play";
inline constexpr const char* kState = "state";
inline constexpr const char* kPosition = "position";
inline constexpr const char* kInfo = "info";
inline constexpr const char* kBookmarkList = "bookmark_list";
inline constexpr const char* kBookmarkCreate = "bookmark_create";
inline constexpr const char* kBookmarkDelete = "bookmark_delete";
inline constexpr const char* kLastPlayError = "lastplayerror";
inline constexpr const char* kDirSet = "dir_set";
inline constexpr const char* kError = "error";
inline constexpr const char* kCallback = "callback";
inline constexpr const char* kMedia = "media";  // /media/<file>: no report, no overrides
}  // namespace request_name

class AgentService : public HttpHandler {
public:
    // Error codes of the JSON answers.
    static constexpr int kCodeNoSuchContent = -4040;
    static constexpr int kCodeBadRequest = -4000;

    AgentService(std::string mediaDir, Catalogue& catalogue, Database& database);

    // The address written into the URLs the agent hands out (media_url, next_url).
    void setPublicAddress(const std::string& hostPort) { mPublicAddress = hostPort; }

    bool handle(const HttpRequest& request, HttpConnection& connection) override;

    // Whether a catalogue file name stays inside the media directory: relative, no "..".
    static bool isConfinedPath(const std::string& file);

private:
    // What one request is about, decided before it is answered.
    struct Call {
        const HttpRequest& request;
        HttpConnection& connection;
        std::string name;                             // request name (request_name::*)
        std::shared_ptr<const CatalogueData> catalogue;
        const Content* content = nullptr;             // the content it concerns, if any
    };

    bool route(const HttpRequest& request, std::string* name) const;
    const Content* resolveContent(const Call& call);
    void seedBookmarks(const CatalogueData& catalogue);
    void record(const Call& call, const char* kind);
    // Applies the content's hang / http_status / raw override for this request. Returns true
    // when it answered (keepAlive then holds whether the connection may stay open).
    bool applyOverride(const Call& call, bool* keepAlive);

    bool answerOpen(const Call& call);
    bool answerPlay(const Call& call);
    bool answerMedia(const Call& call);
    bool answerPosition(const Call& call);
    bool answerInfo(const Call& call);
    bool answerBookmarkList(const Call& call);
    bool answerBookmarkCreate(const Call& call);
    bool answerBookmarkDelete(const Call& call);
    bool answerLastPlayError(const Call& call);
    bool answerCallback(const Call& call);

    // Sends the file with ranges, pacing and stall of content (may be null).
    bool serveFile(const Call& call, const std::string& file, const Content* content);
    bool sendJson(const Call& call, int status, const Json::Value& answer);
    bool sendBody(const Call& call, int status, const std::string& contentType, const std::string& body,
                  std::vector<std::string> headers = {});
    static Json::Value ok();
    static Json::Value failure(int code, const std::string& message);
    std::string mediaUrl(const std::string& file) const;

    const std::string mMediaDir;
    Catalogue& mCatalogue;
    Database& mDatabase;
    // --- Set before the server starts, then read-only.
    std::string mPublicAddress;
    // --- Guarded by mLock.
    CheckedMutex mLock;
    std::string mCurrentPath;          // content the player used last (for requests without a key)
    uint64_t mSeededGeneration = 0;    // catalogue generation whose bookmarks are in the database
};

}  // namespace qvagent
