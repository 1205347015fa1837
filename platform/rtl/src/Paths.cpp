// The program's own path and the parts of file names.

#include "SysUtils.h"

#include <sys/stat.h>

std::string ParamStr0() {
    std::string path(256, '\0');
    for (;;) {
        const DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return std::string();
        // A result that fills the buffer may have been cut.
        if (length < path.size() || path.size() >= 65536) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

std::string ExtractFilePath(const std::string& fileName) {
    const std::size_t slash = fileName.rfind('/');
    return slash == std::string::npos ? std::string() : fileName.substr(0, slash + 1);
}

std::string ExtractFileName(const std::string& fileName) {
    const std::size_t slash = fileName.rfind('/');
    return slash == std::string::npos ? fileName : fileName.substr(slash + 1);
}

std::string ExeDir() { return ExtractFilePath(ParamStr0()); }

bool FileExists(const std::string& fileName) {
    struct stat info {};
    return !fileName.empty() && stat(fileName.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}
