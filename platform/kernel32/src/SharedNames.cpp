#include "SharedNames.h"

#include "KernelObjects.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <new>
#include <string_view>
#include <poll.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <utility>
#include <time.h>
#include <unistd.h>

namespace k32 {
namespace {

constexpr DWORD kErrorFilenameTooLong = 206;
constexpr std::size_t kMaxEscapedName = 240;
constexpr std::uint32_t kRecordComplete = 0x4e32334b;
constexpr const char* kStore = "/dev/shm";
constexpr const char* kGlobalPrefix = "klang32-g.";
constexpr const char* kRuntimeSubfolder = "klang32";
// The user's folder in the store has a name of its own and a few to fall back on, so that
// somebody else's folder under that name does not lock the user out at once; a user who makes
// all of them first still does, which is why the store is only the fallback.
constexpr int kFolderChoices = 8;
// How long a call waits for a folder lock that another process keeps (they keep it for a few
// system calls), and how long a fork waits for the child to take up its names.
constexpr auto kLockPatience = std::chrono::seconds(5);
constexpr int kForkPatienceMs = 2000;

struct LocalName {
    SharedNameRecord* record = nullptr;
    int file = -1;  // carries this process's use of the record
    bool inherited = false;  // a forked child could not open its own: the use is not its alone
    int holds = 0;
    std::weak_ptr<KernelObject> object;
};

// This process's hold on one of the folder locks: the user's own names' or "Global\" names'.
struct FolderHold {
    int depth = 0;
    DWORD error = ERROR_SUCCESS;  // of the outermost NamespaceLock
    bool swept = false;
    bool forForkedChild = false;  // held from before a fork until the child has its names
};

struct Namespace {
    // Not recursive by itself: a forked child must be able to unlock what its parent's copy
    // locked before the fork, which a recursive mutex only lets its owning thread (by number) do.
    std::mutex lock;
    std::atomic<std::thread::id> holder{};  // set only by the holding thread
    int depth = 0;
    int store = -1;   // "Global\" records
    int shared = -1;  // the user's folder in the store: the lock of "Global\" names
    int own = -1;     // the user's own records and their lock: in the runtime folder, or shared
    FolderHold session, global;
    int forkSignal[2] = {-1, -1};  // the forked child says here that its names are its own
    std::map<std::string, LocalName> names;
};

Namespace& TheNamespace() {
    static auto* space = new Namespace;
    return *space;
}

void EnterProcess(Namespace& space) {
    const auto self = std::this_thread::get_id();
    if (space.holder.load(std::memory_order_relaxed) == self) {
        ++space.depth;
        return;
    }
    space.lock.lock();
    space.holder.store(self, std::memory_order_relaxed);
    space.depth = 1;
}

void LeaveProcess(Namespace& space) {
    if (--space.depth > 0)
        return;
    space.holder.store({}, std::memory_order_relaxed);
    space.lock.unlock();
}

DWORD ErrorOf(int error) {
    switch (error) {
    case ENAMETOOLONG:
        return kErrorFilenameTooLong;
    case ENOSPC:
    case EDQUOT:
    case ENOMEM:
    case EMFILE:
    case ENFILE:
        return ERROR_NOT_ENOUGH_MEMORY;
    case ETIMEDOUT:
        return ERROR_TIMEOUT;
    default:
        return ERROR_ACCESS_DENIED;  // somebody else's, a read-only store, a planted link
    }
}

void AppendEscaped(std::string& result, const std::string& text) {
    for (const unsigned char c : text) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-') {
            result += static_cast<char>(c);
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            result += escaped;
        }
    }
}

// The session namespace of this process: the one KLANG_OBJECT_NAMESPACE names, else the
// user's own, so the programs one user runs share their names and nobody else's.
const std::string& SessionNamespace() {
    static const std::string space = [] {
        const char* chosen = std::getenv("KLANG_OBJECT_NAMESPACE");
        if (chosen && *chosen) return std::string(chosen);
        return "user-" + std::to_string(getuid());
    }();
    return space;
}

constexpr std::string_view kGlobalName = "Global\\";

