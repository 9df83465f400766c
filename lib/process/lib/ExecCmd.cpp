// ExecCmd: runs of external programs, their command-line text and failure reports.
#include "lib/process/lib/ExecCmd.h"

#include "lib/errors/SystemError.h"
#include "lib/process/lib/Pump.h"
#include "lib/util/shell_quote.h"

#include <boost/format.hpp>

#include <cerrno>
#include <cstring>

#include <sys/random.h>

namespace velka {

namespace {

// "<name> is\n<text>" ending in exactly one line feed; nothing for an empty text.
std::string prepare_output_string(const std::string &name, const std::string &text) {
    if (text.empty())
        return std::string();
    const char *end = text.back() == '\n' ? "" : "\n";
    return (boost::format("%1% is\n%2%%3%") % name % text % end).str();
}

} // namespace

ExecCmd::ExecCmd(const std::string &path) : path(path) {
    args.add(path);
}

ExecCmd &ExecCmd::operator<<(const std::string &arg) {
    args.add(arg);
    return *this;
}

void ExecCmd::setEnv(const std::string &name, const std::string &value) {
    env[name] = value;
}

int ExecCmd::exec() {
    execCmdLine();
    if (returnCode != 0)
        reportError();
    return 0;
}

int ExecCmd::exec(const std::nothrow_t &) {
    try {
        return execCmdLine();
    } catch (...) {
        return returnCode;
    }
}

int ExecCmd::execCmdLine() {
    started = true;
    errno = 0;
    const int result = forkExecvGetInOutErrSuidEnv(std::string(stdinText), stdoutText, stderrText,
                                                   path, args, user, chdirHome, env);
    returnCode = result;
    savedErrno = errno;
    lastError = savedErrno != 0 ? std::strerror(savedErrno) : "";
    finished = true;
    return returnCode;
}

std::string ExecCmd::getString() const {
    std::string line;
    for (size_t i = 0; i < args.size(); ++i) {
        if (i > 0)
            line += ' ';
        const std::string arg = args[i];
        line += arg.empty() ? std::string("''") : sh_quote(arg);
    }
    return line;
}

void ExecCmd::reportError() const {
    throw ExecCmdFailed("ExecCmd::ExFailed",
                        "Execution of %1% failed with return code %2%.\n%3%%4%%5%%6%", 30,
                        __PRETTY_FUNCTION__, "lib/process/lib/ExecCmd", __LINE__) %
        getString() % returnCode % prepare_output_string("Stdin", stdinText) %
        prepare_output_string("Stdout", stdoutText) % prepare_output_string("Stderr", stderrText) %
        prepare_output_string("Last error", lastError);
}

std::string getReport(const ExecCmd &cmd) {
    std::string report = "The return code was " + std::to_string(cmd.returnCode);
    if (!cmd.stdoutText.empty())
        report += " \nThe output on STDOUT was: \n" + cmd.stdoutText;
    else
        report += " \nNo output on STDOUT were performed by the utility";
    if (!cmd.stderrText.empty())
        report += " \nThe output on STDERR was: \n" + cmd.stderrText;
    else
        report += " \nNo output on STDERR were performed by the utility";
    if (!cmd.lastError.empty())
        report += " \nThe last error was: \n" + cmd.lastError;
    return report;
}

std::string newUUID() {
    static const char HEX[] = "0123456789abcdef";
    std::string uuid = "xxxxxxxx-xxxx-4xxx-8xxx-xxxxxxxxxxxx";
    unsigned char random[16]; // one nibble per "x": 30 of the 32 are used
    size_t got = 0;
    while (got < sizeof random) {
        const ssize_t n = getrandom(random + got, sizeof random - got, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throwSystemError("newUUID: getrandom() failed", errno);
        }
        got += static_cast<size_t>(n);
    }
    size_t nibble = 0;
    for (char &c : uuid) {
        if (c != 'x')
            continue;
        const unsigned char byte = random[nibble / 2];
        c = HEX[(nibble % 2 ? byte >> 4 : byte) & 15];
        ++nibble;
    }
    return uuid;
}

} // namespace velka
