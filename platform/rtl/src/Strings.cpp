// The string list.

#include "RtlInternal.h"
#include "SysUtils.h"

[[noreturn]] void RaiseListIndexError(int index) {
    throw EListError(Format("List index out of bounds (%d)", index));
}

int TStringList::Add(const std::string& s) {
    FItems.push_back(s);
    return Count() - 1;
}

const std::string& TStringList::Get(int index) const {
    if (index < 0 || index >= Count())
        RaiseListIndexError(index);
    return FItems[static_cast<std::size_t>(index)];
}