// The record's file as the namespace sees the name: "Global\" names in the store, where the
// user's sessions meet and other users are refused, "Local\" and plain names in the user's
// folder. Injective ('.' is always escaped), so two names never share a record.
std::string RecordFile(const std::string& name) {
    static const std::string local = "Local\\";
    std::string result;
    if (IsGlobalName(name)) {
        result = kGlobalPrefix;
        AppendEscaped(result, name.substr(kGlobalName.size()));
        return result;
    }
    result = "s";
    AppendEscaped(result, SessionNamespace());
    result += ".";
    AppendEscaped(result, name.rfind(local, 0) == 0 ? name.substr(local.size()) : name);
    return result;
}

bool IsGlobalFile(const std::string& file) { return file.rfind(kGlobalPrefix, 0) == 0; }

int FolderOf(const Namespace& space, const std::string& file) {
    return IsGlobalFile(file) ? space.store : space.own;
}

int LockFolderOf(const Namespace& space, bool global) { return global ? space.shared : space.own; }

FolderHold& HoldOf(Namespace& space, bool global) { return global ? space.global : space.session; }

std::string FolderName(int choice) {
    const std::string name = "klang32-u" + std::to_string(geteuid());
    return choice == 0 ? name : name + "." + std::to_string(choice);
}

// The folder of that name if it is the user's: no link, nobody else owns it or may look into it.
int OpenOwnFolder(int at, const char* name) {
    const int fd = openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat status {};
    if (fd >= 0 && fstat(fd, &status) == 0 && status.st_uid == geteuid() && (status.st_mode & 077) == 0)
        return fd;
    if (fd >= 0) {
        close(fd);
        errno = EACCES;
    }
    return -1;
}

// Every process of the user comes to the same folder: the first of the names that is the
// user's already, else the first that can be made. Nobody else can remove ours from the
// sticky store, so once made it stays the one. -1 with errno when there is none.
int UserFolder(int store) {
    for (int choice = 0; choice < kFolderChoices; ++choice)
        if (const int fd = OpenOwnFolder(store, FolderName(choice).c_str()); fd >= 0)
            return fd;
    for (int choice = 0; choice < kFolderChoices; ++choice) {
        const std::string name = FolderName(choice);
        if (mkdirat(store, name.c_str(), 0700) != 0 && errno != EEXIST)
            return -1;
        if (const int fd = OpenOwnFolder(store, name.c_str()); fd >= 0)
            return fd;
    }
    errno = EACCES;
    return -1;
}

// The user's runtime folder ($XDG_RUNTIME_DIR) when it is the user's alone: a folder, not a
// link, owned by the user, mode 0700. Nobody else can make anything in it, so our names there
// cannot be blocked. One of somebody else's (su keeps the previous user's) is not touched.
int RuntimeFolder() {
    const char* path = std::getenv("XDG_RUNTIME_DIR");
    if (!path || path[0] != '/')
        return -1;
    const int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat status {};
    if (fd >= 0 && fstat(fd, &status) == 0 && status.st_uid == geteuid() && (status.st_mode & 0777) == 0700)
        return fd;
    if (fd >= 0)
        close(fd);
    return -1;
}

// 0, or the errno that keeps the folder of the user's names in the store from being opened.
int OpenShared(Namespace& space) {
    if (space.store < 0)
        space.store = open(kStore, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (space.store >= 0 && space.shared < 0)
        space.shared = UserFolder(space.store);
    return space.shared >= 0 ? 0 : errno;
}

// 0, or the errno that keeps the folders of these names from being opened. The user's own
// names go to the runtime folder when there is one, else to the user's folder in the store;
// "Global\" names are in the store, under the lock of the user's folder there, which every
// process of the user finds whatever its runtime folder.
int OpenFolders(Namespace& space, bool global) {
    if (global || space.own >= 0)
        return global ? OpenShared(space) : 0;
    if (const int runtime = RuntimeFolder(); runtime >= 0) {
        int failure = 0;
        if (mkdirat(runtime, kRuntimeSubfolder, 0700) != 0 && errno != EEXIST)
            failure = errno;
        else if ((space.own = OpenOwnFolder(runtime, kRuntimeSubfolder)) < 0)
            failure = errno;
        close(runtime);
        return failure;
    }
    if (const int failure = OpenShared(space); failure != 0)
        return failure;
    space.own = space.shared;
    return 0;
}

// 0 once the lock is had, else the errno; ETIMEDOUT when another process keeps it for longer
// than any name call takes. flock cannot give up by itself, so the wait is looked at in steps.
int LockFolder(int folder) {
    const auto deadline = Clock::now() + kLockPatience;
    long pause = 20'000;
    for (;;) {
        if (flock(folder, LOCK_EX | LOCK_NB) == 0)
            return 0;
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK)
            return errno;
        if (Clock::now() >= deadline)
            return ETIMEDOUT;
        const timespec step{0, pause};
        nanosleep(&step, nullptr);
        pause = std::min(pause * 2, 2'000'000L);
    }
}

