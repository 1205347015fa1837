// Modules: "name.dll" is the shared library libname.so in the folder of the executable.

#include "kernel32.h"
#include "ModuleExports.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <link.h>
#include <map>
#include <mutex>
#include <string>
#include <strings.h>
#include <unistd.h>

namespace {

std::string ExecutablePath() {
    char buffer[4096];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : std::string();
}

std::string ExecutableFolder() {
    const auto path = ExecutablePath();
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string Lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// "WSOCK32.DLL", "wsock32" -> "libwsock32.so"
std::string LibraryFileName(std::string name) {
    if (name.size() > 4 && strcasecmp(name.c_str() + name.size() - 4, ".dll") == 0)
        name.resize(name.size() - 4);
    return "lib" + name + ".so";
}

// The file in the folder whose name matches without case; the lowered name when none does.
std::string FindInFolder(const std::string& folder, const std::string& fileName) {
    const auto lowered = Lowered(fileName);
    if (access((folder + "/" + lowered).c_str(), F_OK) == 0)
        return folder + "/" + lowered;
    if (DIR* directory = opendir(folder.c_str())) {
        std::string match;
        while (const dirent* entry = readdir(directory)) {
            if (strcasecmp(entry->d_name, fileName.c_str()) == 0) {
                match = folder + "/" + entry->d_name;
                break;
            }
        }
        closedir(directory);
        if (!match.empty())
            return match;
    }
    return folder + "/" + lowered;
}

std::string ModulePath(LPCSTR name) {
    const std::string given(name);
    if (given.find('/') != std::string::npos)
        return given;
    return FindInFolder(ExecutableFolder(), LibraryFileName(given));
}

// Loads made by LoadLibraryA and not yet freed; the loader itself counts repeated loads.
std::mutex loadsLock;
auto* loads = new std::map<void*, int>;

HMODULE AsModule(void* handle) { return static_cast<HMODULE>(handle); }

// dlsym also finds what the module's dependencies define ("socket" of the C library for a
// socket library that lacks it); only the module's own functions count, as on Windows.
bool DefinedBy(link_map* moduleMap, void* symbol) {
    Dl_info info{};
    link_map* symbolMap = nullptr;
    return dladdr1(symbol, &info, reinterpret_cast<void**>(&symbolMap), RTLD_DL_LINKMAP) != 0 && symbolMap == moduleMap;
}

link_map* MapOf(HMODULE module) {
    link_map* moduleMap = nullptr;
    return dlinfo(module, RTLD_DI_LINKMAP, &moduleMap) == 0 ? moduleMap : nullptr;
}

bool IsProgram(link_map* moduleMap) { return !moduleMap->l_name || !*moduleMap->l_name; }

bool ExportedBy(HMODULE module, void* symbol) {
    link_map* moduleMap = MapOf(module);
    if (!moduleMap)
        return false;
    return IsProgram(moduleMap) || DefinedBy(moduleMap, symbol);  // the program's handle stands for all of it
}

// "/folder/libwsock32.so" -> "KlangExports_wsock32"; the program itself has no table.
std::string ExportTableName(link_map* moduleMap) {
    std::string name = moduleMap->l_name;
    name.erase(0, name.rfind('/') + 1);
    if (name.rfind("lib", 0) == 0)
        name.erase(0, 3);
    name.resize(std::min(name.size(), name.find(".so")));
    return KLANG_MODULE_EXPORTS_PREFIX + name;
}

// The entry under its Windows name in the module's own table.
FARPROC FromExportTable(HMODULE module, LPCSTR procName) {
    link_map* moduleMap = MapOf(module);
    if (!moduleMap || IsProgram(moduleMap))
        return nullptr;
    void* symbol = dlsym(module, ExportTableName(moduleMap).c_str());
    if (!symbol || !DefinedBy(moduleMap, symbol))
        return nullptr;
    for (const auto* entry = static_cast<const TModuleExport*>(symbol); entry->Name; ++entry) {
        if (std::strcmp(entry->Name, procName) == 0)
            return entry->Proc;
    }
    return nullptr;
}

}  // namespace

HMODULE LoadLibraryA(LPCSTR fileName) {
    if (!fileName || !*fileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    void* handle = dlopen(ModulePath(fileName).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    std::lock_guard guard(loadsLock);
    ++(*loads)[handle];
    return AsModule(handle);
}

HMODULE GetModuleHandleA(LPCSTR moduleName) {
    void* handle = moduleName ? dlopen(ModulePath(moduleName).c_str(), RTLD_NOW | RTLD_NOLOAD) : dlopen(nullptr, RTLD_NOW);
    if (!handle) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    dlclose(handle);  // looking a module up does not keep it loaded
    return AsModule(handle);
}

FARPROC GetProcAddress(HMODULE module, LPCSTR procName) {
    if (!module || !procName) {
        SetLastError(module ? ERROR_PROC_NOT_FOUND : ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (const FARPROC exported = FromExportTable(module, procName))
        return exported;
    dlerror();
    void* symbol = dlsym(module, procName);
    if (!symbol || !ExportedBy(module, symbol)) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

BOOL FreeLibrary(HMODULE module) {
    {
        std::lock_guard guard(loadsLock);
        const auto found = loads->find(module);
        if (found == loads->end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (--found->second == 0)
            loads->erase(found);
    }
    dlclose(module);
    return TRUE;
}

DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
    std::string path;
    if (!module) {
        path = ExecutablePath();
    } else {
        link_map* map = nullptr;
        if (dlinfo(module, RTLD_DI_LINKMAP, &map) == 0 && map && map->l_name && *map->l_name)
            path = map->l_name;
        else
            path = ExecutablePath();  // the main program's own map has an empty name
    }
    if (path.empty() || !fileName || size == 0) {
        SetLastError(path.empty() ? ERROR_MOD_NOT_FOUND : ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() >= size) {
        std::memcpy(fileName, path.data(), size - 1);
        fileName[size - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::memcpy(fileName, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}
