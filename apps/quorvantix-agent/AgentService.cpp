#include "AgentService.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <vector>

namespace qvagent {

namespace {

constexpr size_t kSendBlockBytes = 64 * 1024;
constexpr int64_t kPacingStepsPerSecond = 20;  // a paced answer sends at most 1/20 s of data at once
constexpr size_t kMinPacedBlockBytes = 512;
constexpr int64_t kUsPerSecond = 1000000;
constexpr const char* kJsonType = "application/json";

// The first path segment ("/real/play" -> "real") and what follows it ("play").
bool splitSegment(const std::string& path, std::string* segment, std::string* rest) {
    if (path.size() < 2 || path[0] != '/') return false;
    size_t slash = path.find('/', 1);
    if (slash == std::string::npos) return false;
    *segment = path.substr(1, slash - 1);
    *rest = path.substr(slash + 1);
    return !segment->empty();
}

std::optional<int64_t> toInt(const std::string* text) {
    if (text == nullptr || text->empty()) return std::nullopt;
    int64_t value = 0;
    auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), value);
    if (ec != std::errc() || end != text->data() + text->size()) return std::nullopt;
    return value;
}

std::optional<std::string> toText(const std::string* text) {
    if (text == nullptr) return std::nullopt;
    return *text;
}

const char* mediaType(const std::string& file) {
    static constexpr struct {
        const char* extension;
        const char* type;
    } kTypes[] = {
        {".mp4", "video/mp4"},   {".m4a", "audio/mp4"},      {".mkv", "video/x-matroska"},
        {".webm", "video/webm"}, {".ts", "video/mp2t"},      {".flv", "video/x-flv"},
        {".avi", "video/x-msvideo"}, {".flac", "audio/flac"}, {".wav", "audio/wav"},
        {".mp3", "audio/mpeg"},  {".m3u8", "application/vnd.apple.mpegurl"},
        {".srt", "application/x-subrip"}, {".vtt", "text/vtt"}, {".json", "application/json"},
    };
    for (const auto& entry : kTypes) {
        size_t length = strlen(entry.extension);
        if (file.size() >= length && file.compare(file.size() - length, length, entry.extension) == 0) {
            return entry.type;
        }
    }
    return "application/octet-stream";
}

// Closes a descriptor on every path out of a scope.
struct FileCloser {
    int fd;
    ~FileCloser() {
        if (fd >= 0) close(fd);
    }
};

}  // namespace

AgentService::AgentService(std::string mediaDir, Catalogue& catalogue, Database& database)
    : mMediaDir(std::move(mediaDir)), mCatalogue(catalogue), mDatabase(database) {}

bool AgentService::isConfinedPath(const std::string& file) {
    if (file.empty() || file[0] == '/' || file.find('\0') != std::string::npos) return false;
    size_t at = 0;
    while (at <= file.size()) {
        size_t slash = file.find('/', at);
        if (slash == std::string::npos) slash = file.size();
        std::string_view part(file.data() + at, slash - at);
        if (part == "..") return false;
        at = slash + 1;
    }
    return true;
}

Json::Value AgentService::ok() {
    Json::Value answer(Json::objectValue);
    answer["error"] = 0;
    answer["code"] = 0;
    return answer;
}

Json::Value AgentService::failure(int code, const std::string& message) {
    Json::Value answer(Json::objectValue);
    answer["error"] = 1;
    answer["code"] = code;
    answer["msg"] = message;
    return answer;
}

std::string AgentService::mediaUrl(const std::string& file) const {
    return "http://" + mPublicAddress + "/media/" + percentEncode(file, true);
}

bool AgentService::route(const HttpRequest& request, std::string* name) const {
    namespace rn = request_name;
    const std::string& path = request.path;
    if (path == "/stream/open") *name = rn::kOpen;
    else if (path == "/lastplayerror") *name = rn::kLastPlayError;
    else if (path == "/dir/set") *name = rn::kDirSet;
    else if (path == "/bookmark/list") *name = rn::kBookmarkList;
    else if (path == "/bookmark/create") *name = rn::kBookmarkCreate;
    else if (path == "/bookmark/delete") *name = rn::kBookmarkDelete;
    else if (path == "/callback/next") *name = rn::kCallback;
    else if (path.rfind("/media/", 0) == 0) *name = rn::kMedia;
    else {
        std::string segment, rest;
        if (!splitSegment(path, &segment, &rest)) return false;
        if (rest == "play") *name = rn::kPlay;
        else if (rest == "state") *name = rn::kState;
        else if (rest == "position") *name = rn::kPosition;
        else if (rest == "info") *name = rn::kInfo;
        else if (rest == "error") *name = rn::kError;
        else return false;
    }
    return true;
}

