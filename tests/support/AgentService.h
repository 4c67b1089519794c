// The reference player agent (apps/quorvantix-agent) as a child process of a test.
//
//   qvtest::AgentService agent(catalogueJson);           // media from qvtest::mediaDir()
//   ASSERT_TRUE(agent.ok());
//   player->setDataSource("demo", agent.hostPort().c_str());
//   agent.setCatalogue(otherJson);                         // the agent re-reads it on its next request
//   sqlite3_open_v2(agent.dbPath().c_str(), ...);          // the reports and bookmarks it stored
//
// The constructor makes a fresh temporary directory holding the catalogue and the database,
// starts the agent on the given media directory with --port 0 and waits (kStartTimeoutMs) for its
// "quorvantix-agent listening on HOST:PORT" line. The destructor (or stop()) sends SIGTERM,
// reaps the process (SIGKILL after kStopTimeoutMs) and removes the directory.
//
// Thread: create, stop and destroy it on one thread; the accessors may be called from any thread
// (they only read fields set by the constructor). setCatalogue() writes a new file and renames it
// over the old one, so the agent never reads half a catalogue.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <sqlite3.h>

#include "support/Media.h"

extern char** environ;

namespace qvtest {

class AgentService {
public:
    static constexpr int kStartTimeoutMs = 15000;
    static constexpr int kStopTimeoutMs = 10000;

    explicit AgentService(const std::string& catalogueJson, std::string mediaDir = qvtest::mediaDir())
        : mMediaDir(std::move(mediaDir)) {
        const char* tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/qv-agent-XXXXXX";
        std::vector<char> dir(pattern.begin(), pattern.end());
        dir.push_back('\0');
        if (mkdtemp(dir.data()) == nullptr) return;
        mDir = dir.data();
        mDbPath = mDir + "/agent.db";
        mCataloguePath = mDir + "/catalogue.json";
        setCatalogue(catalogueJson);
        start();
    }
    ~AgentService() {
        stop();
        if (!mDir.empty()) {
            for (const char* name : {"/agent.db", "/agent.db-journal", "/catalogue.json", "/catalogue.json.new"}) {
                unlink((mDir + name).c_str());
            }
            rmdir(mDir.c_str());
        }
    }
    AgentService(const AgentService&) = delete;
    AgentService& operator=(const AgentService&) = delete;

    // True once the agent said where it listens.
    bool ok() const { return !mHostPort.empty(); }
    // "127.0.0.1:PORT": the agent address the engine takes.
    const std::string& hostPort() const { return mHostPort; }
    // pathAndQuery starts with "/": url("/stream/open?path=demo").
    std::string url(const std::string& pathAndQuery) const { return "http://" + mHostPort + pathAndQuery; }
    const std::string& dbPath() const { return mDbPath; }
    const std::string& mediaDir() const { return mMediaDir; }

    // Replaces the catalogue file (see the class comment).
    void setCatalogue(const std::string& json) const {
        std::string next = mCataloguePath + ".new";
        FILE* f = fopen(next.c_str(), "wb");
        if (f == nullptr) return;
        fwrite(json.data(), 1, json.size(), f);
        fclose(f);
        rename(next.c_str(), mCataloguePath.c_str());
    }

    // SIGTERM, then waits for the exit; returns the exit status (-1 when it did not exit on its
    // own or was not running). Idempotent.
    int stop() {
        if (mPid <= 0) return mExitStatus;
        kill(mPid, SIGTERM);
        int status = 0;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStopTimeoutMs);
        while (waitpid(mPid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(mPid, SIGKILL);
                waitpid(mPid, &status, 0);
                mPid = -1;
                return mExitStatus;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        mPid = -1;
        if (WIFEXITED(status)) mExitStatus = WEXITSTATUS(status);
        return mExitStatus;
    }

private:
    void start() {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        std::vector<std::string> args = {QV_AGENT_PATH, "--media", mMediaDir, "--db", mDbPath,
                                         "--catalogue", mCataloguePath, "--port", "0"};
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        pid_t pid = -1;
        int rc = posix_spawn(&pid, QV_AGENT_PATH, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        if (rc != 0) {
            close(out[0]);
            return;
        }
        mPid = pid;
        mHostPort = readAddress(out[0]);
        close(out[0]);
    }

    // The HOST:PORT of the "listening on" line, or "" after kStartTimeoutMs or an early exit.
    static std::string readAddress(int fd) {
        static const std::string kMarker = "quorvantix-agent listening on ";
        std::string text;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
        while (text.find('\n') == std::string::npos) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p = {fd, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return "";
            char chunk[256];
            ssize_t n = read(fd, chunk, sizeof(chunk));
            if (n <= 0) return "";
            text.append(chunk, static_cast<size_t>(n));
        }
        size_t at = text.find(kMarker);
        if (at == std::string::npos) return "";
        return text.substr(at + kMarker.size(), text.find('\n', at) - at - kMarker.size());
    }

    const std::string mMediaDir;
    std::string mDir;
    std::string mDbPath;
    std::string mCataloguePath;
    std::string mHostPort;
    pid_t mPid = -1;
    int mExitStatus = -1;
};

// Rows of a query on the agent's database, opened read-only; columns joined with '|'.
inline std::vector<std::string> agentDbRows(const std::string& db, const char* sql) {
    std::vector<std::string> out;
    sqlite3* handle = nullptr;
    if (sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(handle, 5000);
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(handle, sql, -1, &statement, nullptr) == SQLITE_OK) {
            while (sqlite3_step(statement) == SQLITE_ROW) {
                std::string row;
                for (int i = 0; i < sqlite3_column_count(statement); ++i) {
                    const unsigned char* text = sqlite3_column_text(statement, i);
                    row += (i > 0 ? "|" : "") + std::string(text != nullptr ? reinterpret_cast<const char*>(text) : "");
                }
                out.push_back(row);
            }
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(handle);
    return out;
}

}  // namespace qvtest
