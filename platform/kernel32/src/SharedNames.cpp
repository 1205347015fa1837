#include "SharedNames.h"

#include "KernelObjects.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace k32 {
namespace {

constexpr DWORD kErrorFilenameTooLong = 206;
constexpr std::size_t kMaxEscapedName = 240;
constexpr std::uint32_t kRecordComplete = 0x4e32334b;
constexpr const char* kStore = "/dev/shm";
constexpr const char* kGlobalPrefix = "klang32-g.";
// The user's folder has a name of its own and a few to fall back on, so that somebody else's
// folder under that name does not lock the user out.
constexpr int kFolderChoices = 8;

struct LocalName {
    SharedNameRecord* record = nullptr;
    int file = -1;  // carries this process's use of the record
    int holds = 0;
    std::weak_ptr<KernelObject> object;
};

struct Namespace {
    std::recursive_mutex lock;
    int depth = 0;
    DWORD lockError = ERROR_SUCCESS;  // of the outermost NamespaceLock
    int store = -1;                   // "Global\" records
    int folder = -1;                  // the user's own records, and the lock that orders them
    bool swept = false;
    std::map<std::string, LocalName> names;
};

Namespace& TheNamespace() {
    static auto* space = new Namespace;
    return *space;
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

// The record's file as the namespace sees the name: "Global\" names in the store, where the
// user's sessions meet and other users are refused, "Local\" and plain names in the user's
// folder. Injective ('.' is always escaped), so two names never share a record.
std::string RecordFile(const std::string& name) {
    static const std::string global = "Global\\", local = "Local\\";
    std::string result;
    if (name.rfind(global, 0) == 0) {
        result = kGlobalPrefix;
        AppendEscaped(result, name.substr(global.size()));
        return result;
    }
    result = "s";
    AppendEscaped(result, SessionNamespace());
    result += ".";
    AppendEscaped(result, name.rfind(local, 0) == 0 ? name.substr(local.size()) : name);
    return result;
}

int FolderOf(const Namespace& space, const std::string& file) {
    return file.rfind(kGlobalPrefix, 0) == 0 ? space.store : space.folder;
}

std::string FolderName(int choice) {
    const std::string name = "klang32-u" + std::to_string(geteuid());
    return choice == 0 ? name : name + "." + std::to_string(choice);
}

// The folder of that name if it is the user's: nobody else owns it or may look into it.
int OpenOwnFolder(int store, const std::string& name) {
    const int fd = openat(store, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat status {};
    if (fd >= 0 && fstat(fd, &status) == 0 && status.st_uid == geteuid() && (status.st_mode & 077) == 0)
        return fd;
    if (fd >= 0)
        close(fd);
    return -1;
}

// Every process of the user comes to the same folder: the first of the names that is the
// user's already, else the first that can be made. Nobody else can remove ours from the
// sticky store, so once made it stays the one. -1 with errno when there is none.
int UserFolder(int store) {
    for (int choice = 0; choice < kFolderChoices; ++choice)
        if (const int fd = OpenOwnFolder(store, FolderName(choice)); fd >= 0)
            return fd;
    for (int choice = 0; choice < kFolderChoices; ++choice) {
        const std::string name = FolderName(choice);
        if (mkdirat(store, name.c_str(), 0700) != 0 && errno != EEXIST)
            return -1;
        if (const int fd = OpenOwnFolder(store, name); fd >= 0)
            return fd;
    }
    errno = EACCES;
    return -1;
}

// 0, or the errno that keeps the folders from being opened.
int OpenFolders(Namespace& space) {
    if (space.store < 0)
        space.store = open(kStore, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (space.store >= 0 && space.folder < 0)
        space.folder = UserFolder(space.store);
    return space.folder >= 0 ? 0 : errno;
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
    std::memset(record, 0, sizeof *record);
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

void InitializeKernelMutex(pthread_mutex_t* mutex, bool processShared) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    pthread_mutexattr_setpshared(&attributes, processShared ? PTHREAD_PROCESS_SHARED : PTHREAD_PROCESS_PRIVATE);
    pthread_mutex_init(mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

// Going on without the lock between processes would let two of them make one name at once:
// a lock that cannot be had fails the call instead.
NamespaceLock::NamespaceLock() {
    auto& space = TheNamespace();
    space.lock.lock();
    if (space.depth++ > 0) {
        error_ = space.lockError;
        return;
    }
    int failure = OpenFolders(space);
    while (failure == 0 && flock(space.folder, LOCK_EX) != 0)
        failure = errno == EINTR ? 0 : errno;
    error_ = space.lockError = failure == 0 ? ERROR_SUCCESS : ErrorOf(failure);
    if (error_ == ERROR_SUCCESS && !space.swept) {
        space.swept = true;
        SweepFolder(space.folder, "");
        SweepFolder(space.store, kGlobalPrefix);
    }
}

NamespaceLock::~NamespaceLock() {
    auto& space = TheNamespace();
    if (--space.depth == 0 && error_ == ERROR_SUCCESS)
        flock(space.folder, LOCK_UN);
    space.lock.unlock();
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
    NamespaceLock scope;
    auto& space = TheNamespace();
    const auto found = space.names.find(name_);
    if (found == space.names.end() || --found->second.holds > 0)
        return;
    const int file = found->second.file;
    space.names.erase(found);
    // Without the namespace lock another process may be taking the name just now: the record
    // is left to a later sweep then.
    if (scope.Error() == ERROR_SUCCESS && !UsedByOthers(file))
        unlinkat(FolderOf(space, name_), name_.c_str(), 0);
    munmap(record_, sizeof *record_);
    close(file);
}

}  // namespace k32