bool AgentService::handle(const HttpRequest& request, HttpConnection& connection) {
    namespace rn = request_name;
    Call call{request, connection, "", nullptr, nullptr};
    if (!route(request, &call.name)) {
        return sendJson(call, http_status::kNotFound, failure(kCodeNoSuchContent, "no such request"));
    }
    bool isPost = request.method == "POST";
    bool isGet = request.method == "GET" || request.method == "HEAD";
    if (call.name == rn::kCallback ? !(isPost || isGet) : !isGet) {
        return sendBody(call, http_status::kMethodNotAllowed, "text/plain", "Method Not Allowed\n",
                        {call.name == rn::kCallback ? "Allow: POST" : "Allow: GET, HEAD"});
    }

    call.catalogue = mCatalogue.current();
    seedBookmarks(*call.catalogue);
    call.content = resolveContent(call);

    if (call.name == rn::kMedia) return answerMedia(call);

    static constexpr struct {
        const char* name;
        const char* kind;
    } kReported[] = {
        {rn::kState, "state"}, {rn::kPosition, "position"}, {rn::kError, "error"}, {rn::kDirSet, "dir_set"},
        {rn::kCallback, "callback"}, {rn::kOpen, "open"}, {rn::kInfo, "info"}, {rn::kPlay, "play"},
    };
    for (const auto& entry : kReported) {
        if (call.name == entry.name) record(call, entry.kind);
    }

    bool keepAlive = false;
    if (applyOverride(call, &keepAlive)) return keepAlive;

    if (call.name == rn::kOpen) return answerOpen(call);
    if (call.name == rn::kPlay) return answerPlay(call);
    if (call.name == rn::kPosition) return answerPosition(call);
    if (call.name == rn::kInfo) return answerInfo(call);
    if (call.name == rn::kBookmarkList) return answerBookmarkList(call);
    if (call.name == rn::kBookmarkCreate) return answerBookmarkCreate(call);
    if (call.name == rn::kBookmarkDelete) return answerBookmarkDelete(call);
    if (call.name == rn::kLastPlayError) return answerLastPlayError(call);
    if (call.name == rn::kCallback) return answerCallback(call);
    return sendJson(call, http_status::kOk, ok());  // state, error, dir_set: stored, nothing to say
}

const Content* AgentService::resolveContent(const Call& call) {
    const Content* content = nullptr;
    if (call.name == request_name::kOpen) {
        if (const std::string* path = call.request.param("path")) content = call.catalogue->byPath(*path);
    } else if (const std::string* key = call.request.param("media_key")) {
        content = call.catalogue->byMediaKey(*key, static_cast<int>(toInt(call.request.param("index")).value_or(-1)));
    }
    std::lock_guard<CheckedMutex> lock(mLock);
    if (content != nullptr) {
        mCurrentPath = content->path;
        return content;
    }
    // Requests that name no content (lastplayerror, dir/set, /media/...) concern the last one used.
    bool namesContent = call.name == request_name::kOpen || call.request.param("media_key") != nullptr;
    return namesContent ? nullptr : call.catalogue->byPath(mCurrentPath);
}

void AgentService::seedBookmarks(const CatalogueData& catalogue) {
    {
        std::lock_guard<CheckedMutex> lock(mLock);
        if (catalogue.generation == mSeededGeneration) return;
        mSeededGeneration = catalogue.generation;
    }
    for (const auto& [path, content] : catalogue.contents) {
        for (const Json::Value& entry : content.bookmarks) {
            Bookmark mark;
            mark.position = entry["position"].asInt64();
            mark.label = entry["label"].isString() ? entry["label"].asString() : "";
            mark.title = entry["title"].isString() ? entry["title"].asString() : mark.label;
            mark.value = entry["value"].isString() ? entry["value"].asString() : "";
            for (size_t i = 0; i < content.items.size(); ++i) {
                mDatabase.seedBookmark(content.items[i].mediaKey, static_cast<int64_t>(i), mark);
            }
        }
    }
}

