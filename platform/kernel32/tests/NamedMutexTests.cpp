// Named mutexes: one lock per name for every process, and the namespace shared with events.
#include "ChildProcess.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace {

std::string BinFolder() {
    char path[4096];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string text(path, length);
    return text.substr(0, text.rfind('/'));
}

constexpr const char* kNamespaceVariable = "KLANG_OBJECT_NAMESPACE";

// This process's environment with the namespace of named objects set to space (nullptr: unset).
std::vector<std::string> EnvironmentIn(const char* space) {
    std::vector<std::string> variables;
    const std::string prefix = std::string(kNamespaceVariable) + "=";
    for (char** variable = environ; *variable; ++variable)
        if (std::string(*variable).rfind(prefix, 0) != 0)
            variables.emplace_back(*variable);
    if (space)
        variables.push_back(prefix + space);
    return variables;
}

// The helper program in a second process, spoken to through its standard input and output.
class Helper {
public:
    explicit Helper(std::vector<std::string> arguments) : Helper(std::move(arguments), {}) {}
    Helper(std::vector<std::string> arguments, std::vector<std::string> environment) {
        int toChild[2], fromChild[2];
        if (pipe(toChild) != 0 || pipe(fromChild) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
        posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
        posix_spawn_file_actions_addclose(&actions, toChild[1]);
        posix_spawn_file_actions_addclose(&actions, fromChild[0]);
        const std::string program = BinFolder() + "/k32-mutex-helper";
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (auto& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (auto& variable : environment)
            envp.push_back(variable.data());
        envp.push_back(nullptr);
        char** const childEnvironment = environment.empty() ? environ : envp.data();
        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), childEnvironment) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(toChild[0]);
        close(fromChild[1]);
        input_ = toChild[1];
        output_ = fdopen(fromChild[0], "r");
    }
    ~Helper() {
        if (input_ >= 0)
            close(input_);
        if (output_)
            fclose(output_);
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            WaitForChild(pid_, kChildGraceMs);
        }
    }
    bool Started() const { return pid_ > 0 && output_; }
    std::string ReadLine() {
        char line[256];
        if (!output_ || !fgets(line, sizeof line, output_))
            return "<no answer>";
        std::string text(line);
        if (!text.empty() && text.back() == '\n')
            text.pop_back();
        return text;
    }
    void Poke() { (void)!write(input_, "x", 1); }
    int ExitStatus() {
        int status = 0;
        const bool ended = AwaitChildOrKill(pid_, false, &status);
        reaped_ = true;
        EXPECT_TRUE(ended) << "the mutex helper did not end";
        return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    int input_ = -1;
    FILE* output_ = nullptr;
    bool reaped_ = false;
};

}  // namespace

TEST(Kernel32NamedMutex, SecondCreateOpensTheSameMutex) {
    const auto name = UniqueName("same");
    HANDLE first = CreateMutexA(nullptr, TRUE, name.c_str());
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    HANDLE second = CreateMutexA(nullptr, FALSE, name.c_str());
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    HANDLE opened = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name.c_str());
    ASSERT_NE(opened, nullptr);
    // The holder re-enters through any handle; the releases balance the holds.
    EXPECT_EQ(WaitForSingleObject(opened, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(second));
    EXPECT_TRUE(ReleaseMutex(first));
    EXPECT_FALSE(ReleaseMutex(first));
    CloseHandle(first);
    CloseHandle(second);
    CloseHandle(opened);
}

TEST(Kernel32NamedMutex, OpenOfMissingNameFails) {
    const auto name = UniqueName("missing");
    EXPECT_EQ(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    // Once the last handle closes, the name is gone again.
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
    CloseHandle(mutex);
    EXPECT_EQ(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name.c_str()), nullptr);
}

