#include "Catalogue.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace qvagent {

namespace {

// Value readers that never throw: a key of the wrong type counts as a catalogue error.
bool readInt(const Json::Value& object, const char* key, int* out, std::string* error) {
    const Json::Value& value = object[key];
    if (value.isNull()) return true;
    if (!value.isInt()) {
        *error = std::string("\"") + key + "\" must be an integer";
        return false;
    }
    *out = value.asInt();
    return true;
}

bool readInt64(const Json::Value& object, const char* key, int64_t* out, std::string* error) {
    const Json::Value& value = object[key];
    if (value.isNull()) return true;
    if (!value.isInt64()) {
        *error = std::string("\"") + key + "\" must be an integer";
        return false;
    }
    *out = value.asInt64();
    return true;
}

bool readString(const Json::Value& object, const char* key, std::string* out, std::string* error) {
    const Json::Value& value = object[key];
    if (value.isNull()) return true;
    if (!value.isString()) {
        *error = std::string("\"") + key + "\" must be a string";
        return false;
    }
    *out = value.asString();
    return true;
}

// null, or an object with an integer "code" and an optional string "msg".
bool readCodeAndMessage(const Json::Value& object, const char* key, Json::Value* out, std::string* error) {
    const Json::Value& value = object[key];
    if (value.isNull()) return true;
    if (!value.isObject() || !value["code"].isInt() || !(value["msg"].isNull() || value["msg"].isString())) {
        *error = std::string("\"") + key + "\" must be null or {\"code\": int, \"msg\": string}";
        return false;
    }
    *out = value;
    return true;
}

bool parseContent(const std::string& path, const Json::Value& object, Content* out, std::string* error) {
    if (!object.isObject()) {
        *error = "must be an object";
        return false;
    }
    out->path = path;
    if (!readInt(object, "type", &out->type, error) || !readInt(object, "info_code", &out->infoCode, error) ||
        !readInt(object, "open_error", &out->openError, error) ||
        !readString(object, "open_error_msg", &out->openErrorMsg, error) ||
        !readInt64(object, "rate", &out->rate, error) ||
        !readInt64(object, "stall_after", &out->stallAfter, error) ||
        !readString(object, "play_redirect", &out->playRedirect, error) ||
        !readString(object, "next", &out->next, error) ||
        !readCodeAndMessage(object, "position_error", &out->positionError, error) ||
        !readCodeAndMessage(object, "lastplayerror", &out->lastPlayError, error)) {
        return false;
    }
    if (out->rate < 0) {
        *error = "\"rate\" must not be negative";
        return false;
    }
    const Json::Value& items = object["items"];
    if (!items.isNull() && !items.isArray()) {
        *error = "\"items\" must be an array";
        return false;
    }
    for (const Json::Value& entry : items) {
        if (!entry.isObject() || !entry["file"].isString() || !entry["media_key"].isString()) {
            *error = "every item needs string \"file\" and \"media_key\"";
            return false;
        }
        out->items.push_back({entry["file"].asString(), entry["media_key"].asString()});
    }
    const Json::Value& info = object["info"];
    if (!info.isNull()) {
        if (!info.isObject()) {
            *error = "\"info\" must be an object";
            return false;
        }
        out->info = info;
    }
    const Json::Value& statuses = object["http_status"];
    if (!statuses.isNull()) {
        if (!statuses.isObject()) {
            *error = "\"http_status\" must be an object";
            return false;
        }
        for (const std::string& name : statuses.getMemberNames()) {
            if (!statuses[name].isInt() || statuses[name].asInt() < 100 || statuses[name].asInt() > 599) {
                *error = "\"http_status\" values must be status codes";
                return false;
            }
            out->httpStatus[name] = statuses[name].asInt();
        }
    }
    const Json::Value& raw = object["raw"];
    if (!raw.isNull()) {
        if (!raw.isObject()) {
            *error = "\"raw\" must be an object";
            return false;
        }
        for (const std::string& name : raw.getMemberNames()) {
            if (!raw[name].isString()) {
                *error = "\"raw\" values must be strings";
                return false;
            }
            out->raw[name] = raw[name].asString();
        }
    }
    const Json::Value& hang = object["hang"];
    if (!hang.isNull()) {
        if (!hang.isArray()) {
            *error = "\"hang\" must be an array";
            return false;
        }
        for (const Json::Value& name : hang) {
            if (!name.isString()) {
                *error = "\"hang\" entries must be strings";
                return false;
            }
            out->hang.insert(name.asString());
        }
    }
    const Json::Value& bookmarks = object["bookmarks"];
    if (!bookmarks.isNull()) {
        if (!bookmarks.isArray()) {
            *error = "\"bookmarks\" must be an array";
            return false;
        }
        for (const Json::Value& mark : bookmarks) {
            if (!mark.isObject() || !mark["position"].isInt64()) {
                *error = "every bookmark needs an integer \"position\"";
                return false;
            }
        }
        out->bookmarks = bookmarks;
    }
    return true;
}

}  // namespace

