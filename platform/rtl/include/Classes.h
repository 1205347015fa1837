#pragma once
// The class library's object, component, streaming and thread classes.

#include <any>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kernel32.h"

class TComponent;

class TObject {
public:
    virtual ~TObject() = default;
    // The class name as the system names it ("TDSMixer", "EAudioReadError"): the C++ class
    // name without namespaces.
    std::string ClassName() const;
};

// The common exception class. Message holds the text; ClassName (from TObject) names the
// class, so a report can read "class name, blank, message". It lives here rather than in
// SysUtils.h because the streaming classes below raise EReadError.
class Exception : public TObject, public std::exception {
public:
    explicit Exception(std::string message);
    const std::string& Message() const { return FMessage; }
    void SetMessage(std::string message) { FMessage = std::move(message); }
    const char* what() const noexcept override { return FMessage.c_str(); }

private:
    std::string FMessage;
};

// A form resource value read as the wrong kind, or a resource that cannot be read.
class EReadError : public Exception { using Exception::Exception; };

// A method pointer: a procedure of an object taking Sender. Empty means unassigned.
using TNotifyEvent = std::function<void(TObject* Sender)>;

// ---- streaming from form resources ----------------------------------------------------------
// One value of a form resource.
struct TStreamValue {
    enum class TKind { Integer, String, Boolean, Identifier, Set, StringList };
    TKind Kind = TKind::Integer;
    std::int64_t Integer = 0;
    std::string Text;                 // String and Identifier (an enumeration name)
    bool Boolean = false;
    std::vector<std::string> Items;   // Set members, StringList lines

    std::int64_t AsInteger() const;   // each raises EReadError on a value of another kind,
                                      // naming the kind expected and the kind found
    const std::string& AsString() const;
    bool AsBoolean() const;
    const std::string& AsIdentifier() const;
};

// What a class publishes: properties and events of a component, and, for a root component
// (a form), the handlers that events bind to by name and the fields that receive the
// components created from the resource. Each class adds its own after its base class's.
class TPublishedTable {
public:
    using TSetter = std::function<void(const TStreamValue&)>;
    using TEventBinder = std::function<bool(const std::any& handler)>;  // false: wrong signature
    using TFieldBinder = std::function<bool(TComponent* component)>;    // false: wrong class

    void Property(const std::string& name, TSetter setter) { FProperties[name] = std::move(setter); }

    // slot is the component's event field, e.g. std::function<void(TObject*)>& FOnClick.
    template <class TEvent>
    void Event(const std::string& name, TEvent& slot) {
        FEvents[name] = [&slot](const std::any& handler) {
            if (const TEvent* h = std::any_cast<TEvent>(&handler)) { slot = *h; return true; }
            return false;
        };
    }
    template <class TEvent>
    void Handler(const std::string& name, TEvent handler) { FHandlers[name] = std::any(std::move(handler)); }

    template <class T>
    void Field(const std::string& name, T*& field) {
        FFields[name] = [&field](TComponent* c) {
            if (T* typed = dynamic_cast<T*>(c)) { field = typed; return true; }
            return false;
        };
    }

    const TSetter* FindProperty(const std::string& name) const { return Find(FProperties, name); }
    const TEventBinder* FindEvent(const std::string& name) const { return Find(FEvents, name); }
    const std::any* FindHandler(const std::string& name) const { return Find(FHandlers, name); }
    const TFieldBinder* FindField(const std::string& name) const { return Find(FFields, name); }

private:
    template <class M>
    static const typename M::mapped_type* Find(const M& map, const std::string& name) {
        auto it = map.find(name);
        return it == map.end() ? nullptr : &it->second;
    }
    std::map<std::string, TSetter> FProperties;
    std::map<std::string, TEventBinder> FEvents;
    std::map<std::string, std::any> FHandlers;
    std::map<std::string, TFieldBinder> FFields;
};

// ---- components -----------------------------------------------------------------------------
enum TComponentStateFlag : unsigned {
    csLoading = 1u << 0,
    csReading = 1u << 1,
    csDesigning = 1u << 2,   // never set at run time
    csDestroying = 1u << 3,
};
using TComponentState = unsigned;

enum TOperation { opInsert, opRemove };

class TComponent : public TObject {
public:
    // Joins the owner's list of components (if any); the owner frees it. A component may
    // also be freed directly: it then leaves its owner's list first.
    explicit TComponent(TComponent* AOwner);
    // Sets csDestroying, leaves the owner's list (the owner is told opRemove), then frees the
    // owned components, last created first, each exactly once. An owned component that frees
    // a sibling meanwhile is fine: a freed component is no longer in the list.
    ~TComponent() override;
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const { return FOwner; }
    const std::string& Name() const { return FName; }
    // An identifier (letter or '_', then letters, digits, '_') or empty; a name that another
    // component of the same owner has (compared without case) raises EComponentError.
    void SetName(const std::string& name);
    int ComponentCount() const { return static_cast<int>(FComponents.size()); }
    TComponent* Components(int index) const;  // EListError when out of range
    TComponent* FindComponent(const std::string& name) const;  // without case; null if none
    TComponentState ComponentState() const { return FComponentState; }

    // Streaming: the reader sets csLoading, applies the resource's values through the
    // published table, then calls Loaded on every component it created (and the root).
    // TComponent publishes "Name"; Loaded clears csLoading, so overrides call it first.
    virtual void DefinePublished(TPublishedTable& table);
    virtual void Loaded();
    void SetLoading(bool loading);