TEST(Kernel32NamedMutex, NamesDifferingOnlyInEscapedCharactersAreDistinct) {
    const auto stem = UniqueName("esc");
    HANDLE slash = CreateMutexA(nullptr, TRUE, (stem + "/a").c_str());
    HANDLE percent = CreateMutexA(nullptr, FALSE, (stem + "%2Fa").c_str());
    ASSERT_NE(slash, nullptr);
    ASSERT_NE(percent, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS) << "two names must not share one record";
    CloseHandle(percent);
    ReleaseMutex(slash);
    CloseHandle(slash);
}

TEST(Kernel32NamedMutex, NameHeldByEventRefusesMutex) {
    const auto stem = UniqueName("kind");
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, (stem + "0").c_str());
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, (stem + "0").c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, (stem + "0").c_str()), nullptr);
    // Stepping on to the next name, as the audio engine does, finds a mutex.
    HANDLE mutex = CreateMutexA(nullptr, FALSE, (stem + "1").c_str());
    EXPECT_NE(mutex, nullptr);
    // And the other way round: a mutex's name refuses an event.
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, (stem + "1").c_str()), nullptr);
    CloseHandle(mutex);
    CloseHandle(event);
}

TEST(Kernel32NamedMutex, NameHeldByEventOfAnotherProcessRefusesMutex) {
    const auto name = UniqueName("xkind");
    Helper helper({"event", name});
    ASSERT_TRUE(helper.Started());
    ASSERT_EQ(helper.ReadLine(), "ready");
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    helper.Poke();
    EXPECT_EQ(helper.ExitStatus(), 0);
    // With the event's process gone the name is free for a mutex.
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
    EXPECT_NE(mutex, nullptr);
    CloseHandle(mutex);
}

TEST(Kernel32NamedMutex, OneLockAcrossProcesses) {
    const auto name = UniqueName("shared");
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
    ASSERT_NE(mutex, nullptr);
    Helper helper({"hold", name});
    ASSERT_TRUE(helper.Started());
    ASSERT_EQ(helper.ReadLine(), "locked");

    DWORD result = 0;
    const DWORD took = ElapsedMs([&] { result = WaitForSingleObject(mutex, 250); });
    EXPECT_EQ(result, WAIT_TIMEOUT);
    EXPECT_GE(took, 245u);
    EXPECT_LT(took, kHangMs) << "the 250 ms wait hung";

    helper.Poke();
    EXPECT_EQ(helper.ReadLine(), "released");
    EXPECT_EQ(WaitForSingleObject(mutex, 2000), WAIT_OBJECT_0);
    helper.Poke();
    EXPECT_EQ(helper.ExitStatus(), 0);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
}

TEST(Kernel32NamedMutex, HolderInThisProcessBlocksOtherProcess) {
    const auto name = UniqueName("blocks");
    HANDLE mutex = CreateMutexA(nullptr, TRUE, name.c_str());
    ASSERT_NE(mutex, nullptr);
    {
        Helper helper({"try", name, "100"});
        ASSERT_TRUE(helper.Started());
        EXPECT_EQ(helper.ReadLine(), std::to_string(WAIT_TIMEOUT));
        helper.ExitStatus();
    }
    ReleaseMutex(mutex);
    Helper helper({"try", name, "2000"});
    ASSERT_TRUE(helper.Started());
    EXPECT_EQ(helper.ReadLine(), std::to_string(WAIT_OBJECT_0));
    helper.ExitStatus();
    CloseHandle(mutex);
}

