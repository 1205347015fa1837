// The root object, the exception classes and the library's assertion.

#include "SysUtils.h"

#include <cstdlib>
#include <cxxabi.h>
#include <typeinfo>

namespace {

// "(anonymous namespace)::TFoo" and "klang::TFoo" both read "TFoo"; template arguments keep
// their own qualification.
std::string WithoutNamespaces(const std::string& name) {
    int depth = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        if (c == '<' || c == '(')
            ++depth;
        else if (c == '>' || c == ')')
            --depth;
        else if (depth == 0 && c == ':' && i + 1 < name.size() && name[i + 1] == ':')
            start = i + 2;
    }
    return name.substr(start);
}

}  // namespace

std::string TObject::ClassName() const {
    const char* mangled = typeid(*this).name();
    int status = 0;
    char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    std::string name = (status == 0 && demangled) ? demangled : mangled;
    std::free(demangled);
    return WithoutNamespaces(name);
}

Exception::Exception(std::string message) : FMessage(std::move(message)) {}

ERangeError::ERangeError() : Exception("Range check error") {}
EIntOverflow::EIntOverflow() : Exception("Integer overflow") {}
EOutOfMemory::EOutOfMemory() : Exception("Out of memory") {}

void Assert(bool condition, const std::string& text) {
    if (!condition)
        throw EAssertionFailed(text);
}
