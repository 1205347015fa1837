#pragma once
// The socket calls' side of WSAAsyncSelect: they tell the watcher what they did, after their
// system call, so that it re-enables events and knows the state of each stream.

#include "Winsock.h"

namespace AsyncSelect {

// recv, recvfrom: FD_READ and FD_OOB may be posted again.
void Received(TSocketRecord& record);
// shutdown of the receiving side: no FD_READ from here on, and an FD_CLOSE that waited for
// the bytes before it waits no more.
void ReceiveShut(TSocketRecord& record);
// A send that took less than it was given, or would have blocked: FD_WRITE once room is back.
void SentShort(TSocketRecord& record);
// accept, whatever its outcome: FD_ACCEPT may be posted again.
void AcceptCalled(TSocketRecord& listener);
// A connection taken from listener: a connected stream, which inherits the listener's
// registration (and is non-blocking like its listener).
void Accepted(TSocketRecord& listener, SOCKET handle, const TSocketRef& accepted);
void Listening(TSocketRecord& record);
// The system's connect result (0 or a negated Windows code); returns what connect reports.
// While notifications are on, a connect that ends at once reports WSAEWOULDBLOCK and its
// outcome arrives as FD_CONNECT, as every other connect's does.
long Connecting(TSocketRecord& record, long result);
bool Registered(TSocketRecord& record);
// closesocket and the last WSACleanup: nothing is posted for the socket once this returns.
void Forget(TSocketRecord& record);

}  // namespace AsyncSelect
