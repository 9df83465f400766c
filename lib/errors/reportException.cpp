// Demangling of the type names that reportException prints.
#include "lib/errors/reportException.h"

#include <cstdlib>
#include <cxxabi.h>

namespace velka {

std::string demangleTypeName(const char *name) {
    if (*name == '*')
        ++name;
    int status = 0;
    char *demangled = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    if (status != 0 || !demangled)
        return name;
    std::string result(demangled);
    std::free(demangled);
    return result;
}

} // namespace velka
