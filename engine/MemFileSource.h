// A DataSource over a file loaded whole into memory. Reads never block; any thread (mLock
// guards the read position bookkeeping).
#pragma once

#include "engine/DataSource.h"
#include "utils/Mutex.h"

namespace velmor {

class MemFileSource : public DataSource {
public:
    explicit MemFileSource(const char* path);

    status_t initCheck() const override;
    ssize_t readAt(int64_t offset, void* data, size_t size) override;
    status_t getSize(int64_t* size) override;
    uint32_t flags() override { return kFlagSizeKnown; }

    // The loaded bytes followed by one zero byte; null when the file could not be read.
    const char* data() const { return mData; }

protected:
    ~MemFileSource() override;

private:
    char* mData;
    int64_t mOffset;
    int64_t mLength;
    Mutex mLock;
};

}  // namespace velmor
