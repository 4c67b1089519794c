// A real live HLS source for the tests: the ffmpeg command reading testsrc2 + sine in real time
// (-re) and writing a sliding-window live playlist (no end tag; old segments leave the window and
// are deleted from disk) into a fresh folder live/<unique>/ under the media folder, which the
// test services' nginx serves. Started in the constructor; the destructor kills and reaps ffmpeg
// and removes the folder.
//
//     qvtest::LiveHls live;                        // 1 s segments, a window of 5
//     ASSERT_TRUE(live.waitForSequence(3, 30000));  // segment 3 is listed (and saved)
//     open(live.url());                            // http://127.0.0.1:PORT/live/<id>/index.m3u8
//     std::vector<uint8_t> bytes = live.segmentBytes(3);  // what ffmpeg wrote as segment 3
//
// Segment N (N = media sequence number) is the file seg_NNNNN.ts. Because ffmpeg deletes segments
// soon after they leave the window, a copier thread polls the playlist every kPollMs and, as soon
// as a segment is listed (complete by then: ffmpeg lists a segment only after closing it, and
// writes under a temporary name first), hard-links it into saved/ (copying when a link fails).
// segmentBytes(N) reads that saved copy, which stays until the destructor, so a test can compare
// what the engine got with what was produced long after the window moved on. A segment is kept
// on disk at least one segment duration after it leaves the window, so the 50 ms poll cannot miss
// one.
//
// Threads: create, stop() and destroy it on the test's main thread (the child dies with the thread
// that started it, PR_SET_PDEATHSIG, like FaultServer). The other methods may be called from any
// thread; mLock guards what the copier thread found.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/Media.h"
#include "support/Nginx.h"

namespace qvtest {

struct LiveHlsOptions {
    int segmentSeconds = 1;       // -hls_time; one key frame a second, so 1 s and up work
    int listSize = 5;             // segments in the window
    bool deleteSegments = true;   // ffmpeg removes segments that left the window
    bool programDateTime = false; // #EXT-X-PROGRAM-DATE-TIME on every segment
    int64_t startNumber = 0;      // media sequence of the first segment
    std::string size = "320x180";
    int videoKbps = 300;
    int toneHz = 440;
};

class LiveHls {
public:
    static constexpr int kPollMs = 50;
    static constexpr int kTermGraceMs = 3000;
    static constexpr int kFps = 25;

    // A window of the live playlist as the copier last read it.
    struct Window {
        int64_t firstSequence = -1;  // EXT-X-MEDIA-SEQUENCE (-1 before the first playlist)
        size_t count = 0;            // segments listed
        bool ended = false;          // an #EXT-X-ENDLIST was written (ffmpeg stopped cleanly)
    };

    explicit LiveHls(LiveHlsOptions options = {}) : mOptions(std::move(options)) { start(); }
    ~LiveHls() {
        stop();
        std::error_code ignored;
        if (!mFolder.empty()) std::filesystem::remove_all(mFolder, ignored);
    }
    LiveHls(const LiveHls&) = delete;
    LiveHls& operator=(const LiveHls&) = delete;

    // True while ffmpeg was started and has not been stopped.
    bool running() const { return mPid > 0; }
    // "live/<id>" under the media folder, and its absolute path.
    const std::string& name() const { return mName; }
    const std::string& folder() const { return mFolder; }
    // The playlist and a segment through nginx.
    std::string url() const { return nginxUrl(mName + "/index.m3u8"); }
    std::string segmentUrl(int64_t sequence) const { return nginxUrl(mName + "/" + segmentName(sequence)); }
    static std::string segmentName(int64_t sequence) {
        char name[32];
        snprintf(name, sizeof(name), "seg_%05lld.ts", static_cast<long long>(sequence));
        return name;
    }

    Window window() const {
        std::lock_guard<std::mutex> lock(mLock);
        return mWindow;
    }
    // The playlist's text as last read from disk.
    std::string playlistText() const {
        std::lock_guard<std::mutex> lock(mLock);
        return mPlaylistText;
    }

