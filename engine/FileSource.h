// A DataSource over a file handle.
//
// A regular file is read at any offset. Anything else (a FIFO, a character device, a socket) is a
// stream: it is opened without blocking (a FIFO without a writer would otherwise hold open(2)
// until one appears), it has no size, reads ignore the offset and go on where the last one ended,
// and a read waits at most kPollSliceMs for bytes. A stream read that found none returns
// WOULD_BLOCK; the caller decides, with its own stop request and time-out, whether to ask again.
//
// Threads: readAt and getSize run on the reader's thread (one at a time, serialised by mLock);
// setStopFlag may come from any thread at any time, also while a read waits.
#pragma once

#include <atomic>

#include "engine/DataSource.h"
#include "utils/Mutex.h"

namespace velmor {

class FileSource : public DataSource {
public:
    // Longest single wait of a stream read for bytes to arrive.
    static constexpr int kPollSliceMs = 100;

    explicit FileSource(const char* path);

    status_t initCheck() const override;
    ssize_t readAt(int64_t offset, void* data, size_t size) override;
    status_t getSize(int64_t* size) override;
    uint32_t flags() override { return mStream ? 0u : static_cast<uint32_t>(kFlagSizeKnown); }
    // A stop makes every later stream read return USER_STOP.
    void setStopFlag(uint32_t flags) override;

    // True for a FIFO, character device or socket.
    bool isStream() const { return mStream; }

protected:
    ~FileSource() override;

private:
    // --- Set by the constructor, then read-only.
    int mFd;
    int64_t mLength;
    bool mStream;
    // --- Guarded by mLock: the file position belongs to one read at a time.
    Mutex mLock;
    // --- Any thread.
    std::atomic<bool> mStopped{false};
};

}  // namespace velmor
