#pragma once
// What the tests need to know of the process itself, answered by the system directly.

// Gives up root and every capability for good (run it in a child process).
bool DropPrivileges();
// True when the loaded library whose file name ends with fileName is marked to stay mapped
// after its last unload.
bool StaysMapped(const char* fileName);
