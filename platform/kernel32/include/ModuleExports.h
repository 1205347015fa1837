#pragma once
// How a module of the layer offers its entry points to GetProcAddress under their Windows
// names. The layer's functions are C++ and keep their mangled names; a module that exported
// "socket" or "send" under the C names would take over the C library's functions for the whole
// process. So each module that is bound by name defines one table, and GetProcAddress looks
// there before it looks at the module's own symbols. A table is an array of entries ended by
// one with a null Name.

#include "wintypes.h"

struct TModuleExport {
    const char* Name;  // the Windows name, compared with case as GetProcAddress does
    FARPROC Proc;
};

// The table of the module libNAME.so is the C symbol KlangExports_NAME: a name of its own
// for each module, so that no module's table can stand in for another's.
#define KLANG_MODULE_EXPORTS(module) KlangExports_##module
#define KLANG_MODULE_EXPORTS_PREFIX "KlangExports_"

// One table entry for a layer function; the cast keeps the layer's own signature, which the
// caller restores when it calls through the pointer.
#define KLANG_EXPORT(name) TModuleExport{#name, reinterpret_cast<FARPROC>(&name)}
// The same for a name that the C library overloads in the module's headers.
#define KLANG_EXPORT_TYPED(name, type) TModuleExport{#name, reinterpret_cast<FARPROC>(static_cast<type>(&name))}