// A record of the user's, opened for use: one that somebody else owns or may write, or that
// is no plain file, is refused (EACCES) and left alone.
int OpenRecord(int folder, const std::string& file, struct stat& status) {
    const int fd = openat(folder, file.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_uid == geteuid() &&
        (status.st_mode & (S_IWGRP | S_IWOTH)) == 0)
        return fd;
    close(fd);
    errno = EACCES;
    return -1;
}

// A record is sized and given its memory in one step; a shorter or sparse one is from a
// creator that did not get that far, and reading it could fault.
bool Whole(const struct stat& status) {
    const auto size = static_cast<off_t>(sizeof(SharedNameRecord));
    return status.st_size >= size && status.st_blocks * 512 >= size;
}

// Each process that uses a record holds a shared lock on its first byte through its own open
// file, so the lock ends with the process however it ends, whatever PID namespace it runs in.
struct flock UseLock(short type) {
    struct flock use {};
    use.l_type = type;
    use.l_whence = SEEK_SET;
    use.l_len = 1;
    return use;
}

bool HoldUse(int fd) {
    struct flock use = UseLock(F_RDLCK);
    return fcntl(fd, F_OFD_SETLK, &use) == 0;
}

// Whether a user other than the holder of fd is alive; in doubt, yes.
bool UsedByOthers(int fd) {
    struct flock probe = UseLock(F_WRLCK);
    return fcntl(fd, F_OFD_GETLK, &probe) != 0 || probe.l_type != F_UNLCK;
}

// Names that processes left without closing them (a crash, an exit without CloseHandle) are free
// for the next user already, but their records would pile up, the more so as every test run has
// a namespace of its own: the first name call of each process clears away the user's records
// that nobody uses. Runs under the namespace lock, which every creator holds too. A record is
// never read here, so one that a full store left short cannot fault.
void SweepFolder(int folder, const std::string& prefix) {
    const int listed = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* listing = listed >= 0 ? fdopendir(listed) : nullptr;
    if (!listing) {
        if (listed >= 0)
            close(listed);
        return;
    }
    while (const dirent* entry = readdir(listing)) {
        const std::string file = entry->d_name;
        struct stat status {};
        const int fd = file.rfind(prefix, 0) == 0 ? OpenRecord(folder, file, status) : -1;
        if (fd < 0)
            continue;
        if (!UsedByOthers(fd))
            unlinkat(folder, file.c_str(), 0);
        close(fd);
    }
    closedir(listing);
}

NameLookup Failure(DWORD error) {
    NameLookup result;
    result.error = error;
    return result;
}

