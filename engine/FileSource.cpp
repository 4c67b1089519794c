#define LOG_TAG "VEL_FileSource"

#include "engine/FileSource.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "utils/Log.h"

namespace velmor {

FileSource::FileSource(const char* path) : mFd(-1), mLength(-1), mStream(false) {
    // O_NONBLOCK: a FIFO opens at once even without a writer. A regular file ignores it.
    mFd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (mFd < 0) {
        VLOGE("Failed to open file '%s'. (%s)", path, strerror(errno));
        return;
    }
    struct stat st;
    if (fstat(mFd, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
        mStream = true;
        VLOGI("FileSource '%s' is a stream", path);
        return;
    }
    // Reads of a regular file block as usual.
    fcntl(mFd, F_SETFL, fcntl(mFd, F_GETFL) & ~O_NONBLOCK);
    off_t end = lseek(mFd, 0, SEEK_END);
    mLength = end >= 0 ? static_cast<int64_t>(end) : -1;
    VLOGI("FileSource Length %lld", static_cast<long long>(mLength));
}

FileSource::~FileSource() {
    if (mFd >= 0) {
        close(mFd);
        mFd = -1;
    }
}

status_t FileSource::initCheck() const { return mFd >= 0 ? OK : NO_INIT; }

void FileSource::setStopFlag(uint32_t flags) { mStopped.store((flags & kStopFlagStop) != 0); }

ssize_t FileSource::readAt(int64_t offset, void* data, size_t size) {
    if (mFd < 0) return NO_INIT;
    if (offset < 0) return BAD_VALUE;
    Autolock autoLock(mLock);
    if (mStream) {
        if (mStopped.load()) return USER_STOP;
        struct pollfd pfd = {mFd, POLLIN, 0};
        int ready = poll(&pfd, 1, kPollSliceMs);
        if (ready < 0 && errno != EINTR) return ERROR_IO;
        if (ready <= 0) return WOULD_BLOCK;
        ssize_t n = ::read(mFd, data, size);
        if (n < 0) return static_cast<ssize_t>(errno == EAGAIN || errno == EINTR ? WOULD_BLOCK : ERROR_IO);
        // 0 after a hang-up: the writer closed its end.
        return n;
    }
    if (mLength >= 0) {
        if (offset >= mLength) return 0;
        int64_t avail = mLength - offset;
        if (static_cast<int64_t>(size) > avail) size = static_cast<size_t>(avail);
    }
    ssize_t n;
    do {
        n = pread(mFd, data, size, static_cast<off_t>(offset));
    } while (n < 0 && errno == EINTR);
    return n < 0 ? static_cast<ssize_t>(ERROR_IO) : n;
}

status_t FileSource::getSize(int64_t* size) {
    if (mFd < 0) return NO_INIT;
    if (mStream) return ERROR_UNSUPPORTED;
    *size = mLength;
    return OK;
}

}  // namespace velmor