void AgentService::record(const Call& call, const char* kind) {
    const HttpRequest& request = call.request;
    Report report;
    report.atUs = request.arrivalRealtimeUs;
    report.kind = kind;
    if (call.name == request_name::kOpen) {
        report.path = toText(request.param("path"));
    } else if (call.content != nullptr) {
        report.path = call.content->path;
    }
    report.mediaKey = toText(request.param("media_key"));
    report.index = toInt(request.param("index"));
    report.state = toText(request.param("set"));
    report.current = toInt(request.param("current"));
    report.duration = toInt(request.param("duration"));
    report.volume = toInt(request.param("volume"));
    report.playback = toInt(request.param("playback"));
    report.error = toInt(request.param("error"));
    report.query = request.rawQuery;
    if (request.method == "POST") report.body = request.body;
    mDatabase.addReport(report);
}

bool AgentService::applyOverride(const Call& call, bool* keepAlive) {
    const Content* content = call.content;
    if (content == nullptr) return false;
    if (content->hang.count(call.name) != 0) {
        call.connection.waitUntilClosed();
        *keepAlive = false;
        return true;
    }
    auto status = content->httpStatus.find(call.name);
    if (status != content->httpStatus.end()) {
        *keepAlive = sendJson(call, status->second, failure(-status->second, reasonPhrase(status->second)));
        return true;
    }
    auto raw = content->raw.find(call.name);
    if (raw != content->raw.end()) {
        *keepAlive = sendBody(call, http_status::kOk, kJsonType, raw->second);
        return true;
    }
    return false;
}

bool AgentService::answerOpen(const Call& call) {
    const Content* content = call.content;
    const std::string* path = call.request.param("path");
    if (path == nullptr || content == nullptr || content->path != *path) {
        return sendJson(call, http_status::kOk, failure(kCodeNoSuchContent, "no such content"));
    }
    Json::Value answer = content->openError != 0
                             ? failure(content->openError,
                                       content->openErrorMsg.empty() ? "open failed" : content->openErrorMsg)
                             : ok();
    answer["type"] = content->type;
    Json::Value items(Json::arrayValue);
    for (size_t i = 0; i < content->items.size(); ++i) {
        Json::Value item(Json::objectValue);
        item["index"] = static_cast<int>(i);
        item["media_key"] = content->items[i].mediaKey;
        item["media_url"] = mediaUrl(content->items[i].file);
        items.append(item);
    }
    answer["items"] = items;
    return sendJson(call, http_status::kOk, answer);
}

bool AgentService::answerPlay(const Call& call) {
    const std::string* key = call.request.param("media_key");
    const CatalogueItem* item = nullptr;
    if (key != nullptr && call.content != nullptr) {
        item = call.content->item(*key, static_cast<int>(toInt(call.request.param("index")).value_or(-1)));
    }
    if (item == nullptr) return sendJson(call, http_status::kNotFound, failure(kCodeNoSuchContent, "no such media"));
    // A "real" stream is fetched by the player's own media stack from the item's media_url; the
    // play request only announces it, so it gets a short JSON answer rather than the media.
    if (call.request.path.rfind("/real/", 0) == 0) {
        Json::Value answer = ok();
        answer["media_url"] = mediaUrl(item->file);
        return sendJson(call, http_status::kOk, answer);
    }
    if (!call.content->playRedirect.empty()) {
        return sendBody(call, http_status::kFound, "text/plain", "",
                        {"Location: " + call.content->playRedirect + percentEncode(item->file, true)});
    }
    return serveFile(call, item->file, call.content);
}

