#pragma once
// The namespaces of named kernel objects: names beginning with "Global\" are machine-wide
// among one user's processes, all others live in the session namespace (the user's, or the one
// KLANG_OBJECT_NAMESPACE names). Every name is a small shared-memory record that carries the
// kind of object holding the name and, for mutexes, the lock itself, so the kind check and the
// lock work across processes. Each process that uses a record holds a shared file lock on it,
// which goes with the process however it ends and is seen from every PID namespace that shares
// the store; a record that nobody holds counts as free. A user's records and the lock that
// orders them are that user's alone: records of others are refused, never adopted.

#include "kernel32.h"

#include <pthread.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace k32 {

class KernelObject;

enum class NameKind : std::uint32_t { Mutex = 1, Event = 2 };

struct SharedNameRecord {
    std::uint32_t complete;  // kRecordComplete once its creator has made it
    NameKind kind;
    pthread_mutex_t mutex;   // robust, recursive, process-shared; used by mutexes only
    std::int32_t abandoned;  // the mutex's last holder was a thread that ended holding it
};

// Held while a name is looked up, created or released: a lock inside the process and a
// file lock between the user's processes. When the file lock cannot be had, Error() says why
// and nothing may be looked up.
class NamespaceLock {
public:
    NamespaceLock();
    ~NamespaceLock();
    NamespaceLock(const NamespaceLock&) = delete;
    NamespaceLock& operator=(const NamespaceLock&) = delete;
    DWORD Error() const { return error_; }

private:
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
void InitializeKernelMutex(pthread_mutex_t* mutex, bool processShared);

}  // namespace k32
