#include "engine/hls/HLSExtractor.h"

#include <cstring>

#include "engine/mpeg2ts/PacketSource.h"
#include "utils/Log.h"

#define LOG_TAG "VEL_HLSExtractor"

namespace velmor {

namespace {

const char kKeyWhat[] = "what";
const char kKeyErr[] = "err";
const char kKeyMediaTimeUs[] = "MediaTimeUs";
// The session's notification message.
constexpr uint32_t kWhatSessionNotify = FourCC('s', 'e', 's', 'n');
// Discontinuity types the parser gets for a marker: time only, or time and both formats.
constexpr int32_t kMarkerTimeOnly = DISCONTINUITY_TIME;
constexpr int32_t kMarkerTimeAndFormats = DISCONTINUITY_TIME | DISCONTINUITY_FORMATCHANGE;
const char kExtractorMime[] = "HLSExtractor";

}  // namespace

HLSExtractor::HLSExtractor(EventCallback callback)
    : mCallback(std::move(callback)), mLooper(new Looper), mParser(new TSParser(0)) {
    mReflector = new HandlerReflector<HLSExtractor>(this);
    mLooper->setName("hls_extractor");
    mLooper->registerHandler(mReflector);
    mLooper->start();
}

HLSExtractor::~HLSExtractor() {
    if (mSession != nullptr) {
        mSession->setObserver(nullptr);
        mSession->disconnect();
    }
    mLooper->unregisterHandler(mReflector->id());
    mLooper->stop();
}

status_t HLSExtractor::open(const char* url, bool timeshift, const char* bandwidthName,
                            const HLSSession::Headers& headers) {
    mSession = new HLSSession(timeshift, new Message(kWhatSessionNotify, mReflector->id()));
    mSession->setObserver(this);
    mSession->connectAsync(url, bandwidthName, &headers);
    Mutex::Autolock _l(mLock);
    return mFinalResult;
}

status_t HLSExtractor::waitUntilReady() {
    Mutex::Autolock _s(mStateLock);
    while (mReadyState == kWaiting && !mStopped) mStateCondition.wait(mStateLock);
    if (mStopped && mReadyState != kReady) return USER_STOP;
    return mReadyState == kReady ? OK : mReadyStatus;
}

void HLSExtractor::onMessageReceived(const Ref<Message>& msg) {
    if (static_cast<uint32_t>(msg->what()) != kWhatSessionNotify) return;
    int32_t what = -1;
    msg->findInt32(kKeyWhat, &what);
    if (what == HLSSession::kWhatReady) {
        onSessionReady();
        return;
    }
    if (what != HLSSession::kWhatError) return;
    int32_t err = OK;
    if (!msg->findInt32(kKeyErr, &err)) {
        // The session reached the end of the presentation (or was disconnected): readers get the
        // end after the queued data; nothing to report.
        return;
    }
    {
        Mutex::Autolock _l(mLock);
        mFinalResult = err;
    }
    {
        Mutex::Autolock _s(mStateLock);
        if (mReadyState == kWaiting) {
            mReadyState = kFailed;
            mReadyStatus = err;
        }
        mStateCondition.broadcast();
    }
    VLOGE("session error %d", err);
    if (mCallback) mCallback(kEventError, 1, err);
}

void HLSExtractor::onSessionReady() {
    status_t err = OK;
    {
        Mutex::Autolock _l(mLock);
        if (mSourceImpls.empty()) {
            for (int32_t i = 0; i < kMaxPacketsToFindTracks; ++i) {
                err = feedMore_l();
                if (err != OK) break;
                if (mParser->getSource(TSParser::VIDEO) != nullptr && mParser->getSource(TSParser::AUDIO) != nullptr) break;
            }
            addTrackIfNew_l(mParser->getSource(TSParser::VIDEO), true);
            addTrackIfNew_l(mParser->getSource(TSParser::AUDIO), false);
        }
        mFinalResult = OK;
        if (mSourceImpls.empty()) err = err != OK ? err : ERROR_UNSUPPORTED;
    }
    Mutex::Autolock _s(mStateLock);
    if (mReadyState == kWaiting) {
        mReadyState = mSourceImpls.empty() ? kFailed : kReady;
        mReadyStatus = mReadyState == kReady ? OK : (err != OK ? err : ERROR_UNSUPPORTED);
    }
    mStateCondition.broadcast();
}

void HLSExtractor::addTrackIfNew_l(const Ref<PacketSource>& source, bool video) {
    mLock.assertHeld();
    if (source == nullptr) return;
    for (const Ref<PacketSource>& s : mSourceImpls) {
        if (s == source) return;
    }
    mSourceImpls.push_back(source);
    mSourceIsVideo.push_back(video);
}

status_t HLSExtractor::feedMore_l() {
    mLock.assertHeld();
    uint8_t packet[TSParser::kTSPacketSize];
    const ssize_t n = mSession->getDataSource()->readAt(mReadOffset, packet, sizeof(packet));
    if (n < static_cast<ssize_t>(sizeof(packet))) {
        VLOGE("readAt error %d in feedMore", static_cast<int>(n));
        mFinalResult = n < 0 ? static_cast<status_t>(n) : ERROR_END_OF_STREAM;
        return mFinalResult;
    }
    mReadOffset += n;
    if (packet[0] == 0) {
        // A discontinuity marker from the session.
        Ref<Message> extra = new Message;
        const uint8_t flags = packet[1];
        if (flags & HLSSession::kMarkerHasTime) {
            uint64_t t = 0;
            for (int i = 7; i >= 0; --i) t = (t << 8) | packet[2 + i];
            extra->setInt64(kKeyMediaTimeUs, static_cast<int64_t>(t));
        }
        const int32_t type = (flags & HLSSession::kMarkerFormatChange) ? kMarkerTimeAndFormats : kMarkerTimeOnly;
        mParser->signalDiscontinuity(type, extra);
        mFinalResult = OK;
        return OK;
    }
    const status_t err = mParser->feedTSPacket(packet, sizeof(packet));
    if (err != OK) {
        VLOGE("feedTSPacket error %d in feedMore", err);
        mFinalResult = err;
    }
    return err;
}

size_t HLSExtractor::countTracks() {
    Mutex::Autolock _l(mLock);
    return mSourceImpls.size();
}

Ref<MediaSource> HLSExtractor::getTrack(size_t index) {
    Mutex::Autolock _l(mLock);
    if (index >= mSourceImpls.size()) return nullptr;
    // With two tracks only the video one moves the session on a seek.
    const bool seekable = mSourceIsVideo[index] || mSourceImpls.size() == 1;
    return new HLSSource(this, mSourceImpls[index], seekable);
}

Ref<MetaData> HLSExtractor::getTrackMetaData(size_t index, uint32_t) {
    Ref<PacketSource> source;
    {
        Mutex::Autolock _l(mLock);
        if (index >= mSourceImpls.size()) return nullptr;
        source = mSourceImpls[index];
    }
    Ref<MetaData> format = source->getFormat();
    if (format == nullptr) return nullptr;
    Ref<MetaData> meta = new MetaData(*format);
    int64_t durationUs = -1;
    if (mSession != nullptr && mSession->getDuration(&durationUs) == OK && durationUs >= 0) {
        meta->setInt64(kKeyDuration, durationUs);
    }
    return meta;
}

Ref<MetaData> HLSExtractor::getMetaData() {
    Ref<MetaData> meta = new MetaData;
    meta->setCString(kKeyMIMEType, kExtractorMime);
    return meta;
}

uint32_t HLSExtractor::flags() const {
    if (mSession != nullptr && mSession->isSeekable()) return CAN_SEEK_BACKWARD | CAN_SEEK_FORWARD | CAN_PAUSE | CAN_SEEK;
    return CAN_PAUSE;
}

void HLSExtractor::setStopFlag(uint32_t flags) {
    VLOGI("setStopFlag (%d)", static_cast<int>(flags));
    if (mSession != nullptr) {
        mSession->setStopFlag(flags);
        // Ends the byte queue: a reader blocked in feedMore returns.
        if (flags & kStopFlagStop) mSession->getDataSource()->setStopFlag(flags);
    }
    if (flags & kStopFlagStop) {
        Mutex::Autolock _s(mStateLock);
        mStopped = true;
        mStateCondition.broadcast();
    }
}

status_t HLSExtractor::getCachedDuration(int64_t* durationUs, bool* eos) {
    if (mSession == nullptr) return ERROR_UNSUPPORTED;
    Ref<HLSDataSource> source = mSession->getDataSource();
    *durationUs = source->getQueuedDurationUs();
    const status_t final = source->finalResult();
    *eos = final != OK && final != INFO_FORMAT_CHANGED;
    return OK;
}

status_t HLSExtractor::getPosition(int64_t* positionUs) { return mSession->getPosition(positionUs); }
status_t HLSExtractor::getDuration(int64_t* durationUs) { return mSession->getDuration(durationUs); }
int64_t HLSExtractor::getTotalElapsedUs() { return mSession->getTotalElapsedUs(); }
void HLSExtractor::clearTotalElapsed() { mSession->clearTotalElapsed(); }
bool HLSExtractor::isLive() { return mSession->isLive(); }
bool HLSExtractor::isSeekable() { return mSession->isSeekable(); }
bool HLSExtractor::consumeRestartFlag() { return mSession->consumeRestartFlag(); }
void HLSExtractor::setBandwidth(const char* name) { mSession->setBandwidth(name); }
void HLSExtractor::enableAdaptiveSwitching() { mSession->enableAdaptiveSwitching(); }
int64_t HLSExtractor::targetDurationUs() { return mSession->getTargetDurationUs(); }
std::vector<BandwidthItem> HLSExtractor::bandwidthItems() { return mSession->bandwidthItems(); }

void HLSExtractor::seekTo(int64_t timeUs) {
    Mutex::Autolock _l(mLock);
    mFinalResult = OK;
    mSession->seekTo(timeUs);
}

void HLSExtractor::onBandwidthList(std::vector<BandwidthItem> items) {
    VLOGI("%d variants", static_cast<int>(items.size()));
}

void HLSExtractor::onBandwidthChanged(BandwidthItem item) {
    VLOGI("variant %s (%u bit/s)", item.mName.c_str(), item.mBandwidth);
    if (mCallback) mCallback(kEventInfo, kInfoBandwidth, static_cast<int32_t>(item.mBandwidth));
}

HLSSource::HLSSource(const Ref<HLSExtractor>& extractor, const Ref<PacketSource>& impl, bool seekable)
    : mExtractor(extractor), mImpl(impl), mSeekable(seekable) {}

status_t HLSSource::start(MetaData*) { return mImpl->start(); }
status_t HLSSource::stop() { return mImpl->stop(); }

Ref<MetaData> HLSSource::getFormat() {
    Ref<MetaData> format = mImpl->getFormat();
    // After a format change the source has none until the parser meets the new stream's first
    // unit (a reader that just passed the change marker asks right away): feed until it has.
    for (int32_t i = 0; format == nullptr && i < HLSExtractor::kMaxPacketsToFindTracks; ++i) {
        status_t finalResult = OK;
        if (mImpl->hasBufferAvailable(&finalResult) && mImpl->getFormat() != nullptr) break;
        Mutex::Autolock _l(mExtractor->lock());
        if (mExtractor->feedMore_l() != OK) break;
        format = mImpl->getFormat();
    }
    if (format == nullptr) format = mImpl->getFormat();
    if (format == nullptr) return nullptr;
    Ref<MetaData> meta = new MetaData(*format);
    int64_t durationUs = -1;
    if (mExtractor->getDuration(&durationUs) == OK && durationUs >= 0) meta->setInt64(kKeyDuration, durationUs);
    return meta;
}

status_t HLSSource::read(MediaBuffer** buffer, const ReadOptions* options) {
    int64_t seekTimeUs = 0;
    ReadOptions::SeekMode mode;
    bool forceFeed = false;
    if (mSeekable && options != nullptr && options->getSeekTo(&seekTimeUs, &mode)) {
        mExtractor->seekTo(seekTimeUs);
        forceFeed = true;
    }
    status_t finalResult = OK;
    while (!mImpl->hasBufferAvailable(&finalResult) || forceFeed) {
        if (!forceFeed && finalResult != OK) return finalResult;
        forceFeed = false;
        Mutex::Autolock _l(mExtractor->lock());
        const status_t err = mExtractor->feedMore_l();
        if (err != OK) mImpl->signalEOS(err);
    }
    return mImpl->read(buffer, options);
}

}  // namespace velmor