bool AgentService::answerMedia(const Call& call) {
    std::string file = call.request.path.substr(strlen("/media/"));
    // The pacing of the content that lists this file applies (the last one used first).
    const Content* owner = nullptr;
    auto lists = [&file](const Content& content) {
        return std::any_of(content.items.begin(), content.items.end(),
                           [&file](const CatalogueItem& item) { return item.file == file; });
    };
    if (call.content != nullptr && lists(*call.content)) {
        owner = call.content;
    } else {
        for (const auto& [path, content] : call.catalogue->contents) {
            if (lists(content)) {
                owner = &content;
                break;
            }
        }
    }
    return serveFile(call, file, owner);
}

bool AgentService::serveFile(const Call& call, const std::string& file, const Content* content) {
    if (!isConfinedPath(file)) {
        return sendJson(call, http_status::kForbidden, failure(kCodeBadRequest, "path outside the media"));
    }
    std::string fullPath = mMediaDir + "/" + file;
    int fd = open(fullPath.c_str(), O_RDONLY | O_CLOEXEC);
    FileCloser closer{fd};
    struct stat st{};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return sendJson(call, http_status::kNotFound, failure(kCodeNoSuchContent, "no such file"));
    }
    uint64_t size = static_cast<uint64_t>(st.st_size);
    ByteRange range = resolveRange(call.request.header("range"), size);
    const std::string sizeText = std::to_string(size);
    if (range.kind == ByteRange::Kind::kUnsatisfiable) {
        return sendBody(call, http_status::kRangeNotSatisfiable, "text/plain", "",
                        {"Content-Range: bytes */" + sizeText, "Accept-Ranges: bytes"});
    }
    uint64_t first = range.kind == ByteRange::Kind::kPartial ? range.first : 0;
    uint64_t length = range.kind == ByteRange::Kind::kPartial ? range.last - range.first + 1 : size;
    std::vector<std::string> headers = {
        std::string("Content-Type: ") + mediaType(file),
        "Content-Length: " + std::to_string(length),
        "Accept-Ranges: bytes",
    };
    int status = http_status::kOk;
    if (range.kind == ByteRange::Kind::kPartial) {
        status = http_status::kPartialContent;
        headers.push_back("Content-Range: bytes " + std::to_string(range.first) + "-" + std::to_string(range.last) +
                          "/" + sizeText);
    }
    bool keepAlive = call.request.keepAlive();
    if (!call.connection.send(responseHead(status, headers, keepAlive))) return false;
    if (call.request.method == "HEAD") return keepAlive;

    int64_t rate = content != nullptr ? content->rate : 0;
    uint64_t toSend = length;
    bool stalls = false;
    if (content != nullptr && content->stallAfter >= 0 && static_cast<uint64_t>(content->stallAfter) < length) {
        toSend = static_cast<uint64_t>(content->stallAfter);
        stalls = true;
    }
    size_t block = kSendBlockBytes;
    if (rate > 0) {
        block = std::clamp(static_cast<size_t>(rate / kPacingStepsPerSecond), kMinPacedBlockBytes, kSendBlockBytes);
    }
    std::vector<char> buffer(block);
    const int64_t startUs = HttpServer::monotonicUs();
    uint64_t sent = 0;
    while (sent < toSend) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(block, toSend - sent));
        ssize_t got = pread(fd, buffer.data(), want, static_cast<off_t>(first + sent));
        if (got <= 0) return false;  // the file shrank or failed: the promised length cannot be kept
        if (!call.connection.send(buffer.data(), static_cast<size_t>(got))) return false;
        sent += static_cast<uint64_t>(got);
        if (rate > 0 && sent < toSend) {
            int64_t due = startUs + static_cast<int64_t>(sent * kUsPerSecond / static_cast<uint64_t>(rate));
            if (!call.connection.sleepUntil(due)) return false;
        }
    }
    if (stalls) {
        call.connection.waitUntilClosed();
        return false;
    }
    return keepAlive;
}

bool AgentService::answerPosition(const Call& call) {
    const Json::Value& error = call.content != nullptr ? call.content->positionError : Json::Value::nullSingleton();
    if (error.isObject()) {
        return sendJson(call, http_status::kOk, failure(error["code"].asInt(), error["msg"].asString()));
    }
    return sendJson(call, http_status::kOk, ok());
}