// A new record with its memory taken now, so that a full store is an error here and not a
// signal at the first touch.
int CreateRecord(int folder, const std::string& file) {
    const int fd = openat(folder, file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    if (const int error = posix_fallocate(fd, 0, sizeof(SharedNameRecord)); error != 0) {
        unlinkat(folder, file.c_str(), 0);
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

void InitializeRecord(SharedNameRecord* record, NameKind kind) {
    new (record) SharedNameRecord{};
    InitializeKernelMutex(&record->mutex, true);
    record->kind = kind;
    record->complete = kRecordComplete;
}

NameLookup AttachRecord(Namespace& space, const std::string& file, NameKind kind, bool mayCreate) {
    if (file.size() > kMaxEscapedName)
        return Failure(kErrorFilenameTooLong);
    const int folder = FolderOf(space, file);
    struct stat status {};
    int fd = OpenRecord(folder, file, status);
    if (fd >= 0 && !UsedByOthers(fd)) {
        // Left behind by processes that have ended: the name is free.
        unlinkat(folder, file.c_str(), 0);
        close(fd);
        fd = -1;
        errno = ENOENT;
    }
    const bool fresh = fd < 0 && errno == ENOENT;
    if (fresh && !mayCreate)
        return Failure(ERROR_FILE_NOT_FOUND);
    if (fresh)
        fd = CreateRecord(folder, file);
    if (fd < 0)
        return Failure(ErrorOf(errno));
    if (!fresh && !Whole(status)) {
        close(fd);
        return Failure(ERROR_ACCESS_DENIED);
    }
    void* memory = mmap(nullptr, sizeof(SharedNameRecord), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    auto* record = memory == MAP_FAILED ? nullptr : static_cast<SharedNameRecord*>(memory);
    DWORD refusal = ERROR_SUCCESS;
    if (!record || !HoldUse(fd))
        refusal = ERROR_NOT_ENOUGH_MEMORY;
    else if (!fresh && record->complete != kRecordComplete)
        refusal = ERROR_ACCESS_DENIED;
    else if (!fresh && record->kind != kind)
        refusal = ERROR_INVALID_HANDLE;
    if (refusal != ERROR_SUCCESS) {
        if (fresh)
            unlinkat(folder, file.c_str(), 0);
        if (record)
            munmap(record, sizeof *record);
        close(fd);
        return Failure(refusal);
    }
    if (fresh)
        InitializeRecord(record, kind);

    auto& local = space.names[file];
    local.record = record;
    local.file = fd;
    local.holds = 1;
    NameLookup result;
    result.attachment = std::make_unique<NameAttachment>(file, record);
    result.created = fresh;
    return result;
}

}  // namespace

void InitializeKernelMutex(KernelMutex* mutex, bool processShared) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    pthread_mutexattr_setpshared(&attributes, processShared ? PTHREAD_PROCESS_SHARED : PTHREAD_PROCESS_PRIVATE);
    pthread_mutex_init(&mutex->lock, &attributes);
    pthread_mutexattr_destroy(&attributes);
    mutex->owner = 0;
    mutex->depth = 0;
    mutex->abandoned = 0;
}

bool IsGlobalName(const std::string& name) { return name.rfind(kGlobalName, 0) == 0; }

// Going on without the lock between processes would let two of them make one name at once:
// a lock that cannot be had fails the call instead.
NamespaceLock::NamespaceLock(bool global) : global_(global) {
    auto& space = TheNamespace();
    EnterProcess(space);
    FolderHold& hold = HoldOf(space, global);
    if (hold.depth++ > 0) {
        error_ = hold.error;
        return;
    }
    int failure = OpenFolders(space, global);
    if (failure == 0)
        failure = LockFolder(LockFolderOf(space, global));
    error_ = hold.error = failure == 0 ? ERROR_SUCCESS : ErrorOf(failure);
    if (error_ == ERROR_SUCCESS && !hold.swept) {
        hold.swept = true;
        if (global)
            SweepFolder(space.store, kGlobalPrefix);
        else
            SweepFolder(space.own, "");
    }
}

NamespaceLock::~NamespaceLock() {
    auto& space = TheNamespace();
    // Without a runtime folder both kinds of names share one lock, which ends with the last hold.
    const FolderHold& other = HoldOf(space, !global_);
    const bool otherHoldsIt = LockFolderOf(space, !global_) == LockFolderOf(space, global_) && other.depth > 0 &&
                              other.error == ERROR_SUCCESS;
    if (--HoldOf(space, global_).depth == 0 && error_ == ERROR_SUCCESS && !otherHoldsIt)
        flock(LockFolderOf(space, global_), LOCK_UN);
    LeaveProcess(space);
}

NameLookup LookUpName(const std::string& name, NameKind kind, bool mayCreate) {
    auto& space = TheNamespace();
    const std::string file = RecordFile(name);
    const auto found = space.names.find(file);
    if (found == space.names.end())
        return AttachRecord(space, file, kind, mayCreate);
    auto& local = found->second;
    if (local.record->kind != kind)
        return Failure(ERROR_INVALID_HANDLE);
    NameLookup result;
    result.existing = local.object.lock();
    if (!result.existing) {
        // The last object of this name is on its way out; a new one shares its record.
        ++local.holds;
        result.attachment = std::make_unique<NameAttachment>(file, local.record);
    }
    return result;
}

void RegisterNamedObject(const std::string& name, const std::shared_ptr<KernelObject>& object) {
    TheNamespace().names[RecordFile(name)].object = object;
}

NameAttachment::~NameAttachment() {
    NamespaceLock scope(IsGlobalFile(name_));
    auto& space = TheNamespace();
    const auto found = space.names.find(name_);
    if (found == space.names.end() || --found->second.holds > 0)
        return;
    const int file = found->second.file;
    const bool inherited = found->second.inherited;
    space.names.erase(found);
    // Without the namespace lock another process may be taking the name just now: the record
    // is left to a later sweep then.
    if (scope.Error() == ERROR_SUCCESS && !inherited && !UsedByOthers(file))
        unlinkat(FolderOf(space, name_), name_.c_str(), 0);
    munmap(record_, sizeof *record_);
    close(file);
}

// ---- fork without exec ----------------------------------------------------------------------
//
// A forked child shares its parent's open file descriptions, and with them the folder locks and
// the records' use locks, which belong to the description: the child would pass its parent's
// lock, and its parent's use of a record for its own. So a child opens everything again, as a
// copied handle table would have it: folders and records of its own, with its own use locks.
// Until it has, its parent keeps the folders locked, so that nobody takes a record away that
// the child still means to use.

namespace {

// A description of its own for the same folder, else the shared one.
int OpenAgain(int folder) {
    const int again = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (again < 0)
        return folder;
    close(folder);
    return again;
}

void BeforeFork() {
    auto& space = TheNamespace();
    EnterProcess(space);
    if (space.names.empty())
        return;
    for (const bool global : {false, true}) {
        FolderHold& hold = HoldOf(space, global);
        const int folder = LockFolderOf(space, global);
        hold.forForkedChild = folder >= 0 && hold.depth == 0 && LockFolder(folder) == 0;
    }
    if (pipe2(space.forkSignal, O_CLOEXEC) != 0)
        space.forkSignal[0] = space.forkSignal[1] = -1;
}

void AfterForkInParent() {
    auto& space = TheNamespace();
    if (space.forkSignal[0] >= 0) {
        // Told, or the child ended (the pipe's end closes with it), or it is very late.
        close(space.forkSignal[1]);
        const auto deadline = DeadlineAfter(kForkPatienceMs);
        pollfd told{space.forkSignal[0], POLLIN, 0};
        for (auto left = std::chrono::milliseconds(kForkPatienceMs);
             poll(&told, 1, static_cast<int>(left.count())) < 0 && errno == EINTR;)
            left = std::max(std::chrono::milliseconds(0), std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()));
        close(space.forkSignal[0]);
        space.forkSignal[0] = space.forkSignal[1] = -1;
    }
    for (const bool global : {false, true})
        if (std::exchange(HoldOf(space, global).forForkedChild, false))
            flock(LockFolderOf(space, global), LOCK_UN);
    LeaveProcess(space);
}

void AfterForkInChild() {
    auto& space = TheNamespace();
    // The parent's locks stay with the parent: the child closes its copies, never unlocks them.
    const bool oneFolder = space.own == space.shared;
    if (space.store >= 0)
        space.store = OpenAgain(space.store);
    if (space.shared >= 0)
        space.shared = OpenAgain(space.shared);
    if (oneFolder)
        space.own = space.shared;
    else if (space.own >= 0)
        space.own = OpenAgain(space.own);
    for (auto& [file, local] : space.names) {
        const int again = openat(FolderOf(space, file), file.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        struct stat was {}, is {};
        if (again >= 0 && fstat(local.file, &was) == 0 && fstat(again, &is) == 0 && was.st_ino == is.st_ino &&
            was.st_dev == is.st_dev && HoldUse(again)) {
            close(local.file);
            local.file = again;
            continue;
        }
        local.inherited = true;
        if (again >= 0)
            close(again);
    }
    if (space.forkSignal[1] >= 0) {
        (void)!write(space.forkSignal[1], "", 1);
        close(space.forkSignal[0]);
        close(space.forkSignal[1]);
        space.forkSignal[0] = space.forkSignal[1] = -1;
    }
    space.session.forForkedChild = space.global.forForkedChild = false;
    space.session.depth = space.global.depth = 0;
    space.depth = 0;
    space.holder.store({}, std::memory_order_relaxed);
    space.lock.unlock();
    ForgetMutexesInForkedChild();
}

[[maybe_unused]] const int forkHandlers = pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild);

}  // namespace

}  // namespace k32
