// Reads the text that a "const char *" variable of a shared object points to,
// from the file alone: the object is never loaded into this process.
#ifndef VELKA_AUTHCHECK_ELF_STRING_H
#define VELKA_AUTHCHECK_ELF_STRING_H

#include <optional>
#include <string>

namespace velka::authcheck {

// The string that the exported pointer symbol points to, or nothing when the
// file is not a 64-bit ELF object of this machine, lacks the symbol, or the
// pointer's target cannot be found in the file.
std::optional<std::string> readPointerSymbolString(const std::string &contents,
                                                   const std::string &symbol);

} // namespace velka::authcheck

#endif
