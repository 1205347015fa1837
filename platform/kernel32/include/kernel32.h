#pragma once
// Kernel objects, threads, time, modules and the last error, as the system's code calls them.

#include "wintypes.h"

// ---- last error ----------------------------------------------------------------------------
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
inline constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr DWORD ERROR_TIMEOUT = 1460;
inline constexpr DWORD ERROR_ALREADY_EXISTS = 183;
inline constexpr DWORD ERROR_NOT_OWNER = 288;
inline constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
inline constexpr DWORD ERROR_CLASS_ALREADY_EXISTS = 1410;
inline constexpr DWORD ERROR_CLASS_DOES_NOT_EXIST = 1411;
inline constexpr DWORD ERROR_CLASS_HAS_WINDOWS = 1412;
inline constexpr DWORD ERROR_INVALID_INDEX = 1413;
inline constexpr DWORD ERROR_INVALID_THREAD_ID = 1444;
inline constexpr DWORD ERROR_NOT_ENOUGH_QUOTA = 1816;

DWORD GetLastError();
void SetLastError(DWORD code);

// ---- handles and waiting -------------------------------------------------------------------
inline constexpr DWORD INFINITE = 0xFFFFFFFFu;
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_ABANDONED = 0x80;
inline constexpr DWORD WAIT_ABANDONED_0 = WAIT_ABANDONED;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
inline constexpr DWORD SYNCHRONIZE = 0x00100000;
inline constexpr DWORD MUTEX_ALL_ACCESS = 0x001F0001;
inline constexpr DWORD EVENT_ALL_ACCESS = 0x001F0003;

inline constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

BOOL CloseHandle(HANDLE handle);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
// Waits until one of the objects is signalled: WAIT_OBJECT_0 + index (the first signalled one
// in handle order), WAIT_ABANDONED_0 + index for an abandoned mutex, WAIT_TIMEOUT or WAIT_FAILED.
// Waiting for all of them at once is not offered (waitAll fails with ERROR_INVALID_PARAMETER).
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);

// ---- events and mutexes ---------------------------------------------------------------------
struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

// A named mutex is one lock for every process that opens the name. A name held by an
// object of another kind refuses the mutex (result null, ERROR_INVALID_HANDLE); an existing
// name opens that mutex (last error ERROR_ALREADY_EXISTS). A name that another user holds,
// or a read-only store, gives ERROR_ACCESS_DENIED; a full store ERROR_NOT_ENOUGH_MEMORY; names
// whose lock another process keeps for more than a few seconds ERROR_TIMEOUT.
HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCSTR name);
HANDLE OpenMutexA(DWORD desiredAccess, BOOL inheritHandle, LPCSTR name);
BOOL ReleaseMutex(HANDLE mutex);

// ---- critical sections (re-entrant) ---------------------------------------------------------
struct CRITICAL_SECTION {
    void* impl;  // owned by the layer between Initialize and Delete
};
using LPCRITICAL_SECTION = CRITICAL_SECTION*;

void InitializeCriticalSection(LPCRITICAL_SECTION section);
void EnterCriticalSection(LPCRITICAL_SECTION section);
void LeaveCriticalSection(LPCRITICAL_SECTION section);
void DeleteCriticalSection(LPCRITICAL_SECTION section);

// ---- threads --------------------------------------------------------------------------------
using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID parameter);
inline constexpr DWORD CREATE_SUSPENDED = 0x00000004;
inline constexpr DWORD STILL_ACTIVE = 259;

inline constexpr int THREAD_PRIORITY_IDLE = -15;
inline constexpr int THREAD_PRIORITY_LOWEST = -2;
inline constexpr int THREAD_PRIORITY_BELOW_NORMAL = -1;
inline constexpr int THREAD_PRIORITY_NORMAL = 0;
inline constexpr int THREAD_PRIORITY_ABOVE_NORMAL = 1;
inline constexpr int THREAD_PRIORITY_HIGHEST = 2;
inline constexpr int THREAD_PRIORITY_TIME_CRITICAL = 15;
inline constexpr int THREAD_PRIORITY_ERROR_RETURN = 0x7FFFFFFF;

// The thread handle is signalled when the thread ends.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD creationFlags, LPDWORD threadId);
DWORD ResumeThread(HANDLE thread);
DWORD SuspendThread(HANDLE thread);  // only a thread that has not started yet can be suspended
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
BOOL SetThreadPriority(HANDLE thread, int priority);  // a refused raise is not an error
int GetThreadPriority(HANDLE thread);
DWORD GetCurrentThreadId();
HANDLE GetCurrentThread();
[[noreturn]] void ExitThread(DWORD exitCode);

// ---- time -----------------------------------------------------------------------------------
DWORD GetTickCount();  // milliseconds since an arbitrary start, 32 bits, wraps
void Sleep(DWORD milliseconds);  // 0 yields

// ---- platform extensions: waits that keep serving the waiting thread ---------------------------
// Other threads can hand a thread work and wait for it to be done (user32's sent messages).
// A thread that takes such work installs a descriptor that is readable while some waits and a
// function that does all of it. From then on every blocking wait of this library on that
// thread (WaitForSingleObject, WaitForMultipleObjects, Sleep) also watches the descriptor and
// calls the function, so the thread never starves a thread that waits for it while it waits
// itself. The function may wait in turn. A negative descriptor or null function removes it.
using KERNEL32_WAIT_SERVICE = void (*)();
void Kernel32SetWaitService(int descriptor, KERNEL32_WAIT_SERVICE serve);

// Test hook: shifts every later GetTickCount result by offset milliseconds (so the wrap can
// be reached in a test).
void Kernel32SetTickCountOffset(DWORD offset);

// ---- modules --------------------------------------------------------------------------------
// "name.dll" opens libname.so from the folder of the executable (names compared without
// case); loads are counted, FreeLibrary unloads on the last release.
HMODULE LoadLibraryA(LPCSTR fileName);
HMODULE GetModuleHandleA(LPCSTR moduleName);  // null: the executable's own module
FARPROC GetProcAddress(HMODULE module, LPCSTR procName);
BOOL FreeLibrary(HMODULE module);
DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size);  // null module: the executable
