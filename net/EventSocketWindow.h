#pragma once
// The hidden windows of the sockets and their class "EventSocketWindowClass": registered by
// the first socket, unregistered when the last socket is gone, registered again by a later one.

#include "user32.h"

class TCustomEventSocket;

inline constexpr char SocketWindowClassName[] = "EventSocketWindowClass";

// A window whose extra word holds Socket; null when the class cannot be registered, the window
// cannot be created or the pointer cannot be stored.
HWND AllocateSocketWindow(TCustomEventSocket* Socket);
// Detaches the socket first, so the messages of the destruction reach the default procedure.
bool DestroySocketWindow(HWND Window);
void UnregisterSocketWindowClass();
LRESULT SocketWindowProc(HWND Window, UINT Msg, WPARAM WParam, LPARAM LParam);

// For a socket that has no event of the platform's coming (closed, listening) and holds a post
// that its thread's full queue refused: WM_QUEUE_ROOM reaches Window once the queue has room
// again, from a thread of this unit, which the queue tells.
void PostWhenQueueHasRoom(HWND Window);
