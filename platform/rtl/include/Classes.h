#pragma once
// The class library's object, component, streaming and thread classes.

#include <any>
#include <atomic>
#include <exception>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kernel32.h"

class TComponent;

class TObject {
public:
    virtual ~TObject() = default;
    // The class name as the system names it ("TDSMixer", "EAudioReadError").
    std::string ClassName() const;
};

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

    std::int64_t AsInteger() const;   // each raises EReadError on a value of another kind
    const std::string& AsString() const;
    bool AsBoolean() const;
    const std::string& AsIdentifier() const;
};

class EReadError;

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
    // Joins the owner's list of components (if any); the owner frees it.
    explicit TComponent(TComponent* AOwner);
    // Leaves the owner's list, frees owned components (last created first).
    ~TComponent() override;
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const { return FOwner; }
    const std::string& Name() const { return FName; }
    void SetName(const std::string& name);
    int ComponentCount() const { return static_cast<int>(FComponents.size()); }
    TComponent* Components(int index) const;  // EListError when out of range
    TComponent* FindComponent(const std::string& name) const;
    TComponentState ComponentState() const { return FComponentState; }

    // Streaming: the reader sets csLoading, applies the resource's values through the
    // published table, then calls Loaded on every component it created (and the root).
    virtual void DefinePublished(TPublishedTable& table);
    virtual void Loaded();
    void SetLoading(bool loading);

    // Told when a component is inserted into or removed from this owner's list.
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
enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

using TThreadMethod = std::function<void()>;

class TThread : public TObject {
public:
    explicit TThread(bool CreateSuspended);
    // Terminates and waits for a thread that still runs.
    ~TThread() override;

    void Resume();
    void Suspend();            // cooperative: takes effect only before the thread started
    void Terminate() { FTerminated = true; }
    DWORD WaitFor();           // returns ReturnValue
    bool Terminated() const { return FTerminated; }
    bool Suspended() const { return FSuspended; }
    bool Finished() const { return FFinished; }
    TThreadPriority Priority() const;
    void SetPriority(TThreadPriority value);
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
    HANDLE FHandle = nullptr;
    DWORD FThreadID = 0;
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FSuspended{false};
    std::atomic<bool> FFinished{false};
    std::exception_ptr FFatalException;
};

// The main thread is the thread that first initialised the class library (the program's
// entry, or a test's main). Synchronize and the forms layer rely on it.
DWORD MainThreadID();
// Runs the calls that other threads queued with Synchronize; the forms layer calls it from
// its event loop, a test's loop may call it directly. Returns true when it ran any.
bool CheckSynchronize();