TEST(Kernel32NamedMutex, AbandonedByEndedProcess) {
    const auto name = UniqueName("procdeath");
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
    ASSERT_NE(mutex, nullptr);
    Helper helper({"die", name});
    ASSERT_TRUE(helper.Started());
    ASSERT_EQ(helper.ReadLine(), "locked");
    EXPECT_EQ(helper.ExitStatus(), 3);
    EXPECT_EQ(WaitForSingleObject(mutex, 2000), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
}

TEST(Kernel32NamedMutex, AbandonedByEndedThreadWhileOtherWaits) {
    const auto name = UniqueName("thrdeath");
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
    struct Holder {
        HANDLE mutex;
        HANDLE taken;
        HANDLE finish;
    } holder{mutex, CreateEventA(nullptr, TRUE, FALSE, nullptr), CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            auto* h = static_cast<Holder*>(p);
            WaitForSingleObject(h->mutex, INFINITE);
            SetEvent(h->taken);
            WaitForSingleObject(h->finish, INFINITE);
            return 0;  // ends without ReleaseMutex
        },
        &holder, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(holder.taken, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(mutex, 50), WAIT_TIMEOUT);
    SetEvent(holder.finish);
    EXPECT_EQ(WaitForSingleObject(mutex, 5000), WAIT_ABANDONED);  // the waiter is let in
    ReleaseMutex(mutex);
    WaitForSingleObject(thread, 5000);
    CloseHandle(thread);
    CloseHandle(holder.taken);
    CloseHandle(holder.finish);
    CloseHandle(mutex);
}

TEST(Kernel32NamedMutex, ThreadsOfOneProcessShareTheNamedLock) {
    const auto name = UniqueName("threads");
    struct Shared {
        std::string name;
        long counter = 0;
    } shared{name};
    const auto work = [](LPVOID p) -> DWORD {
        auto* s = static_cast<Shared*>(p);
        HANDLE mutex = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, s->name.c_str());
        for (int i = 0; i < 2000; ++i) {
            if (WaitForSingleObject(mutex, INFINITE) != WAIT_OBJECT_0)
                return 1;
            const long value = s->counter;
            s->counter = value + 1;
            ReleaseMutex(mutex);
        }
        CloseHandle(mutex);
        return 0;
    };
    HANDLE keeper = CreateMutexA(nullptr, FALSE, name.c_str());
    HANDLE threads[4];
    for (auto& thread : threads)
        thread = CreateThread(nullptr, 0, work, &shared, 0, nullptr);
    for (auto& thread : threads) {
        ASSERT_EQ(WaitForSingleObject(thread, 30000), WAIT_OBJECT_0);
        DWORD code = 9;
        GetExitCodeThread(thread, &code);
        EXPECT_EQ(code, 0u);
        CloseHandle(thread);
    }
    EXPECT_EQ(shared.counter, 8000);
    CloseHandle(keeper);
}

// Names live in the session namespace unless they begin with "Global\": two processes meet on a
// name only in one namespace (by default the user's), "Local\" is the session's own prefix.
TEST(Kernel32NamedMutex, NamespacesKeepNamesApart) {
    const std::string a = "k32test-space-a-" + std::to_string(getpid());
    const std::string b = "k32test-space-b-" + std::to_string(getpid());
    struct Case {
        const char* holderSpace;
        std::string holderName;
        const char* tryerSpace;
        std::string tryerName;
        DWORD expected;
    };
    const std::string name = UniqueName("space");
    const Case cases[] = {
        {a.c_str(), name, a.c_str(), name, WAIT_TIMEOUT},
        {a.c_str(), name, b.c_str(), name, WAIT_OBJECT_0},
        {a.c_str(), "Global\\" + name, b.c_str(), "Global\\" + name, WAIT_TIMEOUT},
        {a.c_str(), "Global\\" + name, a.c_str(), name, WAIT_OBJECT_0},
        {a.c_str(), "Local\\" + name, a.c_str(), name, WAIT_TIMEOUT},
        {nullptr, name, nullptr, name, WAIT_TIMEOUT},
        {nullptr, name, a.c_str(), name, WAIT_OBJECT_0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.holderSpace ? c.holderSpace : "(default)") + " " + c.holderName + " / " +
                     (c.tryerSpace ? c.tryerSpace : "(default)") + " " + c.tryerName);
        Helper holder({"hold", c.holderName}, EnvironmentIn(c.holderSpace));
        ASSERT_TRUE(holder.Started());
        ASSERT_EQ(holder.ReadLine(), "locked");
        Helper tryer({"try", c.tryerName, "100"}, EnvironmentIn(c.tryerSpace));
        ASSERT_TRUE(tryer.Started());
        EXPECT_EQ(tryer.ReadLine(), std::to_string(c.expected));
        tryer.ExitStatus();
        holder.Poke();
        EXPECT_EQ(holder.ReadLine(), "released");
        holder.Poke();
        EXPECT_EQ(holder.ExitStatus(), 0);
    }
}