    // Told when a component is inserted into or removed from this owner's list. The base
    // passes it on to the owned components, so siblings learn of each other's removal. On
    // opRemove the component is already past its own class's destructor: compare the
    // pointer, do not call it.
    virtual void Notification(TComponent* AComponent, TOperation Operation);

private:
    void InsertComponent(TComponent* component);
    void RemoveComponent(TComponent* component);

    TComponent* FOwner = nullptr;
    std::string FName;
    std::vector<TComponent*> FComponents;
    TComponentState FComponentState = 0;
};

// Classes that a form resource can create by name. A unit registers its component classes
// once, from a static registrar in the unit that defines them.
using TComponentFactory = std::function<TComponent*(TComponent* AOwner)>;
// Names are compared exactly; registering a name again replaces its factory.
void RegisterComponentClass(const std::string& className, TComponentFactory factory);
// Null when the class is not registered.
TComponent* CreateComponentByClassName(const std::string& className, TComponent* AOwner);
bool IsComponentClassRegistered(const std::string& className);

// ---- strings --------------------------------------------------------------------------------
class TStrings : public TObject {
public:
    virtual int Add(const std::string& s) = 0;
    virtual int Count() const = 0;
    virtual const std::string& Get(int index) const = 0;  // EListError when out of range
    virtual void Clear() = 0;
    std::string First() const { return Count() > 0 ? Get(0) : std::string(); }
    const std::string& operator[](int index) const { return Get(index); }
};

class TStringList : public TStrings {
public:
    int Add(const std::string& s) override;
    int Count() const override { return static_cast<int>(FItems.size()); }
    const std::string& Get(int index) const override;
    void Clear() override { FItems.clear(); }

private:
    std::vector<std::string> FItems;
};

// ---- threads --------------------------------------------------------------------------------
// Mapped to the platform's seven thread priorities (THREAD_PRIORITY_IDLE ... _TIME_CRITICAL),
// which kernel32 turns into Linux nice values; a raise that Linux refuses is not an error and
// Priority still reads the value that was set.
enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

using TThreadMethod = std::function<void()>;

// A thread of kernel32 (CreateThread) running Execute.
//
// A thread is created suspended and started with Resume, at the end of the most derived
// constructor when it is to run at once. C++ builds the derived class after TThread, so a
// thread started from TThread's constructor could enter Execute before its class exists;
// TThread(false) therefore raises EThread instead of racing. A class whose Execute uses its
// own members ends the thread (Terminate, WaitFor) in its own destructor, since ~TThread runs
// after them.
class TThread : public TObject {
public:
    explicit TThread(bool CreateSuspended);  // EThread unless CreateSuspended
    // Terminates and waits for a thread that still runs (also a paused one); a thread that
    // was never started is cleaned up without running Execute.
    ~TThread() override;
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    // Starts a thread created suspended, or lets a paused thread go on.
    void Resume();
    // Cooperative: a thread not started yet stays unstarted; a running thread pauses the next
    // time it asks Terminated (or at once when it suspends itself) and stays paused until
    // Resume or Terminate.
    void Suspend();
    void Terminate();
    // Asked by the thread itself, this is also where a suspended thread pauses.
    bool Terminated() const;
    // Waits until the thread has ended and returns ReturnValue. On the main thread it keeps
    // running the calls that threads queue with Synchronize meanwhile, and the messages that
    // other threads send it (as the destructor's wait does). Raises EThread for a
    // thread that would never end: one never started, one paused (and not terminated), or the
    // calling thread itself.
    DWORD WaitFor();
    bool Suspended() const { return FSuspended; }
    bool Finished() const { return FFinished; }
    TThreadPriority Priority() const { return FPriority; }
    void SetPriority(TThreadPriority value);  // EThread for a value outside the seven
    HANDLE Handle() const { return FHandle; }
    DWORD ThreadID() const { return FThreadID; }
    // The exception that left Execute, if any; kept for the owner.
    std::exception_ptr FatalException() const { return FFatalException; }
    TNotifyEvent OnTerminate;  // runs on the main thread (through Synchronize) after Execute

protected:
    virtual void Execute() = 0;
    // Runs method on the main thread through its message queue and waits; an exception that
    // the method raises is re-raised here. Called on the main thread, it just runs method.
    void Synchronize(const TThreadMethod& method);
    DWORD ReturnValue = 0;

private:
    static DWORD ThreadProc(LPVOID self);
    void Start();
    void PauseWhileSuspended() const;

    HANDLE FHandle = nullptr;
    DWORD FThreadID = 0;
    bool FStarted = false;     // kernel32's thread has been let go (also to be cancelled)
    bool FCancelled = false;   // freed before it was started: ThreadProc skips Execute
    TThreadPriority FPriority = tpNormal;
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FSuspended{false};
    std::atomic<bool> FFinished{false};
    std::exception_ptr FFatalException;
    mutable std::mutex FPauseLock;
    mutable std::condition_variable FPauseChanged;
};

// The main thread is the thread that first initialised the class library: a static
// initializer of the library runs on it before main. Synchronize and the forms layer rely on
// it.
DWORD MainThreadID();

// How Synchronize reaches the main thread: the call is queued here, and a private message is
// posted to a hidden window that the library created on the main thread at start-up. So any
// loop of the main thread that dispatches its user32 queue (GetMessageA or PeekMessageA with
// DispatchMessageA, the forms layer's event loop, modal loops) runs the queued calls, and a
// loop that does not dispatch may call CheckSynchronize instead.
//
// Runs the calls that other threads queued with Synchronize; returns true when it ran any.
// On any thread but the main thread it does nothing and returns false.
bool CheckSynchronize();
