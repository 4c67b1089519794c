// A DataSource over a file handle.
#pragma once

#include "engine/DataSource.h"
#include "utils/Mutex.h"

namespace velmor {

class FileSource : public DataSource {
public:
    explicit FileSource(const char* path);

    status_t initCheck() const override;
    ssize_t readAt(int64_t offset, void* data, size_t size) override;
    status_t getSize(int64_t* size) override;
    uint32_t flags() override { return kFlagSizeKnown; }

protected:
    ~FileSource() override;

private:
    int mFd;
    int64_t mOffset;
    int64_t mLength;
    Mutex mLock;
};

}  // namespace velmor
