// reportException: the "Fatal error" report of an exception on velka::uerr.
#ifndef VELKA_ERRORS_REPORTEXCEPTION_H
#define VELKA_ERRORS_REPORTEXCEPTION_H

#include "lib/errors/Traceback.h"
#include "lib/log/UtilityErrorStream.h"

#include <ostream>
#include <string>
#include <typeinfo>

namespace velka {

// The demangled form of a type name from std::type_info::name() (a leading '*' is
// skipped); the raw name when it cannot be demangled.
std::string demangleTypeName(const char *name);

// Writes "Fatal error: <dynamic type>(<what()>)" and a newline to uerr, followed by the
// traceback when the exception object also is a Traceback.
template <class E> void reportException(const E &e) {
    uerr << "Fatal error: " << demangleTypeName(typeid(e).name()) << "(" << e.what() << ")"
         << std::endl;
    if (const Traceback *tb = dynamic_cast<const Traceback *>(&e))
        uerr << *tb;
}

} // namespace velka

#endif
