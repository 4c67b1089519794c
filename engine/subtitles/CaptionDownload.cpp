#include "engine/subtitles/CaptionDownload.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "engine/HttpDataSource.h"
#include "utils/Log.h"

#define LOG_TAG "VEL_PlaybackEngine"

namespace velmor {

namespace {

const char kTempTemplate[] = "qvcaption-XXXXXX";
const char kTempSuffix[] = ".subtitle";

// Writes all of data; false on a write error.
bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

CaptionDownload::CaptionDownload(std::string uri, DoneCallback done) : mUri(std::move(uri)), mDone(std::move(done)) {}

CaptionDownload::~CaptionDownload() {
    cancel();
    if (mThread.joinable()) mThread.join();
}

std::string CaptionDownload::TempDirectory() {
    const char* dir = getenv("TMPDIR");
    return (dir != nullptr && dir[0] != '\0') ? dir : "/tmp";
}

void CaptionDownload::start() { mThread = std::thread(&CaptionDownload::run, this); }

void CaptionDownload::cancel() {
    mCancel.store(true);
    Mutex::Autolock _l(mSourceLock);
    if (mSource != nullptr) mSource->setStopFlag(DataSource::kStopFlagStop);
}

void CaptionDownload::run() {
    Ref<HttpDataSource> http = new HttpDataSource;
    {
        // Published before connecting so that a cancel can interrupt the connect.
        Mutex::Autolock _l(mSourceLock);
        if (mCancel.load()) return;
        mSource = http;
    }
    int64_t size = 0;
    ssize_t written = 0;
    if (http->connect(mUri.c_str()) == OK) {
        if (http->getSize(&size) != OK || size <= 0) {
            VLOGW("Caption getsize error maybe cancel !!");
        } else {
            written = copyToTempFile(http.get(), size);
        }
    }
    {
        Mutex::Autolock _l(mSourceLock);
        mSource.clear();
    }
    http->disconnect();
    http.clear();
    if (written > 0) {
        if (!mCancel.load()) {
            mDone(this, "file://" + mLocalPath);
        } else {
            unlink(mLocalPath.c_str());
            mLocalPath.clear();
        }
    }
    VLOGI("onCaptionDownloadEvent end");
    mFinished.store(true);
}

ssize_t CaptionDownload::copyToTempFile(HttpDataSource* http, int64_t size) {
    VLOGI("Caption Download [[");
    std::string path = TempDirectory() + "/" + kTempTemplate + kTempSuffix;
    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');
    const int fd = mkstemps(name.data(), static_cast<int>(sizeof(kTempSuffix) - 1));
    if (fd < 0) {
        VLOGE("Caption path [%s] cannot be created", path.c_str());
        return UNKNOWN_ERROR;
    }
    path = name.data();
    VLOGI("Caption path [file://%s]", path.c_str());
    char chunk[kChunkBytes];
    int64_t offset = 0;
    ssize_t n = 0;
    while (offset < size) {
        if (mCancel.load()) {
            ::close(fd);
            unlink(path.c_str());
            VLOGI("caption mCancelDownload");
            return USER_STOP;
        }
        const size_t want = static_cast<size_t>(std::min<int64_t>(size - offset, static_cast<int64_t>(kChunkBytes)));
        n = http->readAt(offset, chunk, want);
        if (n < 1) break;
        if (!writeAll(fd, chunk, static_cast<size_t>(n))) {
            n = ERROR_IO;
            break;
        }
        offset += n;
    }
    ::close(fd);
    if (n < 0 || offset == 0 || mCancel.load()) {
        unlink(path.c_str());
        VLOGI("caption download cancel");
        return n < 0 ? n : static_cast<ssize_t>(USER_STOP);
    }
    VLOGI("Caption Download ]]");
    mLocalPath = path;
    return static_cast<ssize_t>(offset);
}

}  // namespace velmor
