// The terminal's echo switched off while a password is typed, and switched on
// again however the process leaves: normally, by an exception, or by a signal
// (the signal then takes its usual course). A stop (Ctrl-Z) gives the shell its
// echo back, and a continue takes it away again.
#ifndef VELKA_ADMIN_TERMINAL_ECHO_H
#define VELKA_ADMIN_TERMINAL_ECHO_H

namespace velka::admin {

class EchoOff {
public:
    // fd is the terminal; ok() tells whether its echo is off.
    explicit EchoOff(int fd);
    ~EchoOff();
    EchoOff(const EchoOff &) = delete;
    EchoOff &operator=(const EchoOff &) = delete;

    bool ok() const { return ok_; }

private:
    bool ok_ = false;
};

} // namespace velka::admin

#endif
