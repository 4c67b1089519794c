#include "engine/hls/HLSSession.h"

#include <openssl/evp.h>
#include <strings.h>

#include <algorithm>
#include <cstring>

#include "engine/FileSource.h"
#include "utils/Log.h"

#define LOG_TAG "VEL_HLSSession"

namespace velmor {

namespace {

const char kKeyWhat[] = "what";
const char kKeyErr[] = "err";
const char kKeyUrl[] = "url";
const char kKeyBandwidthName[] = "bandwidth";
const char kKeyHeaders[] = "headers";
const char kKeyTimeUs[] = "timeUs";
const char kKeyGeneration[] = "generation";

constexpr int32_t kMasterPlaylistAttempts = 5;
constexpr int64_t kMasterRetryDelayUs = 500000;
constexpr int32_t kPlaylistRetries = 5;
constexpr int64_t kPlaylistRetryDelayUs = 200000;
constexpr int32_t kConnectAttempts = 4;
constexpr int64_t kConnectRetryDelayUs = 500000;
constexpr int32_t kMaxSeqRetries = 5;
// The monitor downloads while at most this many buffers are queued, and looks again this often
// when the queue is full.
constexpr size_t kMaxQueuedBuffers = 9;
constexpr int64_t kQueueFullRecheckUs = 1000000;
// Timeshift playlists are refreshed this often; their last segments are left out of the window.
constexpr int64_t kTimeshiftRefreshUs = 1000000;
constexpr int32_t kLiveEdgeSegments = 3;
// How long a session ahead of the live edge waits before it asks for the playlist again: half a
// target duration, within these bounds.
constexpr int64_t kMinLiveEdgeRetryUs = 100000;
constexpr int64_t kMaxLiveEdgeRetryUs = 5000000;
constexpr size_t kUnknownSizeBuffer = 65536;
constexpr size_t kBufferGrowth = 32768;
constexpr size_t kAesKeySize = 16;
constexpr size_t kAesBlockSize = 16;
constexpr uint8_t kTsSyncByte = 0x47;
constexpr size_t kIvTextLength = 34;
constexpr int32_t kHttpForbidden = -8403;
constexpr int32_t kHttpBadRequest = -8400;

bool startsWithIgnoreCase(const char* s, const char* prefix) { return strncasecmp(s, prefix, strlen(prefix)) == 0; }

int32_t mediaSequenceOf(const Ref<PlaylistParser>& playlist) {
    int32_t seq = 0;
    if (playlist != nullptr && playlist->meta() != nullptr) playlist->meta()->findInt32(kKeyMediaSequence, &seq);
    return seq;
}

int64_t itemDurationUs(const Ref<PlaylistParser>& playlist, size_t index) {
    Ref<Message> meta;
    int64_t us = 0;
    if (playlist->itemAt(index, nullptr, &meta) && meta != nullptr) meta->findInt64(kKeyItemDurationUs, &us);
    return us;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

HLSSession::HLSSession(bool timeshift, const Ref<Message>& notify)
    : mTimeshift(timeshift),
      mNotify(notify),
      mLooper(new Looper),
      mDataSource(new HLSDataSource),
      mHTTPDataSource(new HttpDataSource) {
    mReflector = new HandlerReflector<HLSSession>(this);
    mLooper->setName("HLSSession");
    mLooper->registerHandler(mReflector);
    mLooper->start();
}

HLSSession::~HLSSession() {
    mLooper->unregisterHandler(mReflector->id());
    mLooper->stop();
}

void HLSSession::connectAsync(const char* url, const char* bandwidthName, const Headers* headers) {
    Ref<Message> msg = new Message(kWhatConnect, mReflector->id());
    msg->setString(kKeyUrl, url ? url : "");
    msg->setString(kKeyBandwidthName, bandwidthName ? bandwidthName : "");
    if (headers != nullptr) msg->setPointer(kKeyHeaders, new Headers(*headers));
    msg->post();
}

void HLSSession::disconnect() {
    {
        Mutex::Autolock _l(mLock);
        mDisconnectPending = true;
        // Cuts transfers in progress short; the session makes no further requests.
        if (mKeySource != nullptr) mKeySource->setStopFlag(DataSource::kStopFlagStop);
        mCondition.broadcast();
    }
    mHTTPDataSource->setStopFlag(DataSource::kStopFlagStop);
    Ref<Message> msg = new Message(kWhatDisconnect, mReflector->id());
    msg->post();
}

void HLSSession::seekTo(int64_t timeUs) {
    Mutex::Autolock _l(mLock);
    mSeekDone = false;
    mRestartFromWindowStart = false;
    Ref<Message> msg = new Message(kWhatSeek, mReflector->id());
    msg->setInt64(kKeyTimeUs, timeUs);
    msg->post();
    // A session that is going away no longer handles seeks.
    while (!mSeekDone && !mDisconnectPending && !(mStopFlags.load() & DataSource::kStopFlagStop)) {
        mCondition.wait(mLock);
    }
}

void HLSSession::setBandwidth(const char* name) {
    Mutex::Autolock _l(mLock);
    if (name == nullptr || name[0] == '\0') {
        VLOGV("setBandwidth Auto");
        mSelectedBandwidthIndex = -1;
        return;
    }
    for (size_t i = 0; i < mBandwidthItems.size(); ++i) {
        if (strcmp(mBandwidthItems[i].mName.c_str(), name) == 0) {
            VLOGI("setBandwidth %d index %d", static_cast<int>(mBandwidthItems[i].mBandwidth), static_cast<int>(i));
            mSelectedBandwidthIndex = static_cast<int32_t>(i);
            return;
        }
    }
}

void HLSSession::setStopFlag(uint32_t flags) {
    VLOGI("setStopFlag (%d)", static_cast<int>(flags));
    mStopFlags.store(flags);
    mHTTPDataSource->setStopFlag(flags);
    Mutex::Autolock _l(mLock);
    if (mKeySource != nullptr) mKeySource->setStopFlag(flags);
    mCondition.broadcast();
}

bool HLSSession::stopping() {
    Mutex::Autolock _l(mLock);
    return mDisconnectPending || (mStopFlags.load() & DataSource::kStopFlagStop);
}

bool HLSSession::sleepUs(int64_t delayUs) {
    Mutex::Autolock _l(mLock);
    const int64_t endUs = GetNowUs() + delayUs;
    for (;;) {
        if (mDisconnectPending || (mStopFlags.load() & DataSource::kStopFlagStop)) return false;
        const int64_t leftUs = endUs - GetNowUs();
        if (leftUs <= 0) return true;
        mCondition.waitRelative(mLock, leftUs * 1000);
    }
}

status_t HLSSession::getDuration(int64_t* durationUs) {
    Mutex::Autolock _l(mLock);
    *durationUs = mDurationUs;
    return OK;
}

bool HLSSession::isSeekable() {
    if (mTimeshift) return true;
    int64_t durationUs = -1;
    return getDuration(&durationUs) == OK && durationUs >= 0;
}

bool HLSSession::isLive() {
    Mutex::Autolock _l(mLock);
    return !mDurationFixed;
}

int64_t HLSSession::getTotalElapsedUs() {
    Mutex::Autolock _l(mLock);
    if (mTotalPlaylist == nullptr) return 0;
    int64_t totalUs = 0;
    for (size_t i = 0; i < mTotalPlaylist->size(); ++i) totalUs += itemDurationUs(mTotalPlaylist, i);
    return totalUs;
}

void HLSSession::clearTotalElapsed() {
    Mutex::Autolock _l(mLock);
    mTotalPlaylist.clear();
}

bool HLSSession::consumeRestartFlag() {
    Mutex::Autolock _l(mLock);
    const bool restart = mRestartFromWindowStart;
    mRestartFromWindowStart = false;
    return restart;
}

int64_t HLSSession::getTargetDurationUs() {
    Mutex::Autolock _l(mLock);
    int32_t seconds = 0;
    if (mPlaylist != nullptr && mPlaylist->meta() != nullptr) mPlaylist->meta()->findInt32(kKeyTargetDuration, &seconds);
    return static_cast<int64_t>(seconds) * 1000000;
}

std::vector<BandwidthItem> HLSSession::bandwidthItems() {
    Mutex::Autolock _l(mLock);
    return mBandwidthItems;
}

status_t HLSSession::getPosition(int64_t* positionUs) {
    if (!mTimeshift) return ERROR_UNSUPPORTED;
    Mutex::Autolock _l(mLock);
    int64_t position = mDurationUs;
    if (mPlaylist == nullptr) {
        *positionUs = position;
        return OK;
    }
    const int32_t first = mediaSequenceOf(mPlaylist);
    const int32_t count = static_cast<int32_t>(mPlaylist->size());
    // The looper writes mSeqNumber; a position a segment off is harmless here.
    const int32_t seq = mSeqNumber.load();
    int32_t k = first + count - (kLiveEdgeSegments + 1);
    for (; k >= first && seq < k; --k) position -= itemDurationUs(mPlaylist, static_cast<size_t>(k - first));
    VLOGV("getPosition '%lld' (%d >> %d) mSeqNumber '%d'", static_cast<long long>(position), first,
          first + count - 1, seq);
    *positionUs = position;
    return OK;
}

void HLSSession::onMessageReceived(const Ref<Message>& msg) {
    switch (static_cast<uint32_t>(msg->what())) {
        case kWhatConnect: onConnect(msg); break;
        case kWhatDisconnect: onDisconnect(); break;
        case kWhatSeek: onSeek(msg); break;
        case kWhatMonitorQueue: {
            int32_t generation = 0;
            if (msg->findInt32(kKeyGeneration, &generation) && generation == mMonitorQueueGeneration) onMonitorQueue();
            break;
        }
        default: break;
    }
}

void HLSSession::onConnect(const Ref<Message>& msg) {
    ByteString url, bandwidthName;
    msg->findString(kKeyUrl, &url);
    msg->findString(kKeyBandwidthName, &bandwidthName);
    void* headers = nullptr;
    if (msg->findPointer(kKeyHeaders, &headers) && headers != nullptr) {
        std::unique_ptr<Headers> owned(static_cast<Headers*>(headers));
        mExtraHeaders = *owned;
    } else {
        mExtraHeaders.clear();
    }
    VLOGI("onConnect <URL suppressed>");
    mMasterURL = url;

    Ref<PlaylistParser> playlist;
    status_t status = OK;
    for (int32_t attempt = 0; attempt < kMasterPlaylistAttempts; ++attempt) {
        bool unchanged = false;
        playlist = fetchPlaylist(url.c_str(), &unchanged, &status);
        if (unchanged) return;
        if (playlist != nullptr) break;
        if (attempt + 1 < kMasterPlaylistAttempts && !sleepUs(kMasterRetryDelayUs)) break;
    }
    if (playlist == nullptr) {
        VLOGE("unable to fetch master playlist '%s'.", url.c_str());
        signalEOS(status != OK ? status : kErrorPlaylistUnavailable);
        return;
    }

    if (playlist->isVariantPlaylist()) {
        std::vector<BandwidthItem> items;
        uint32_t firstBandwidth = 0;
        for (size_t i = 0; i < playlist->size(); ++i) {
            BandwidthItem item;
            Ref<Message> meta;
            playlist->itemAt(i, &item.mURI, &meta);
            int32_t bandwidth = 0;
            // An entry without a bandwidth cannot take part in the choice by throughput.
            if (meta == nullptr || !meta->findInt32(kKeyBandwidth, &bandwidth)) {
                VLOGE("variant %d has no bandwidth, skipped", static_cast<int>(i));
                continue;
            }
            item.mBandwidth = static_cast<uint32_t>(bandwidth);
            ByteString resolution;
            if (meta->findString(kKeyResolution, &resolution)) {
                item.mName = resolution;
            } else {
                char name[32];
                snprintf(name, sizeof(name), "%dKbps", static_cast<int>(item.mBandwidth / 1024));
                item.mName = name;
            }
            VLOGI("%uth bandwidth %d bandwidthName '%s'", static_cast<unsigned>(i), bandwidth, item.mName.c_str());
            if (items.empty()) firstBandwidth = item.mBandwidth;
            items.push_back(item);
        }
        if (items.empty()) {
            signalEOS(ERROR_MALFORMED);
            return;
        }
        std::stable_sort(items.begin(), items.end(),
                         [](const BandwidthItem& a, const BandwidthItem& b) { return a.mBandwidth < b.mBandwidth; });
        int32_t initial = 0;
        for (size_t i = 0; i < items.size(); ++i) {
            if (items[i].mBandwidth == firstBandwidth) {
                initial = static_cast<int32_t>(i);
                break;
            }
        }
        if (!bandwidthName.empty()) {
            for (size_t i = 0; i < items.size(); ++i) {
                if (strcmp(items[i].mName.c_str(), bandwidthName.c_str()) == 0) {
                    initial = static_cast<int32_t>(i);
                    break;
                }
            }
        }
        mInitialBandwidthIndex = initial;
        {
            Mutex::Autolock _l(mLock);
            mBandwidthItems = items;
        }
        if (IMultiStreamObserver* observer = mObserver.load()) observer->onBandwidthList(items);
    }
    postMonitorQueue();
}

Ref<PlaylistParser> HLSSession::fetchPlaylist(const char* url, bool* unchanged, status_t* status) {
    *unchanged = false;
    Ref<ByteBuffer> body;
    status_t err = fetchFile(url, &body);
    if (err != OK) {
        *status = err == kHttpForbidden ? kErrorPlaylistUnavailable : err;
        return nullptr;
    }
    *status = OK;
    uint8_t hash[16];
    unsigned int hashLength = 0;
    EVP_Digest(body->data(), body->size(), hash, &hashLength, EVP_md5(), nullptr);
    Ref<PlaylistParser> current;
    {
        Mutex::Autolock _l(mLock);
        current = mPlaylist;
    }
    if (current != nullptr && memcmp(hash, mPlaylistHash, sizeof(hash)) == 0) {
        if (mRefreshState != THIRD_UNCHANGED_RELOAD_ATTEMPT) {
            mRefreshState = static_cast<RefreshState>(mRefreshState + 1);
        }
        VLOGE("Playlist unchanged, refresh state is now %d", static_cast<int>(mRefreshState));
        *unchanged = true;
        return nullptr;
    }
    memcpy(mPlaylistHash, hash, sizeof(hash));
    mRefreshState = INITIAL_MINIMUM_RELOAD_DELAY;
    Ref<PlaylistParser> playlist = new PlaylistParser(url, body->data(), body->size());
    if (playlist->initCheck() != OK) {
        VLOGE("failed to parse .m3u8 playlist");
        *status = playlist->initCheck();
        return nullptr;
    }
    if (playlist->size() == 0) {
        VLOGE("playlist empty.");
        *status = ERROR_MALFORMED;
        return nullptr;
    }
    return playlist;
}

status_t HLSSession::fetchFile(const char* url, Ref<ByteBuffer>* out, int64_t rangeOffset, int64_t rangeLength) {
    out->clear();
    Ref<DataSource> source;
    if (startsWithIgnoreCase(url, "file://")) {
        source = new FileSource(url + strlen("file://"));
        if (source->initCheck() != OK) return ERROR_IO;
        if (rangeOffset < 0) return ERROR_MALFORMED;
    } else if (startsWithIgnoreCase(url, "http://") || startsWithIgnoreCase(url, "https://")) {
        {
            Mutex::Autolock _l(mLock);
            if (mDisconnectPending) return ERROR_IO;
        }
        DataSource::Headers headers;
        for (const auto& [name, value] : mExtraHeaders) {
            headers.add(KeyValuePair<Text8, Text8>(Text8(name.c_str()), Text8(value.c_str())));
        }
        if (rangeOffset > 0 || rangeLength >= 0) {
            std::string range = "bytes=" + std::to_string(rangeOffset) + "-";
            if (rangeLength >= 0) range += std::to_string(rangeOffset + rangeLength - 1);
            headers.add(KeyValuePair<Text8, Text8>(Text8("Range"), Text8(range.c_str())));
        }
        status_t err = OK;
        for (int32_t attempt = 1; attempt <= kConnectAttempts; ++attempt) {
            err = mHTTPDataSource->connect(url, &headers, 0);
            if (err == OK) break;
            if (mStopFlags.load() & DataSource::kStopFlagStop) return USER_STOP;
            if (attempt == kConnectAttempts) {
                VLOGE("fetchFile connect err %d", err);
                return err;
            }
            VLOGW("fetchFile retry connect err %d", err);
            if (!sleepUs(kConnectRetryDelayUs)) return USER_STOP;
        }
        source = mHTTPDataSource;
        // The range is part of the request: the body starts at the range's first byte.
        rangeOffset = 0;
    } else {
        VLOGE("UNSUPPORTED in fetchFile");
        return ERROR_UNSUPPORTED;
    }

    int64_t size = 0;
    const bool sizeKnown = source->getSize(&size) == OK && size >= 0;
    if (sizeKnown && rangeLength >= 0 && size > rangeLength && source == mHTTPDataSource) {
        // The server sent more than the range: it ignored it, and the bytes are not the segment's.
        VLOGE("fetchFile: the server ignored the range of '%s'", url);
        return ERROR_UNSUPPORTED;
    }
    if (sizeKnown && rangeLength >= 0) size = std::min(size, rangeLength);
    Ref<ByteBuffer> buffer = new ByteBuffer(sizeKnown ? static_cast<size_t>(size) : kUnknownSizeBuffer);
    buffer->setRange(0, 0);
    for (;;) {
        if (mStopFlags.load() & DataSource::kStopFlagStop) return USER_STOP;
        size_t have = buffer->size();
        if (have == buffer->capacity()) {
            if (sizeKnown) break;
            Ref<ByteBuffer> larger = new ByteBuffer(buffer->capacity() + kBufferGrowth);
            memcpy(larger->data(), buffer->data(), have);
            larger->setRange(0, have);
            buffer = larger;
            VLOGV("increasing download buffer to %ld bytes", static_cast<long>(buffer->capacity()));
        }
        size_t want = buffer->capacity() - have;
        if (rangeLength >= 0) {
            if (static_cast<int64_t>(have) >= rangeLength) break;
            want = std::min<size_t>(want, static_cast<size_t>(rangeLength - static_cast<int64_t>(have)));
        }
        const ssize_t n = source->readAt(rangeOffset + static_cast<int64_t>(have), buffer->data() + have, want);
        if (n < 0) {
            VLOGE("fetchFile readAt err %ld", static_cast<long>(n));
            return static_cast<status_t>(n);
        }
        if (n == 0) break;
        buffer->setRange(0, have + static_cast<size_t>(n));
    }
    *out = buffer;
    return OK;
}

status_t HLSSession::fetchKey(const ByteString& uri, Ref<ByteBuffer>* key) {
    auto it = mAESKeyForURI.find(uri.c_str());
    if (it != mAESKeyForURI.end()) {
        *key = it->second;
        return OK;
    }
    Ref<ByteBuffer> buffer = new ByteBuffer(kAesKeySize);
    Ref<HttpDataSource> http = new HttpDataSource;
    {
        Mutex::Autolock _l(mLock);
        mKeySource = http;
    }
    status_t err = stopping() ? USER_STOP : http->connect(uri.c_str());
    size_t have = 0;
    while (err == OK && have < kAesKeySize) {
        const ssize_t n = http->readAt(static_cast<int64_t>(have), buffer->data() + have, kAesKeySize - have);
        if (n <= 0) err = ERROR_IO;
        else have += static_cast<size_t>(n);
    }
    http->disconnect();
    {
        Mutex::Autolock _l(mLock);
        mKeySource.clear();
    }
    if (err != OK) {
        VLOGE("failed to fetch cipher key from '%s'.", uri.c_str());
        return ERROR_IO;
    }
    mAESKeyForURI[uri.c_str()] = buffer;
    *key = buffer;
    return OK;
}

status_t HLSSession::decryptBuffer(size_t playlistIndex, const Ref<ByteBuffer>& buffer) {
    Ref<PlaylistParser> playlist;
    {
        Mutex::Autolock _l(mLock);
        playlist = mPlaylist;
    }
    if (playlist == nullptr) return OK;
    Ref<Message> itemMeta;
    ByteString method = "NONE";
    for (size_t i = std::min(playlistIndex + 1, playlist->size()); i-- > 0;) {
        Ref<Message> meta;
        if (playlist->itemAt(i, nullptr, &meta) && meta != nullptr && meta->findString(kKeyCipherMethod, &method)) {
            itemMeta = meta;
            break;
        }
    }
    if (strcmp(method.c_str(), "NONE") == 0) return OK;
    if (strcmp(method.c_str(), "AES-128") != 0) {
        VLOGE("Unsupported cipher method '%s'", method.c_str());
        return ERROR_UNSUPPORTED;
    }
    ByteString keyURI;
    if (!itemMeta->findString(kKeyCipherUri, &keyURI)) {
        VLOGE("Missing key uri");
        return ERROR_MALFORMED;
    }
    Ref<ByteBuffer> key;
    status_t err = fetchKey(keyURI, &key);
    if (err != OK) return err;

    uint8_t iv[kAesBlockSize] = {};
    ByteString ivText;
    if (itemMeta->findString(kKeyCipherIv, &ivText)) {
        const char* text = ivText.c_str();
        bool ok = ivText.size() == kIvTextLength && (strncmp(text, "0x", 2) == 0 || strncmp(text, "0X", 2) == 0);
        for (size_t i = 0; ok && i < kAesBlockSize; ++i) {
            const int hi = hexValue(text[2 + 2 * i]);
            const int lo = hexValue(text[3 + 2 * i]);
            ok = hi >= 0 && lo >= 0;
            iv[i] = static_cast<uint8_t>(hi * 16 + lo);
        }
        if (!ok) {
            VLOGE("malformed cipher IV '%s'.", text);
            return ERROR_MALFORMED;
        }
    } else {
        const uint32_t seq = static_cast<uint32_t>(mSeqNumber.load());
        iv[12] = static_cast<uint8_t>(seq >> 24);
        iv[13] = static_cast<uint8_t>(seq >> 16);
        iv[14] = static_cast<uint8_t>(seq >> 8);
        iv[15] = static_cast<uint8_t>(seq);
    }

    const size_t n = buffer->size();
    if (n == 0 || n % kAesBlockSize != 0) return ERROR_MALFORMED;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (ctx == nullptr || EVP_DecryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, key->data(), iv) != 1) {
        EVP_CIPHER_CTX_free(ctx);
        VLOGE("failed to set AES decryption key.");
        return UNKNOWN_ERROR;
    }
    // Padding is checked below by hand, as the segment format defines it.
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    int outLength = 0;
    const int ok = EVP_DecryptUpdate(ctx, buffer->data(), &outLength, buffer->data(), static_cast<int>(n));
    EVP_CIPHER_CTX_free(ctx);
    if (ok != 1 || static_cast<size_t>(outLength) != n) return UNKNOWN_ERROR;

    const uint8_t pad = buffer->data()[n - 1];
    if (pad < 1 || pad > kAesBlockSize || pad > n) return ERROR_MALFORMED;
    for (size_t i = n - pad; i < n; ++i) {
        if (buffer->data()[i] != pad) return ERROR_MALFORMED;
    }
    buffer->setRange(buffer->offset(), n - pad);
    return OK;
}

bool HLSSession::timeToRefreshPlaylist(int64_t nowUs) const {
    Ref<PlaylistParser> playlist = mPlaylist;  // the looper's own pointer: no lock needed to read
    if (playlist == nullptr) return true;
    int32_t targetDurationSecs = 0;
    if (playlist->meta() != nullptr) playlist->meta()->findInt32(kKeyTargetDuration, &targetDurationSecs);
    const int64_t targetUs = static_cast<int64_t>(targetDurationSecs) * 1000000;
    if (mTimeshift) return mLastPlaylistFetchTimeUs + kTimeshiftRefreshUs <= nowUs;
    int64_t minAgeUs = 0;
    switch (mRefreshState) {
        case INITIAL_MINIMUM_RELOAD_DELAY:
            minAgeUs = playlist->size() > 0 ? itemDurationUs(playlist, playlist->size() - 1) : targetUs / 2;
            break;
        case FIRST_UNCHANGED_RELOAD_ATTEMPT: minAgeUs = targetUs / 2; break;
        case SECOND_UNCHANGED_RELOAD_ATTEMPT: minAgeUs = targetUs * 3 / 2; break;
        case THIRD_UNCHANGED_RELOAD_ATTEMPT: minAgeUs = targetUs * 3; break;
    }
    return mLastPlaylistFetchTimeUs + minAgeUs <= nowUs;
}

int32_t HLSSession::getBandwidthIndex() {
    std::vector<BandwidthItem> items;
    int32_t selected;
    {
        Mutex::Autolock _l(mLock);
        if (mBandwidthItems.empty()) return 0;
        selected = mSelectedBandwidthIndex;
        if (selected >= 0) return selected;
        items = mBandwidthItems;
    }
    int32_t bps = 0;
    if (mAdaptiveSwitching.load() && mHTTPDataSource->estimateBandwidth(&bps)) {
        VLOGI("bandwidth estimated at %.2f kbps", bps / 1024.0);
        const int64_t usable = static_cast<int64_t>(bps) * 8 / 10;
        int32_t index = static_cast<int32_t>(items.size()) - 1;
        while (index >= 0 && static_cast<int64_t>(items[static_cast<size_t>(index)].mBandwidth) > usable) {
            VLOGV("abr downstream -- %dth bandwidth %d download %dbps", index,
                  static_cast<int>(items[static_cast<size_t>(index)].mBandwidth), static_cast<int>(usable));
            --index;
        }
        return index;
    }
    VLOGV("no bandwidth estimate.");
    IMultiStreamObserver* observer = mObserver.load();
    if (observer != nullptr && mPrevBandwidthIndex != mInitialBandwidthIndex &&
        static_cast<size_t>(mInitialBandwidthIndex) < items.size()) {
        observer->onBandwidthChanged(items[static_cast<size_t>(mInitialBandwidthIndex)]);
    }
    return mInitialBandwidthIndex;
}

void HLSSession::postMonitorQueue(int64_t delayUs) {
    Ref<Message> msg = new Message(kWhatMonitorQueue, mReflector->id());
    msg->setInt32(kKeyGeneration, ++mMonitorQueueGeneration);
    msg->post(delayUs);
}

void HLSSession::onMonitorQueue() {
    if (mFirstEvent && mDataSource->countQueuedBuffers() > 1) {
        Ref<Message> notify = mNotify->dup();
        notify->setInt32(kKeyWhat, kWhatReady);
        notify->post();
        mFirstEvent = false;
    }
    bool seekPending;
    {
        Mutex::Autolock _l(mLock);
        seekPending = mSeekPending;
    }
    if (!seekPending && mDataSource->countQueuedBuffers() > kMaxQueuedBuffers) {
        postMonitorQueue(kQueueFullRecheckUs);
        return;
    }
    onDownloadNext();
}

bool HLSSession::reloadPlaylistIfNeeded(int32_t bandwidthIndex, int32_t* retriesLeft, bool* again) {
    *again = false;
    Ref<PlaylistParser> current = mPlaylist;
    const bool needed = mLastPlaylistFetchTimeUs < 0 || bandwidthIndex != mPrevBandwidthIndex ||
                        (current != nullptr && !current->isComplete() && timeToRefreshPlaylist(GetNowUs()));
    if (!needed) return true;

    ByteString url = mMasterURL;
    {
        Mutex::Autolock _l(mLock);
        if (!mBandwidthItems.empty()) url = mBandwidthItems[static_cast<size_t>(bandwidthIndex)].mURI;
        // Another variant's playlist must not be taken for an unchanged one.
        if (bandwidthIndex != mPrevBandwidthIndex) {
            mPlaylist.clear();
            current.clear();
        }
    }
    bool unchanged = false;
    status_t status = OK;
    Ref<PlaylistParser> playlist = fetchPlaylist(url.c_str(), &unchanged, &status);
    if (playlist == nullptr && !unchanged) {
        VLOGE("failed to load playlist at url '%s' -- retry.", url.c_str());
        if (status == kHttpBadRequest && (*retriesLeft)-- > 0 && sleepUs(kPlaylistRetryDelayUs)) {
            *again = true;
            return true;
        }
        VLOGE("failed to load playlist at url '%s'", url.c_str());
        signalEOS(status != OK ? status : kErrorPlaylistUnavailable);
        return false;
    }
    if (playlist != nullptr) {
        Mutex::Autolock _l(mLock);
        if (mPlaylist == nullptr) mPlaylist = playlist;
        const int32_t newFirst = mediaSequenceOf(playlist);
        const int32_t oldFirst = mediaSequenceOf(mPlaylist);
        if (mTotalPlaylist == nullptr) mTotalPlaylist = new PlaylistParser(mMasterURL.c_str(), mPlaylist->meta());
        // Items that slid out of the live window are kept for the elapsed time.
        for (int32_t seq = oldFirst; seq < newFirst; ++seq) {
            ByteString uri;
            Ref<Message> meta;
            if (!mPlaylist->itemAt(static_cast<size_t>(seq - oldFirst), &uri, &meta)) break;
            int64_t us = 0;
            if (meta != nullptr) meta->findInt64(kKeyItemDurationUs, &us);
            VLOGI("## push start time '%lld'", static_cast<long long>(us));
            mTotalPlaylist->appendItem(uri, meta);
        }
        mPlaylist = playlist;
    }
    VLOGI("load playlist at url sucess");
    {
        Mutex::Autolock _l(mLock);
        if (!mDurationFixed && mPlaylist != nullptr) {
            const size_t count = mPlaylist->size();
            const size_t counted = !mTimeshift ? count : (count > kLiveEdgeSegments ? count - kLiveEdgeSegments : 0);
            int64_t durationUs = 0;
            for (size_t i = 0; i < counted; ++i) durationUs += itemDurationUs(mPlaylist, i);
            mDurationUs = durationUs;
            mDurationFixed = mPlaylist->isComplete();
        }
    }
    mLastPlaylistFetchTimeUs = GetNowUs();
    return true;
}

void HLSSession::applyPendingSeek(int32_t firstSeq) {
    Mutex::Autolock _l(mLock);
    if (!mSeekPending) return;
    bool seekDiscontinuity = false;
    const Ref<PlaylistParser> playlist = mPlaylist;
    if (mSeekTimeUs >= 0 && playlist != nullptr) {
        if (!mTimeshift) {
            if (playlist->isComplete() || playlist->isEvent()) {
                int64_t endUs = 0;
                for (size_t i = 0; i < playlist->size(); ++i) {
                    endUs += itemDurationUs(playlist, i);
                    if (endUs > mSeekTimeUs) {
                        mSeqNumber = firstSeq + static_cast<int32_t>(i);
                        VLOGI("seeking to seq no %d", mSeqNumber.load());
                        seekDiscontinuity = true;
                        break;
                    }
                }
            }
        } else if (playlist->size() > 0) {
            int64_t leftUs = mDurationUs - mSeekTimeUs;
            const size_t count = playlist->size();
            size_t index = count > kLiveEdgeSegments ? count - kLiveEdgeSegments : count - 1;
            for (;;) {
                leftUs -= itemDurationUs(playlist, index);
                if (leftUs <= 0 || index == 0) break;
                --index;
            }
            mSeqNumber = firstSeq + static_cast<int32_t>(index);
            VLOGI("timeshift seeking to seq no %d (contains %d - %d)", mSeqNumber.load(), firstSeq,
                  firstSeq + static_cast<int32_t>(count) - 1);
            seekDiscontinuity = true;
        }
    }
    if (seekDiscontinuity) {
        mDataSource->reset();
        mSeekDiscontinuity = true;
    }
    mSeekTimeUs = -1;
    mSeekDone = true;
    mSeekPending = false;
    mCondition.broadcast();
}

void HLSSession::onDownloadNext() {
    int32_t bandwidthIndex = std::max(getBandwidthIndex(), 0);
    int32_t playlistRetries = kPlaylistRetries;
    bool explicitDiscontinuity = false;
    for (;;) {
        if (stopping()) return;
        VLOGI("onDownloadNext");
        bool again = false;
        if (!reloadPlaylistIfNeeded(bandwidthIndex, &playlistRetries, &again)) return;
        if (again) continue;

        const Ref<PlaylistParser> playlist = mPlaylist;
        const int32_t firstSeq = mediaSequenceOf(playlist);
        const int32_t lastSeq = firstSeq + static_cast<int32_t>(playlist->size()) - 1;

        applyPendingSeek(firstSeq);

        if (mSeqNumber < 0) {
            mSeqNumber = playlist->isComplete() ? firstSeq : std::max(firstSeq, lastSeq - kLiveEdgeSegments);
        }
        if (mSeqNumber < firstSeq || mSeqNumber > lastSeq) {
            if (bandwidthIndex != mPrevBandwidthIndex && mPrevBandwidthIndex >= 0) {
                VLOGI("new bandwidth does not have the sequence number we're looking for, switching back to previous "
                      "bandwidth");
                mLastPlaylistFetchTimeUs = -1;
                bandwidthIndex = mPrevBandwidthIndex;
                continue;
            }
            if (playlist->isComplete() || mNumRetries > kMaxSeqRetries) {
                VLOGE("Cannot find sequence number %d in playlist (contains %d - %d)", mSeqNumber.load(), firstSeq,
                      lastSeq);
                signalEOS(ERROR_END_OF_STREAM);
                return;
            }
            ++mNumRetries;
            if (mSeqNumber > lastSeq) {
                // Ahead of the live edge: the playlist must catch up. Asked again at once, a
                // server that has not written the next segment yet would answer with the same
                // window every time and the retries would be spent within milliseconds.
                mLastPlaylistFetchTimeUs = -1;
                postMonitorQueue(liveEdgeRetryDelayUs(playlist));
                return;
            }
            VLOGI("We've missed the boat, restarting playback.");
            if (!mTimeshift) {
                mSeqNumber = lastSeq;
                explicitDiscontinuity = true;
            } else {
                mSeqNumber = firstSeq;
                Mutex::Autolock _l(mLock);
                mRestartFromWindowStart = true;
            }
        }
        mNumRetries = 0;

        const size_t itemIndex = static_cast<size_t>(mSeqNumber - firstSeq);
        ByteString uri;
        Ref<Message> itemMeta;
        playlist->itemAt(itemIndex, &uri, &itemMeta);
        int32_t discontinuity = 0;
        int64_t rangeOffset = 0, rangeLength = -1, segmentDurationUs = 0;
        if (itemMeta != nullptr) {
            if (itemMeta->findInt32(kKeyDiscontinuity, &discontinuity) && discontinuity != 0) explicitDiscontinuity = true;
            int64_t offset = 0, length = 0;
            if (itemMeta->findInt64(kKeyRangeOffset, &offset) && itemMeta->findInt64(kKeyRangeLength, &length)) {
                rangeOffset = offset;
                rangeLength = length;
            }
            itemMeta->findInt64(kKeyItemDurationUs, &segmentDurationUs);
        }

        VLOGV("fetching segment %d from (%d .. %d)", mSeqNumber.load(), firstSeq, lastSeq);
        Ref<ByteBuffer> buffer;
        const int64_t fetchStartUs = GetNowUs();
        status_t err = fetchFile(uri.c_str(), &buffer, rangeOffset, rangeLength);
        if (err != OK) {
            VLOGE("failed to fetch .ts segment at url '%s'", uri.c_str());
            signalEOS(err);
            return;
        }
        mHTTPDataSource->addBandwidthMeasurement(buffer->size(), GetNowUs() - fetchStartUs);
        err = decryptBuffer(itemIndex, buffer);
        if (err != OK) {
            VLOGE("decryptBuffer failed w/ error %d", err);
            signalEOS(err);
            return;
        }

        if (buffer->size() > 0 && buffer->data()[0] == kTsSyncByte) {
            const bool bandwidthChanged = bandwidthIndex != mPrevBandwidthIndex && mPrevBandwidthIndex >= 0;
            bool seekDiscontinuity = mSeekDiscontinuity;
            mSeekDiscontinuity = false;
            if (mStartOfPlayback) {
                seekDiscontinuity = true;
                mStartOfPlayback = false;
            }
            if (seekDiscontinuity || explicitDiscontinuity || bandwidthChanged) {
                VLOGI("queueing discontinuity (seek=%d, explicit=%d, bandwidthChanged=%d)", seekDiscontinuity ? 1 : 0,
                      explicitDiscontinuity ? 1 : 0, bandwidthChanged ? 1 : 0);
                const bool formatChange = explicitDiscontinuity || bandwidthChanged;
                const bool withTime = seekDiscontinuity && (playlist->isComplete() || playlist->isEvent() || mTimeshift);
                queueDiscontinuity(formatChange, withTime, withTime ? getSegmentStartTimeUs(mSeqNumber) : 0);
            }
            buffer->meta()->setInt64(kKeyItemDurationUs, segmentDurationUs);
            mDataSource->queueBuffer(buffer);
            mPrevBandwidthIndex = bandwidthIndex;
            ++mSeqNumber;
            if (bandwidthChanged) {
                IMultiStreamObserver* observer = mObserver.load();
                std::vector<BandwidthItem> items = bandwidthItems();
                if (observer != nullptr && static_cast<size_t>(bandwidthIndex) < items.size()) {
                    observer->onBandwidthChanged(items[static_cast<size_t>(bandwidthIndex)]);
                }
            }
            if (!(mStopFlags.load() & DataSource::kStopFlagStop)) postMonitorQueue();
            return;
        }

        VLOGE("This doesn't look like a transport stream...");
        {
            Mutex::Autolock _l(mLock);
            if (static_cast<size_t>(bandwidthIndex) < mBandwidthItems.size()) {
                mBandwidthItems.erase(mBandwidthItems.begin() + bandwidthIndex);
            }
            if (mBandwidthItems.empty()) {
                VLOGE("UNSUPPORTED in onDownloadNext");
            } else {
                // Indexes past the removed variant moved down by one.
                const int32_t last = static_cast<int32_t>(mBandwidthItems.size()) - 1;
                mInitialBandwidthIndex = std::min(mInitialBandwidthIndex, last);
                if (mSelectedBandwidthIndex > last) mSelectedBandwidthIndex = -1;
            }
        }
        if (bandwidthItems().empty()) {
            signalEOS(ERROR_UNSUPPORTED);
            return;
        }
        VLOGI("Retrying with a different bandwidth stream.");
        mLastPlaylistFetchTimeUs = -1;
        bandwidthIndex = std::max(getBandwidthIndex(), 0);
        mPrevBandwidthIndex = bandwidthIndex;
        mSeqNumber = -1;
    }
}

int64_t HLSSession::liveEdgeRetryDelayUs(const Ref<PlaylistParser>& playlist) const {
    int32_t targetDurationSecs = 0;
    if (playlist->meta() != nullptr) playlist->meta()->findInt32(kKeyTargetDuration, &targetDurationSecs);
    const int64_t halfTargetUs = static_cast<int64_t>(targetDurationSecs) * 1000000 / 2;
    return std::clamp<int64_t>(halfTargetUs, kMinLiveEdgeRetryUs, kMaxLiveEdgeRetryUs);
}

int64_t HLSSession::getSegmentStartTimeUs(int32_t seqNumber) const {
    const Ref<PlaylistParser> playlist = mPlaylist;
    const int32_t firstSeq = mediaSequenceOf(playlist);
    int64_t startUs = 0;
    for (int32_t seq = firstSeq; seq < seqNumber; ++seq) startUs += itemDurationUs(playlist, static_cast<size_t>(seq - firstSeq));
    return startUs;
}

void HLSSession::queueDiscontinuity(bool formatChange, bool withTime, int64_t timeUs) {
    Ref<ByteBuffer> marker = new ByteBuffer(HLSDataSource::kMarkerSize);
    memset(marker->data(), 0, HLSDataSource::kMarkerSize);
    uint8_t flags = 0;
    if (formatChange) flags |= kMarkerFormatChange;
    if (withTime) {
        flags |= kMarkerHasTime;
        const uint64_t t = static_cast<uint64_t>(timeUs);
        for (int i = 0; i < 8; ++i) marker->data()[2 + i] = static_cast<uint8_t>(t >> (8 * i));
    }
    marker->data()[1] = flags;
    mDataSource->queueBuffer(marker);
}

void HLSSession::onSeek(const Ref<Message>& msg) {
    int64_t timeUs = 0;
    msg->findInt64(kKeyTimeUs, &timeUs);
    {
        Mutex::Autolock _l(mLock);
        mSeekTimeUs = timeUs;
        mSeekPending = true;
    }
    postMonitorQueue();
}

void HLSSession::onDisconnect() {
    VLOGI("onDisconnect");
    signalEOS(ERROR_END_OF_STREAM);
    Mutex::Autolock _l(mLock);
    mDisconnectPending = false;
}

void HLSSession::signalEOS(status_t err) {
    Ref<Message> notify = mNotify->dup();
    int32_t what = kWhatError;
    if (mFirstEvent) {
        what = err == ERROR_END_OF_STREAM ? kWhatReady : kWhatError;
        mFirstEvent = false;
    }
    notify->setInt32(kKeyWhat, what);
    if (err != ERROR_END_OF_STREAM) notify->setInt32(kKeyErr, err);
    notify->post();
    mDataSource->queueEOS(err);
}

}  // namespace velmor
