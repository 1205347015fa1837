#pragma once
// Shared by the library's own units; not part of its interface.

[[noreturn]] void RaiseListIndexError(int index);  // EListError "List index out of bounds (%d)"
