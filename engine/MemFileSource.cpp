#define LOG_TAG "VEL_MemFileSource"

#include "engine/MemFileSource.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "utils/Log.h"

namespace velmor {

MemFileSource::MemFileSource(const char* path) : mData(nullptr), mOffset(0), mLength(-1) {
    // Only a regular file is read whole: O_NONBLOCK keeps a FIFO without a writer from blocking
    // the open, and directories, devices and FIFOs are refused before anything is allocated.
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        VLOGE("Failed to open file '%s'. (%s)", path, "not a regular file");
        close(fd);
        return;
    }
    FILE* file = fd >= 0 ? fdopen(fd, "rb") : nullptr;
    if (file == nullptr) {
        VLOGE("Failed to open file '%s'. (%s)", path, strerror(errno));
        if (fd >= 0) close(fd);
        return;
    }
    long length = -1;
    if (fseek(file, 0, SEEK_END) == 0) length = ftell(file);
    if (length < 0 || fseek(file, 0, SEEK_SET) != 0) {
        VLOGE("Failed to open file '%s'. (%s)", path, strerror(errno));
        fclose(file);
        return;
    }
    char* data = static_cast<char*>(calloc(static_cast<size_t>(length) + 1, 1));
    if (data == nullptr) {
        VLOGE("Failed to open file '%s'. (%s)", path, strerror(ENOMEM));
        fclose(file);
        return;
    }
    size_t got = fread(data, 1, static_cast<size_t>(length), file);
    fclose(file);
    if (got != static_cast<size_t>(length)) {
        VLOGE("Failed to open file '%s'. (%s)", path, "short read");
        free(data);
        return;
    }
    mData = data;
    mLength = length;
    VLOGI("MemFileSource Length %lld", static_cast<long long>(mLength));
}

MemFileSource::~MemFileSource() {
    free(mData);
    mData = nullptr;
}

status_t MemFileSource::initCheck() const { return mData != nullptr ? OK : NO_INIT; }

ssize_t MemFileSource::readAt(int64_t offset, void* data, size_t size) {
    Autolock autoLock(mLock);
    if (mLength < 0 || mData == nullptr) return NO_INIT;
    if (offset < 0) return BAD_VALUE;
    if (offset >= mLength) return 0;
    int64_t avail = mLength - offset;
    size_t n = static_cast<int64_t>(size) < avail ? size : static_cast<size_t>(avail);
    memcpy(data, mData + mOffset + offset, n);
    return static_cast<ssize_t>(n);
}

status_t MemFileSource::getSize(int64_t* size) {
    Autolock autoLock(mLock);
    if (mData == nullptr) return NO_INIT;
    *size = mLength;
    return OK;
}

}  // namespace velmor
