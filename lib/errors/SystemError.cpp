// SystemError's text and the class-picking thrower.
#include "lib/errors/SystemError.h"

#include <cerrno>
#include <cstring>

namespace velka {

const char *SystemError::what() const noexcept {
    if (!whatText.empty())
        return whatText.c_str();
    const char *m = std::runtime_error::what();
    try {
        std::string text;
        if (*m != '\0') {
            text = m;
            text += ": ";
        }
        text += std::strerror(error);
        whatText = std::move(text);
        return whatText.c_str();
    } catch (...) {
        return m;
    }
}

void throwSystemError(const std::string &message, int error) {
    switch (error) {
    case 1:
        throw ExSystemError<1>(message);
    case 2:
        throw ExSystemError<2>(message);
    case 4:
        throw ExSystemError<4>(message);
    case 10:
        throw ExSystemError<10>(message);
    case 11:
        throw ExSystemError<11>(message);
    case 0:
        throw SystemError(message, errno);
    default:
        throw SystemError(message, error);
    }
}

} // namespace velka
