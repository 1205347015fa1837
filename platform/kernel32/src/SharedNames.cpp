#include "SharedNames.h"

#include "KernelObjects.h"

#include <cerrno>
#include <csignal>
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

struct LocalName {
    SharedNameRecord* record = nullptr;
    int holds = 0;
    std::weak_ptr<KernelObject> object;
};

struct Namespace {
    std::recursive_mutex lock;
    int depth = 0;
    int lockFile = -1;
    bool swept = false;
    std::map<std::string, LocalName> names;
};

Namespace& TheNamespace() {
    static auto* space = new Namespace;
    return *space;
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

// The name as the namespace sees it: "Global\" names are machine-wide, "Local\" and plain
// names live in the session namespace. Injective ('.' is always escaped), so two names never
// share a record; it is also the shared-memory name of the record.
std::string SharedMemoryName(const std::string& name) {
    static const std::string global = "Global\\", local = "Local\\";
    std::string result = "/klang32-";
    if (name.rfind(global, 0) == 0) {
        result += "g.";
        AppendEscaped(result, name.substr(global.size()));
        return result;
    }
    result += "s";
    AppendEscaped(result, SessionNamespace());
    result += ".";
    AppendEscaped(result, name.rfind(local, 0) == 0 ? name.substr(local.size()) : name);
    return result;
}

bool ProcessAlive(pid_t pid) { return kill(pid, 0) == 0 || errno != ESRCH; }

void PruneEndedUsers(SharedNameRecord* record) {
    int kept = 0;
    const int count = record->userCount < 0 || record->userCount > kMaxNameUsers ? 0 : record->userCount;
    for (int i = 0; i < count; ++i) {
        if (ProcessAlive(record->users[i]))
            record->users[kept++] = record->users[i];
    }
    record->userCount = kept;
}

void RemoveUser(SharedNameRecord* record, pid_t pid) {
    int kept = 0;
    for (int i = 0; i < record->userCount; ++i) {
        if (record->users[i] != pid)
            record->users[kept++] = record->users[i];
    }
    record->userCount = kept;
}

void InitializeRecord(SharedNameRecord* record, NameKind kind) {
    std::memset(record, 0, sizeof *record);
    InitializeKernelMutex(&record->mutex, true);
    record->users[0] = getpid();
    record->userCount = 1;
    record->kind = kind;
}

// Names that processes left without closing them (a crash, an exit without CloseHandle) are free
// for the next user already, but their records would pile up, the more so as every test run has
// a namespace of its own: the first name call of each process clears them away. Runs under the
// namespace lock, which every creator holds too.
void SweepEndedRecords() {
    DIR* folder = opendir("/dev/shm");
    if (!folder)
        return;
    while (const dirent* entry = readdir(folder)) {
        const std::string file = entry->d_name;
        if (file.rfind("klang32-", 0) != 0 || file == "klang32-namespace")
            continue;
        const std::string shmName = "/" + file;
        const int fd = shm_open(shmName.c_str(), O_RDWR | O_CLOEXEC, 0600);
        if (fd < 0)
            continue;  // another user's
        struct stat status {};
        bool ended = false;
        if (fstat(fd, &status) == 0 && static_cast<std::size_t>(status.st_size) < sizeof(SharedNameRecord)) {
            ended = true;  // an interrupted creator's
        } else if (void* memory = mmap(nullptr, sizeof(SharedNameRecord), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
                   memory != MAP_FAILED) {
            auto* record = static_cast<SharedNameRecord*>(memory);
            PruneEndedUsers(record);
            ended = record->userCount == 0;
            munmap(memory, sizeof *record);
        }
        close(fd);
        if (ended)
            shm_unlink(shmName.c_str());
    }
    closedir(folder);
}

NameLookup Failure(DWORD error) {
    NameLookup result;
    result.error = error;
    return result;
}

// Takes the shared-memory name of the record.
NameLookup AttachRecord(const std::string& shmName, NameKind kind, bool mayCreate) {
    if (shmName.size() > kMaxEscapedName)
        return Failure(kErrorFilenameTooLong);
    bool fresh = false;
    int fd = shm_open(shmName.c_str(), O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0 && errno == ENOENT) {
        if (!mayCreate)
            return Failure(ERROR_FILE_NOT_FOUND);
        fd = shm_open(shmName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        fresh = true;
    }
    if (fd < 0)
        return Failure(errno == EACCES ? 5u /* access denied */ : ERROR_INVALID_HANDLE);
    struct stat status {};
    if (fstat(fd, &status) != 0 || static_cast<std::size_t>(status.st_size) < sizeof(SharedNameRecord)) {
        // Only an interrupted creator leaves a short record behind.
        fresh = true;
        if (ftruncate(fd, sizeof(SharedNameRecord)) != 0) {
            close(fd);
            return Failure(ERROR_NOT_ENOUGH_MEMORY);
        }
    }
    void* memory = mmap(nullptr, sizeof(SharedNameRecord), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (memory == MAP_FAILED)
        return Failure(ERROR_NOT_ENOUGH_MEMORY);
    auto* record = static_cast<SharedNameRecord*>(memory);

    if (!fresh) {
        PruneEndedUsers(record);
        if (record->userCount == 0 || record->kind == NameKind::Free)
            fresh = true;  // left behind by processes that have ended: the name is free
    }
    if (fresh && !mayCreate) {
        shm_unlink(shmName.c_str());
        munmap(record, sizeof *record);
        return Failure(ERROR_FILE_NOT_FOUND);
    }
    if (!fresh && record->kind != kind) {
        munmap(record, sizeof *record);
        return Failure(ERROR_INVALID_HANDLE);
    }
    if (!fresh && record->userCount >= kMaxNameUsers) {
        munmap(record, sizeof *record);
        return Failure(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (fresh)
        InitializeRecord(record, kind);
    else
        record->users[record->userCount++] = getpid();

    auto& local = TheNamespace().names[shmName];
    local.record = record;
    local.holds = 1;
    NameLookup result;
    result.attachment = std::make_unique<NameAttachment>(shmName, record);
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

NamespaceLock::NamespaceLock() {
    auto& space = TheNamespace();
    space.lock.lock();
    if (space.depth++ > 0)
        return;
    if (space.lockFile < 0)
        space.lockFile = shm_open("/klang32-namespace", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (space.lockFile >= 0) {
        while (flock(space.lockFile, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    if (!space.swept) {
        space.swept = true;
        SweepEndedRecords();
    }
}

NamespaceLock::~NamespaceLock() {
    auto& space = TheNamespace();
    if (--space.depth == 0 && space.lockFile >= 0)
        flock(space.lockFile, LOCK_UN);
    space.lock.unlock();
}

NameLookup LookUpName(const std::string& name, NameKind kind, bool mayCreate) {
    auto& space = TheNamespace();
    const std::string shmName = SharedMemoryName(name);
    const auto found = space.names.find(shmName);
    if (found == space.names.end())
        return AttachRecord(shmName, kind, mayCreate);
    auto& local = found->second;
    if (local.record->kind != kind)
        return Failure(ERROR_INVALID_HANDLE);
    NameLookup result;
    result.existing = local.object.lock();
    if (!result.existing) {
        // The last object of this name is on its way out; a new one shares its record.
        ++local.holds;
        result.attachment = std::make_unique<NameAttachment>(shmName, local.record);
    }
    return result;
}

void RegisterNamedObject(const std::string& name, const std::shared_ptr<KernelObject>& object) {
    TheNamespace().names[SharedMemoryName(name)].object = object;
}

NameAttachment::~NameAttachment() {
    NamespaceLock scope;
    auto& space = TheNamespace();
    const auto found = space.names.find(name_);
    if (found == space.names.end() || --found->second.holds > 0)
        return;
    space.names.erase(found);
    RemoveUser(record_, getpid());
    PruneEndedUsers(record_);
    if (record_->userCount == 0) {
        record_->kind = NameKind::Free;
        shm_unlink(name_.c_str());
    }
    munmap(record_, sizeof *record_);
}

}  // namespace k32
