// Copies a subtitle file from an HTTP server into a temporary file on a thread of its own, so a
// host can add a remote subtitle file like a local one.
//
// The copy is named "<temporary directory>/qvcaption-XXXXXX.subtitle" (unique per download). A
// cancelled or failed download removes its partial copy; a finished one leaves the copy to its
// owner, who removes it when the session ends.
//
// Threads: the owner (the engine, under its lock) constructs, starts and cancels; the download
// runs on its own thread and, when it has the whole file, calls `done` on that thread with no
// lock of its own held. cancel() never blocks: it raises the cancel flag and disconnects the
// HTTP connection, which wakes a read waiting on a silent server. The destructor cancels and
// joins the thread, so it must not run under a lock `done` takes.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "utils/Errors.h"
#include "utils/Mutex.h"
#include "utils/RefCounted.h"

namespace velmor {

class HttpDataSource;

class CaptionDownload {
public:
    // Called with the local address ("file://PATH") of the finished copy; the callee checks
    // cancelled() under its own lock before using it.
    typedef std::function<void(CaptionDownload* download, const std::string& fileUri)> DoneCallback;

    // Chunk size of the copy loop.
    static constexpr size_t kChunkBytes = 1024;

    CaptionDownload(std::string uri, DoneCallback done);
    ~CaptionDownload();
    CaptionDownload(const CaptionDownload&) = delete;
    CaptionDownload& operator=(const CaptionDownload&) = delete;

    void start();
    void cancel();
    bool cancelled() const { return mCancel.load(); }
    bool finished() const { return mFinished.load(); }
    // The local path of the finished copy (empty before that, or when the copy failed).
    // Read after finished() is true, or from `done`.
    const std::string& localPath() const { return mLocalPath; }

    // The directory temporary copies go to ($TMPDIR, else /tmp).
    static std::string TempDirectory();

private:
    void run();
    // Copies the body into a new temporary file; the number of bytes written, or an error.
    ssize_t copyToTempFile(HttpDataSource* http, int64_t size);

    const std::string mUri;
    const DoneCallback mDone;
    std::thread mThread;
    std::atomic<bool> mCancel{false};
    std::atomic<bool> mFinished{false};
    std::string mLocalPath;  // written by the download thread before mFinished turns true

    Mutex mSourceLock;
    Ref<HttpDataSource> mSource;  // (mSourceLock) the connection while the copy runs
};

}  // namespace velmor
