// SystemError: a std::runtime_error carrying an errno value, with one subclass per
// errno value that callers catch separately, and the thrower that picks the class.
#ifndef VELKA_ERRORS_SYSTEMERROR_H
#define VELKA_ERRORS_SYSTEMERROR_H

#include <stdexcept>
#include <string>

namespace velka {

class SystemError : public std::runtime_error {
public:
    SystemError(const std::string &message, int error)
        : std::runtime_error(message), error(error) {}

    // "<message>: <strerror(error)>", or the strerror text alone for an empty message.
    const char *what() const noexcept override;
    int getError() const { return error; }

private:
    int error;
    mutable std::string whatText; // composed by the first what()
};

template <int N> class ExSystemError : public SystemError {
public:
    explicit ExSystemError(const std::string &message) : SystemError(message, N) {}
};

// Throws ExSystemError<N> for error 1, 2, 4, 10 or 11; any other value gives a plain
// SystemError, with 0 replaced by the current errno.
[[noreturn]] void throwSystemError(const std::string &message, int error);

} // namespace velka

#endif