const CatalogueItem* Content::item(const std::string& mediaKey, int index) const {
    const CatalogueItem* found = nullptr;
    for (size_t i = 0; i < items.size(); ++i) {
        if (items[i].mediaKey != mediaKey) continue;
        if (static_cast<int>(i) == index) return &items[i];
        if (found == nullptr) found = &items[i];
    }
    return found;
}

const Content* CatalogueData::byPath(const std::string& path) const {
    auto it = contents.find(path);
    return it == contents.end() ? nullptr : &it->second;
}

const Content* CatalogueData::byMediaKey(const std::string& mediaKey, int index) const {
    const Content* found = nullptr;
    for (const auto& [path, content] : contents) {
        for (size_t i = 0; i < content.items.size(); ++i) {
            if (content.items[i].mediaKey != mediaKey) continue;
            if (static_cast<int>(i) == index) return &content;
            if (found == nullptr) found = &content;
        }
    }
    return found;
}

const Content* CatalogueData::following(const std::string& path) const {
    if (contents.empty()) return nullptr;
    auto it = contents.find(path);
    if (it == contents.end()) return &contents.begin()->second;
    if (!it->second.next.empty()) {
        if (const Content* named = byPath(it->second.next)) return named;
    }
    ++it;
    return it == contents.end() ? &contents.begin()->second : &it->second;
}

Catalogue::Catalogue(std::string file) : mFile(std::move(file)) {}

Catalogue::FileIdentity Catalogue::identify() const {
    FileIdentity identity;
    struct stat st{};
    if (stat(mFile.c_str(), &st) != 0) return identity;
    identity.exists = true;
    identity.device = st.st_dev;
    identity.inode = st.st_ino;
    identity.size = st.st_size;
    identity.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return identity;
}

std::shared_ptr<const CatalogueData> Catalogue::current() {
    FileIdentity identity = identify();
    {
        std::lock_guard<CheckedMutex> lock(mLock);
        if (mData != nullptr && identity == mIdentity) return mData;
    }
    // One thread reads the changed file; the others wait here for its snapshot rather than read
    // the same file again. mLock is not held while the file is read.
    std::lock_guard<std::mutex> reloading(mReloadLock);
    identity = identify();
    {
        std::lock_guard<CheckedMutex> lock(mLock);
        if (mData != nullptr && identity == mIdentity) return mData;
    }
    std::shared_ptr<CatalogueData> data = load(identity);
    std::lock_guard<CheckedMutex> lock(mLock);
    install_l(identity, std::move(data));
    return mData;
}

std::shared_ptr<CatalogueData> Catalogue::load(const FileIdentity& identity) const {
    auto data = std::make_shared<CatalogueData>();
    if (!identity.exists) return data;
    std::ifstream in(mFile, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::string error = in ? parse(text.str(), data.get()) : "cannot read the file";
    if (error.empty()) return data;
    fprintf(stderr, "quorvantix-agent: catalogue %s: %s (keeping the previous one)\n", mFile.c_str(), error.c_str());
    return nullptr;
}

void Catalogue::install_l(const FileIdentity& identity, std::shared_ptr<CatalogueData> data) {
    mLock.assertHeld();
    // A broken file is not read again until it changes; the previous snapshot stays.
    mIdentity = identity;
    if (data == nullptr) {
        if (mData == nullptr) mData = std::make_shared<CatalogueData>();
        return;
    }
    data->generation = ++mGeneration;
    mData = std::move(data);
}

std::string Catalogue::parse(const std::string& text, CatalogueData* out) {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &root, &errors)) return "not JSON: " + errors;
    if (!root.isObject() || !(root["contents"].isObject() || root["contents"].isNull())) {
        return "needs an object \"contents\"";
    }
    const Json::Value& contents = root["contents"];
    for (const std::string& path : contents.getMemberNames()) {
        Content content;
        std::string error;
        if (!parseContent(path, contents[path], &content, &error)) return "content \"" + path + "\": " + error;
        out->contents.emplace(path, std::move(content));
    }
    return "";
}

}  // namespace qvagent
