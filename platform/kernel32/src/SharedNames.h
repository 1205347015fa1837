#pragma once
// The namespaces of named kernel objects: names beginning with "Global\" are machine-wide
// among one user's processes, all others live in the session namespace (the user's, or the one
// KLANG_OBJECT_NAMESPACE names). Every name is a small shared-memory record that carries the
// kind of object holding the name and, for mutexes, the lock itself, so the kind check and the
// lock work across processes. Each process that uses a record holds a shared file lock on it,
// which goes with the process however it ends and is seen from every PID namespace that shares
// the store; a record that nobody holds counts as free. A user's records and the locks that
// order them are that user's alone: records of others are refused, never adopted. A process
// forked without exec has names of its own, as a copy of its parent's handles.

#include "kernel32.h"

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace k32 {

class KernelObject;

enum class NameKind : std::uint32_t { Mutex = 1, Event = 2 };

// A mutex as the kernel objects keep it. The lock itself is robust and not recursive: the
// thread that holds it is told by a token of its own, random and drawn again in a forked child,
// so that no thread of another process (in another PID namespace, or a forked copy) passes for
// the holder, as threads known by their number would.
struct KernelMutex {
    pthread_mutex_t lock;
    std::atomic<std::uint64_t> owner;  // the holding thread's token, 0: none; set under the lock
    std::int32_t depth;                // how often the owner holds it
    std::int32_t abandoned;            // the last holder was a thread that ended holding it
};

struct SharedNameRecord {
    std::uint32_t complete;  // kRecordComplete once its creator has made it
    NameKind kind;
    KernelMutex mutex;       // process-shared; used by mutexes only
};

bool IsGlobalName(const std::string& name);

// Held while a name is looked up, created or released: a lock inside the process and a
// file lock between the user's processes, the one of the user's own names or the one of
// "Global\" names. When the file lock cannot be had, Error() says why and nothing may be
// looked up.
class NamespaceLock {
public:
    explicit NamespaceLock(bool global);
    ~NamespaceLock();
    NamespaceLock(const NamespaceLock&) = delete;
    NamespaceLock& operator=(const NamespaceLock&) = delete;
    DWORD Error() const { return error_; }

private:
    const bool global_;
    DWORD error_ = ERROR_SUCCESS;
};

// One object's hold on a name (by its record's file name); releasing the last hold in the last
// process frees the name.
class NameAttachment {
public:
    NameAttachment(std::string name, SharedNameRecord* record) : name_(std::move(name)), record_(record) {}
    ~NameAttachment();
    NameAttachment(const NameAttachment&) = delete;
    NameAttachment& operator=(const NameAttachment&) = delete;
    SharedNameRecord* Record() const { return record_; }

private:
    std::string name_;
    SharedNameRecord* record_;
};

struct NameLookup {
    std::shared_ptr<KernelObject> existing;     // live object of this process holding the name
    std::unique_ptr<NameAttachment> attachment;  // otherwise a hold on the (possibly new) record
    bool created = false;                        // the record was made by this call
    DWORD error = ERROR_SUCCESS;                 // set when neither of the above
};

// Needs a NamespaceLock held by the caller. Finds the name: an object of this process, or
// the shared record (made when mayCreate and the name is free). A name of another kind
// gives ERROR_INVALID_HANDLE, a missing one (with !mayCreate) ERROR_FILE_NOT_FOUND, a record
// of another user ERROR_ACCESS_DENIED, a full store ERROR_NOT_ENOUGH_MEMORY.
NameLookup LookUpName(const std::string& name, NameKind kind, bool mayCreate);

// Needs a NamespaceLock held by the caller: the object now answers for the name in this process.
void RegisterNamedObject(const std::string& name, const std::shared_ptr<KernelObject>& object);

// The same lock attributes for named and unnamed mutexes.
void InitializeKernelMutex(KernelMutex* mutex, bool processShared);

// In a forked child, for the forking thread, the only one there: it holds none of the mutexes
// its parent's copy holds. Runs after the child's names are its own.
void ForgetMutexesInForkedChild();

}  // namespace k32