    // Waits until the window lists at least `count` segments at once.
    bool waitForSegments(size_t count, int timeoutMs) {
        std::unique_lock<std::mutex> lock(mLock);
        return mChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [&] { return mWindow.count >= count || mCopierDone; }) &&
               mWindow.count >= count;
    }
    // Waits until segment `sequence` has been listed and saved.
    bool waitForSequence(int64_t sequence, int timeoutMs) {
        std::unique_lock<std::mutex> lock(mLock);
        return mChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [&] { return mSaved.count(sequence) > 0 || mCopierDone; }) &&
               mSaved.count(sequence) > 0;
    }
    // The bytes ffmpeg wrote for segment `sequence` (empty when it was never listed).
    std::vector<uint8_t> segmentBytes(int64_t sequence) const {
        std::string path;
        {
            std::lock_guard<std::mutex> lock(mLock);
            auto it = mSaved.find(sequence);
            if (it == mSaved.end()) return {};
            path = it->second;
        }
        return readWholeFile(path);
    }
    // What ffmpeg printed (errors only), for failure messages.
    std::string log() const {
        std::vector<uint8_t> bytes = readWholeFile(mFolder + "/ffmpeg.log");
        return std::string(bytes.begin(), bytes.end());
    }

    // Ends the source now (SIGTERM: ffmpeg closes the playlist with an end tag), then SIGKILL
    // after a grace period. Saved segments stay readable.
    void stop() {
        if (pid_t pid = mPid; pid > 0) {
            kill(pid, SIGTERM);
            auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kTermGraceMs);
            bool reaped = false;
            while (!reaped && std::chrono::steady_clock::now() < deadline) {
                pid_t done = waitpid(pid, nullptr, WNOHANG);
                if (done == pid || (done < 0 && errno != EINTR)) {
                    reaped = true;
                } else {
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
            }
            if (!reaped) {
                kill(pid, SIGKILL);
                while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
                }
            }
            mPid = -1;
        }
        if (mCopier.joinable()) {
            mStop = true;
            mCopier.join();
            scan();  // the last playlist ffmpeg wrote (with its end tag) and its last segment
        }
        {
            std::lock_guard<std::mutex> lock(mLock);
            mCopierDone = true;
        }
        mChanged.notify_all();
    }

