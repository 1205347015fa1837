#pragma once
// The asynchronous lookups' side of the library's start-up count.

// Cancels every pending lookup: afterwards no lookup writes a buffer or posts. Called by the
// last WSACleanup.
void CancelAllLookups();