struct ScriptCase {
    const char *script, *expected;
};

// Each script runs as root on a store of its own (the working folder), in a mount and PID namespace that ends with
// it, processes, mounts and all, and switches users with setpriv; the time-out is only a watchdog. As the store is
// the script's alone, users' own namespaces serve.
void ExpectScripts(const std::vector<ScriptCase>& cases) {
    const std::string enter = "unshare --mount --pid --fork --mount-proc --kill-child ";
    const std::string helper = "\"" + BinFolder() + "/k32-mutex-helper\"";
    if (geteuid() != 0 || std::system((enter + "setpriv --reuid=1001 test -x " + helper + " 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "needs root, unshare and setpriv, and a helper that other users may run";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        const std::string script = "mount -t tmpfs -o size=1m none /dev/shm && cd /dev/shm || exit\nas() { u=$1; shift;"
                                   " $IN setpriv --reuid=$u --regid=$u --clear-groups " + helper + " \"$@\"; }\n" + c.script;
        const std::string run = "{ s=$(cat); timeout -k 5 120 " + enter +
                                "env -u KLANG_OBJECT_NAMESPACE -u XDG_RUNTIME_DIR bash -c \"$s\"";
        FILE* output = popen((run + " 2>&1; } <<'END'\n" + script + "\nEND").c_str(), "r");
        ASSERT_NE(output, nullptr);
        std::string text;
        for (int got; (got = std::fgetc(output)) != EOF;)
            text += static_cast<char>(got);
        pclose(output);
        EXPECT_EQ(text, c.expected);
    }
}

// Other users, planted files, a full or read-only store and other PID namespaces.
TEST(Kernel32NamedMutex, OtherUsersAndStoresAreKeptOut) {
    ExpectScripts({
        {"as 0 try n 0; for i in 1 2 3; do as 1001 race n$i 12; done", "0\nceeeeeeeeeee 1\nceeeeeeeeeee 1\nceeeeeeeeeee 1\n"},
        {"coproc setpriv --reuid=1001 --regid=1001 --clear-groups bash -c 'umask 0; mkdir /dev/shm/klang32-u1000;"
         " : >/dev/shm/klang32-namespace; exec 8</dev/shm/klang32-namespace 9</dev/shm/klang32-u1000;"
         " flock 8 && flock 9 && echo held && exec sleep 600'\nread -r l <&${COPROC[0]}; echo $l; as 1000 try n 0",
         "held\n0\n"},
        {"coproc as 1001 hold 'Global\\h'\nread -r l <&${COPROC[0]}; echo $l; umask 0\n"
         ": >/dev/shm/klang32-suser-1000.DSMCUpd0; head -c 4096 /dev/zero | tr '\\0' '\\377' >/dev/shm/klang32-g.c\n"
         "as 1000 try DSMCUpd0 0; : >/dev/shm/klang32-u1000/suser-1000.p; as 1000 try p 0\n"
         "as 1000 try 'Global\\h' 0; as 1000 try 'Global\\c' 0",
         "locked\n0\nrefused 5\nrefused 5\nrefused 5\n"},
        {"cat /dev/zero >/dev/shm/fill 2>/dev/null; as 1000 try f 0; as 1000 try g 0\n"
         "rm /dev/shm/fill; mount -o remount,ro /dev/shm; as 1000 try r 0",
         "refused 8\nrefused 8\nrefused 5\n"},
        {"coproc as 1000 hold n\nread -r l <&${COPROC[0]}; echo $l; IN='unshare --pid --fork' as 1000 try n 0",
         "locked\n258\n"},
        {"(IN=exec as 1000 die n) & p=$!; wait $p; echo $((p - 1)) >/proc/sys/kernel/ns_last_pid\n"
         "sleep 600 & [ $! = $p ] || echo no reuse; as 1000 try n 0",
         "locked\n0\n"},
    });
}

// The user's names live in a runtime folder of the user's alone, where nobody else can take them; the store, which
// another user can fill first, is the fallback, and orders "Global\" names for every process of the user. A runtime
// folder that is a link, somebody else's or open to others is left untouched.
TEST(Kernel32NamedMutex, NamesLiveInTheUsersRuntimeFolder) {
    ExpectScripts({
        {"setpriv --reuid=1001 --regid=1001 --clear-groups mkdir -m 777 klang32-u1000 klang32-u1000.{1..7}\n"
         "mkdir -m 700 r0 r1 r2; chown 1000 r0 r2; chown 1001 r1; chmod 750 r2; ln -s r0 rl\n"
         "coproc XDG_RUNTIME_DIR=/dev/shm/r0 as 1000 hold n\nread -r l <&${COPROC[0]}; echo $l\n"
         "for d in r0 r1 r2 rl ''; do XDG_RUNTIME_DIR=/dev/shm/$d as 1000 try n 0; done; XDG_RUNTIME_DIR=/dev/shm/r1"
         " as 0 try n 0; XDG_RUNTIME_DIR=/dev/shm/r0 as 1000 try 'Global\\g' 0; find r1 r2 -mindepth 1",
         "locked\n258\nrefused 5\nrefused 5\nrefused 5\nrefused 5\n0\nrefused 5\n"},
        {"mkdir -m 700 r0 r3; chown 1000 r0 r3\ncoproc XDG_RUNTIME_DIR=/dev/shm/r0 as 1000 hold 'Global\\g'\n"
         "read -r l <&${COPROC[0]}; echo $l; XDG_RUNTIME_DIR=/dev/shm/r3 as 1000 try 'Global\\g' 0; as 1000 try 'Global\\g' 0",
         "locked\n258\n258\n"},
    });
}

// A child forked without exec has handles of its own, as a copied handle table would: its relatives exclude it, its
// CloseHandle ends only its own use, it holds no mutex of its parent's, and its parent's death frees the folders
// (for a call from three threads, killed at once). A folder lock that another keeps fails a call in bounded time.
TEST(Kernel32NamedMutex, ForkedChildrenHaveHandlesOfTheirOwn) {
    ExpectScripts({
        {"as 1000 race n 12 w; as 1000 race m 12 w", "ceeeeeeeeeee 1\nceeeeeeeeeee 1\n"},
        {"coproc as 1000 fork n\nread -r l <&${COPROC[0]}; echo $l; read -r l <&${COPROC[0]}; echo $l; as 1000 try n 0",
         "258 288\nlocked\n258\n"},
        {"coproc as 1000 busy b\nread -r l <&${COPROC[0]}; echo $l; echo >&${COPROC[1]}; IN='timeout 30' as 1000 try b 0",
         "busy\n0\n"},
        {"as 1000 try x 0; coproc setpriv --reuid=1000 --regid=1000 --clear-groups bash -c 'exec 9<klang32-u1000; flock 9"
         " && echo held && exec sleep 600'\nread -r l <&${COPROC[0]}; echo $l; IN='timeout 30' as 1000 try n 0",
         "0\nheld\nrefused 1460\n"},
    });
}

// Threads of two PID namespaces may have one number, as the main processes of two containers do: here both are PID 1.
TEST(Kernel32NamedMutex, OwnersAreToldApartAcrossPidNamespaces) {
    ExpectScripts({
        {"IN='unshare --pid --fork'; mkfifo f\ncoproc as 1000 die n w\nread -r l <&${COPROC[0]}; echo $l; as 1000 try n 0"
         " 500\n(as 1000 try n 0 -1 >f &); exec 7<f; read -r l <&7; echo $l; echo >&${COPROC[1]}; read -r l <&7; echo $l",
         "locked\n258\n258\n258\n128\n"},
    });
}