bool AgentService::answerInfo(const Call& call) {
    if (call.content == nullptr || call.request.param("media_key") == nullptr) {
        return sendJson(call, http_status::kOk, failure(kCodeNoSuchContent, "no such media"));
    }
    Json::Value answer(Json::objectValue);
    answer["error"] = 0;
    answer["code"] = call.content->infoCode;
    answer["result"] = call.content->info;
    return sendJson(call, http_status::kOk, answer);
}

bool AgentService::answerBookmarkList(const Call& call) {
    const std::string* key = call.request.param("media_key");
    if (key == nullptr) return sendJson(call, http_status::kBadRequest, failure(kCodeBadRequest, "media_key missing"));
    Json::Value positions(Json::arrayValue);
    for (const Bookmark& mark : mDatabase.bookmarks(*key)) {
        Json::Value entry(Json::objectValue);
        entry["position"] = static_cast<Json::Int64>(mark.position);
        entry["label"] = mark.label;
        entry["title"] = mark.title;
        entry["value"] = mark.value;
        positions.append(entry);
    }
    Json::Value result(Json::objectValue);
    result["kind"] = 0;
    result["is_bookmarkable"] = 1;
    result["bookmark_positions"] = positions;
    Json::Value answer = ok();
    answer["result"] = result;
    return sendJson(call, http_status::kOk, answer);
}

bool AgentService::answerBookmarkCreate(const Call& call) {
    const HttpRequest& request = call.request;
    const std::string* key = request.param("media_key");
    std::optional<int64_t> position = toInt(request.param("position"));
    if (key == nullptr || !position) {
        return sendJson(call, http_status::kBadRequest,
                        failure(kCodeBadRequest, "media_key and an integer position are needed"));
    }
    Bookmark mark;
    mark.position = *position;
    mark.label = toText(request.param("label")).value_or("");
    mark.title = toText(request.param("title")).value_or("");
    mark.value = toText(request.param("value")).value_or(mark.title);
    if (!mDatabase.putBookmark(*key, toInt(request.param("index")).value_or(0), mark)) {
        return sendJson(call, http_status::kInternalServerError, failure(kCodeBadRequest, "bookmark not stored"));
    }
    return sendJson(call, http_status::kOk, ok());
}

bool AgentService::answerBookmarkDelete(const Call& call) {
    const HttpRequest& request = call.request;
    const std::string* key = request.param("media_key");
    std::optional<int64_t> position = toInt(request.param("position"));
    std::optional<std::string> label = toText(request.param("label"));
    if (key == nullptr || (!position && (!label || label->empty()))) {
        return sendJson(call, http_status::kBadRequest,
                        failure(kCodeBadRequest, "media_key and a position or label are needed"));
    }
    mDatabase.deleteBookmarks(*key, position, label);
    return sendJson(call, http_status::kOk, ok());
}

bool AgentService::answerLastPlayError(const Call& call) {
    const Json::Value& error = call.content != nullptr ? call.content->lastPlayError : Json::Value::nullSingleton();
    if (error.isObject()) {
        return sendJson(call, http_status::kOk, failure(error["code"].asInt(), error["msg"].asString()));
    }
    return sendJson(call, http_status::kOk, ok());
}

bool AgentService::answerCallback(const Call& call) {
    const Content* next = call.catalogue->following(call.content != nullptr ? call.content->path : "");
    Json::Value answer(Json::objectValue);
    answer["result"] = next != nullptr ? 1 : 0;
    answer["next_url"] =
        next != nullptr ? "http://" + mPublicAddress + "/stream/open?path=" + percentEncode(next->path, false) : "";
    return sendJson(call, http_status::kOk, answer);
}

bool AgentService::sendJson(const Call& call, int status, const Json::Value& answer) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return sendBody(call, status, kJsonType, Json::writeString(builder, answer) + "\n");
}

bool AgentService::sendBody(const Call& call, int status, const std::string& contentType, const std::string& body,
                            std::vector<std::string> headers) {
    headers.push_back("Content-Type: " + contentType);
    headers.push_back("Content-Length: " + std::to_string(body.size()));
    headers.push_back("Cache-Control: no-store");
    bool keepAlive = call.request.keepAlive();
    std::string message = responseHead(status, headers, keepAlive);
    if (call.request.method != "HEAD") message += body;
    return call.connection.send(message) && keepAlive;
}

}  // namespace qvagent
