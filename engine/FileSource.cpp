#define LOG_TAG "VEL_FileSource"

#include "engine/FileSource.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "utils/Log.h"

namespace velmor {

FileSource::FileSource(const char* path) : mFd(-1), mOffset(0), mLength(-1) {
    mFd = open(path, O_RDONLY | O_CLOEXEC);
    if (mFd >= 0) {
        off_t end = lseek(mFd, 0, SEEK_END);
        mLength = end >= 0 ? static_cast<int64_t>(end) : -1;
        VLOGI("FileSource Length %lld", static_cast<long long>(mLength));
    } else {
        VLOGE("Failed to open file '%s'. (%s)", path, strerror(errno));
    }
}

FileSource::~FileSource() {
    if (mFd >= 0) {
        close(mFd);
        mFd = -1;
    }
}

status_t FileSource::initCheck() const { return mFd >= 0 ? OK : NO_INIT; }

ssize_t FileSource::readAt(int64_t offset, void* data, size_t size) {
    if (mFd < 0) return NO_INIT;
    Autolock autoLock(mLock);
    if (offset < 0) return BAD_VALUE;
    if (mLength >= 0) {
        if (offset >= mLength) return 0;
        int64_t avail = mLength - offset;
        if (static_cast<int64_t>(size) > avail) size = static_cast<size_t>(avail);
    }
    off_t position = lseek(mFd, static_cast<off_t>(offset + mOffset), SEEK_SET);
    if (position == -1) {
        VLOGE("seek to %lld failed", static_cast<long long>(offset + mOffset));
        return UNKNOWN_ERROR;
    }
    ssize_t n;
    do {
        n = ::read(mFd, data, size);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? static_cast<ssize_t>(ERROR_IO) : n;
}

status_t FileSource::getSize(int64_t* size) {
    Autolock autoLock(mLock);
    if (mFd < 0) return NO_INIT;
    *size = mLength;
    return OK;
}

}  // namespace velmor