private:
    void start() {
        static std::atomic<int> sCounter{0};
        mName = "live/" + std::to_string(getpid()) + "-" + std::to_string(sCounter++) + "-" +
                std::to_string(std::chrono::steady_clock::now().time_since_epoch().count() % 1000000);
        mFolder = mediaDir() + "/" + mName;
        std::error_code error;
        std::filesystem::create_directories(mFolder + "/saved", error);
        if (error) {
            ADD_FAILURE() << "live HLS: cannot make " << mFolder << ": " << error.message();
            mFolder.clear();
            return;
        }

        const LiveHlsOptions& o = mOptions;
        std::string flags = "temp_file";
        if (o.deleteSegments) flags += "+delete_segments";
        if (o.programDateTime) flags += "+program_date_time";
        std::string gop = std::to_string(kFps);
        // Everything the child needs is built before fork: between fork and exec only
        // async-signal-safe calls run (the test process has other threads).
        std::string ffmpeg = findProgram("ffmpeg");
        std::vector<std::string> args = {
            ffmpeg, "-hide_banner", "-nostdin", "-loglevel", "error",
            "-re", "-f", "lavfi", "-i", "testsrc2=size=" + o.size + ":rate=" + gop,
            "-re", "-f", "lavfi", "-i", "sine=frequency=" + std::to_string(o.toneHz) + ":sample_rate=44100",
            "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p",
            "-b:v", std::to_string(o.videoKbps) + "k", "-g", gop, "-keyint_min", gop, "-sc_threshold", "0",
            "-c:a", "aac", "-b:a", "64k", "-ac", "2",
            "-f", "hls", "-hls_time", std::to_string(o.segmentSeconds),
            "-hls_list_size", std::to_string(o.listSize), "-hls_flags", flags,
            "-start_number", std::to_string(o.startNumber),
            "-hls_segment_filename", mFolder + "/seg_%05d.ts", mFolder + "/index.m3u8"};
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::string logPath = mFolder + "/ffmpeg.log";

        int logFd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        pid_t parent = getpid();
        pid_t child = fork();
        if (child < 0) {
            ADD_FAILURE() << "live HLS: fork failed: " << strerror(errno);
            if (logFd >= 0) close(logFd);
            return;
        }
        if (child == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) _exit(127);
            if (logFd >= 0) {
                dup2(logFd, STDOUT_FILENO);
                dup2(logFd, STDERR_FILENO);
            }
            close_range(3, ~0U, 0);
            execve(ffmpeg.c_str(), argv.data(), ::environ);
            _exit(127);
        }
        mPid = child;
        if (logFd >= 0) close(logFd);
        mCopier = std::thread([this] { copierLoop(); });
    }

    static std::string findProgram(const char* program) {
        const char* path = getenv("PATH");
        std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
        size_t at = 0;
        while (at <= dirs.size()) {
            size_t end = dirs.find(':', at);
            if (end == std::string::npos) end = dirs.size();
            std::string candidate = (end > at ? dirs.substr(at, end - at) : ".") + "/" + program;
            if (access(candidate.c_str(), X_OK) == 0) return candidate;
            at = end + 1;
        }
        return std::string("/usr/bin/") + program;
    }

    // Copier thread: reads the playlist and saves every newly listed segment.
    void copierLoop() {
        while (!mStop) {
            scan();
            std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
        }
    }

    void scan() {
        std::vector<uint8_t> bytes = readWholeFile(mFolder + "/index.m3u8");
        if (bytes.empty()) return;
        std::string text(bytes.begin(), bytes.end());
        Window window;
        std::vector<std::string> names;
        std::istringstream lines(text);
        std::string line;
        while (std::getline(lines, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            static const std::string kSequenceTag = "#EXT-X-MEDIA-SEQUENCE:";
            if (line.compare(0, kSequenceTag.size(), kSequenceTag) == 0) {
                window.firstSequence = std::atoll(line.c_str() + kSequenceTag.size());
            } else if (line == "#EXT-X-ENDLIST") {
                window.ended = true;
            } else if (!line.empty() && line[0] != '#') {
                names.push_back(line);
            }
        }
        window.count = names.size();
        if (window.firstSequence < 0) window.firstSequence = 0;

        std::map<int64_t, std::string> added;
        for (size_t i = 0; i < names.size(); ++i) {
            int64_t sequence = window.firstSequence + static_cast<int64_t>(i);
            {
                std::lock_guard<std::mutex> lock(mLock);
                if (mSaved.count(sequence) > 0) continue;
            }
            std::string from = mFolder + "/" + names[i];
            std::string to = mFolder + "/saved/" + names[i];
            if (link(from.c_str(), to.c_str()) == 0 || errno == EEXIST) {
                added[sequence] = to;
                continue;
            }
            std::error_code error;
            if (std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, error)) {
                added[sequence] = to;
            }
        }
        {
            std::lock_guard<std::mutex> lock(mLock);
            mWindow = window;
            mPlaylistText = text;
            mSaved.insert(added.begin(), added.end());
        }
        mChanged.notify_all();
    }

    const LiveHlsOptions mOptions;
    std::string mName;    // set in the constructor
    std::string mFolder;  // set in the constructor
    std::atomic<pid_t> mPid{-1};  // written by the main thread, read by any
    std::thread mCopier;  // main thread starts and joins it
    std::atomic<bool> mStop{false};

    mutable std::mutex mLock;
    std::condition_variable mChanged;       // signalled after every poll
    Window mWindow;                         // guarded by mLock
    std::string mPlaylistText;              // guarded by mLock
    std::map<int64_t, std::string> mSaved;  // guarded by mLock: sequence -> saved copy
    bool mCopierDone = false;               // guarded by mLock
};

}  // namespace qvtest
