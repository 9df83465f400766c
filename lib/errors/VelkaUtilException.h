// VelkaUtilException: a failure whose text main prints as a plain message.
#ifndef VELKA_ERRORS_VELKAUTILEXCEPTION_H
#define VELKA_ERRORS_VELKAUTILEXCEPTION_H

#include <stdexcept>

namespace velka {

class VelkaUtilException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace velka

#endif
