// The process's own properties, read through the system's calls beside the layer.

#include "Privileges.h"

#include <cstring>
#include <elf.h>
#include <link.h>
#include <unistd.h>

bool DropPrivileges() {
    constexpr unsigned kNobody = 65534;
    return setgid(kNobody) == 0 && setuid(kNobody) == 0;
}

namespace {

struct TSearch {
    const char* FileName;
    bool Found = false;
    bool NoDelete = false;
};

bool EndsWith(const char* text, const char* tail) {
    const std::size_t length = std::strlen(text), tailLength = std::strlen(tail);
    return length >= tailLength && std::strcmp(text + length - tailLength, tail) == 0;
}

int Inspect(dl_phdr_info* info, std::size_t, void* data) {
    auto* search = static_cast<TSearch*>(data);
    if (!info->dlpi_name || !EndsWith(info->dlpi_name, search->FileName)) return 0;
    search->Found = true;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& header = info->dlpi_phdr[i];
        if (header.p_type != PT_DYNAMIC) continue;
        const auto* entry = reinterpret_cast<const ElfW(Dyn)*>(info->dlpi_addr + header.p_vaddr);
        for (; entry->d_tag != DT_NULL; ++entry) {
            if (entry->d_tag == DT_FLAGS_1 && (entry->d_un.d_val & DF_1_NODELETE)) search->NoDelete = true;
        }
    }
    return 1;
}

}  // namespace

bool StaysMapped(const char* fileName) {
    TSearch search{fileName};
    dl_iterate_phdr(Inspect, &search);
    return search.Found && search.NoDelete;
}
