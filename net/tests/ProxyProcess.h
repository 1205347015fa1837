#pragma once
// Real SOCKS proxies for the tests: a private folder for their configuration, keys and logs, a
// proxy process started on a free loopback port and stopped by its process id, and an echo
// target behind them.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "EventSocketFixture.h"

extern char** environ;

// A folder of its own under the temporary folder, removed with everything in it.
class TPrivateFolder {
public:
    TPrivateFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "klang-proxy.XXXXXX").string();
        if (mkdtemp(pattern.data())) FPath = pattern;
    }
    ~TPrivateFolder() {
        std::error_code ignored;
        if (!FPath.empty()) std::filesystem::remove_all(FPath, ignored);
    }
    const std::string& Path() const { return FPath; }
    std::string File(const std::string& name) const { return FPath + "/" + name; }
    void Write(const std::string& name, const std::string& text) const { std::ofstream(File(name)) << text; }
    std::string Read(const std::string& name) const {
        std::ifstream in(File(name));
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    std::string FPath;
};

inline bool Executable(const std::string& path) { return access(path.c_str(), X_OK) == 0; }

// Starts args with no input and its output appended to Log, in a process group of its own (a
// proxy may fork workers); its process id, -1 when it did not start.
inline pid_t Spawn(const std::vector<std::string>& args, const std::string& log) {
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return spawned == 0 ? pid : -1;
}

// Runs a program to its end; its exit status, -1 when it did not start or end normally (one
// that has not ended after a minute is stopped).
inline int RunProgram(const std::vector<std::string>& args, const std::string& log) {
    const pid_t pid = Spawn(args, log);
    if (pid < 0) return -1;
    int status = 0;
    if (!WaitForChild(pid, 60000, &status)) {
        StopChild(pid, true);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// One proxy process, stopped with its workers when the test ends.
class TProxyProcess {
public:
    TProxyProcess() = default;
    TProxyProcess(const TProxyProcess&) = delete;
    TProxyProcess& operator=(const TProxyProcess&) = delete;
    ~TProxyProcess() { Stop(); }

    // Starts args with its output into Log and waits until Port takes connections; false (the
    // process stopped again) when it does not within five seconds.
    bool Start(const std::vector<std::string>& args, const std::string& log, USHORT port) {
        FProgram = args.empty() ? "" : args[0];
        FPid = Spawn(args, log);
        if (FPid < 0) return false;
        const DWORD start = GetTickCount();
        while (GetTickCount() - start < 5000) {
            const int probe = PosixPeer::Connect(port);
            if (probe >= 0) {
                PosixPeer::Close(probe);
                return true;
            }
            if (waitpid(FPid, nullptr, WNOHANG) == FPid) {
                FPid = -1;
                return false;
            }
            Sleep(20);
        }
        Stop();
        return false;
    }
    // A proxy that does not act on SIGTERM is killed after a few seconds: a fault of that
    // program, not of ours, so the test says so and goes on.
    void Stop() {
        if (FPid <= 0) return;
        if (!StopChild(FPid, true))
            std::fprintf(stderr, "note: %s (pid %d) did not end within %d ms of SIGTERM and was killed\n",
                         FProgram.c_str(), static_cast<int>(FPid), kChildGraceMs);
        FPid = -1;
    }

private:
    pid_t FPid = -1;
    std::string FProgram;
};

// A target behind the proxies: echoes every connection's bytes back until its end.
class TEchoTarget {
public:
    TEchoTarget() {
        FListener = PosixPeer::Listener(&FPort);
        FThread = CreateThread(nullptr, 0, Run, this, 0, nullptr);
    }
    ~TEchoTarget() {
        FStopping = true;
        const int wake = PosixPeer::Connect(FPort);
        WaitForSingleObject(FThread, 10000);
        CloseHandle(FThread);
        if (wake >= 0) PosixPeer::Close(wake);
        PosixPeer::Close(FListener);
    }
    USHORT Port() const { return FPort; }

private:
    static DWORD Run(LPVOID self) {
        auto* target = static_cast<TEchoTarget*>(self);
        for (;;) {
            const int peer = PosixPeer::Accept(target->FListener);
            if (peer < 0 || target->FStopping) {
                if (peer >= 0) PosixPeer::Close(peer);
                return 0;
            }
            char buffer[4096];
            long got;
            while ((got = PosixPeer::Read(peer, buffer, sizeof buffer)) > 0)
                PosixPeer::Write(peer, std::string(buffer, static_cast<std::size_t>(got)));
            PosixPeer::Close(peer);
        }
    }
    int FListener = -1;
    USHORT FPort = 0;
    HANDLE FThread = nullptr;
    std::atomic<bool> FStopping{false};
};
