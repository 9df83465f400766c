// Configuration reader: settings in force, read through doveconf, never parsed here.
#include "dovecot/config_reader.h"

#include "lib/process/lib/ChildLimits.h"
#include "lib/process/lib/ExecCmd.h"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <boost/lexical_cast.hpp>

#include <cerrno>
#include <cstdlib>
#include <new>
#include <stdexcept>

namespace velka::mail::dovecot {

namespace {

std::string doveconf_bin = "/usr/bin/doveconf";

// doveconf answers in tens of milliseconds; one that takes this long is stuck on a file
// (a FIFO named as a certificate blocks it, deaf to SIGTERM) and is killed.
const int DOVECONF_TIME_LIMIT_SECONDS = 30;
// What Dovecot's master runs before it starts: doveconf checks the whole configuration
// as the config process will load it (reading every file it names, which "-n" does
// not) and then runs the program given, which needs nothing from it.
const char *const MASTER_CHECK_ARGS[] = {"-C", "-F", "/bin/true"};
// The config process runs under Dovecot's default vsz_limit; a configuration that needs
// more (a huge file named as a certificate) is refused there, so the check gets the
// same room, and as much for the file its dump goes to.
const rlim_t CONFIG_PROCESS_MEMORY_BYTES = 256 * 1024 * 1024;

// doveconf, reading the file DC_CONFIG_PATH names when it is set. Looked up at every
// run: set but empty still means "-c" with an empty path.
ExecCmd doveconfCommand() {
    ExecCmd cmd(doveconf_bin);
    if (const char *config = std::getenv("DC_CONFIG_PATH"))
        cmd << "-c" << config;
    return cmd;
}

ChildLimits doveconfLimits(bool asConfigProcess) {
    ChildLimits limits = childLimits(); // keeps the stop request of a writing command
    limits.timeLimitMs = DOVECONF_TIME_LIMIT_SECONDS * 1000;
    if (asConfigProcess) {
        limits.addressSpaceBytes = CONFIG_PROCESS_MEMORY_BYTES;
        limits.fileSizeBytes = CONFIG_PROCESS_MEMORY_BYTES;
    }
    return limits;
}

// Decimal digits with one optional sign, a minus wrapping modulo 2^32: the forms
// boost::lexical_cast<unsigned int> accepts.
bool toLimit(const std::string &value, std::uint32_t &limit) {
    try {
        limit = boost::lexical_cast<unsigned int>(value);
        return true;
    } catch (const boost::bad_lexical_cast &) {
        return false;
    }
}

// A service setting whose value 0 means "use the global default".
std::string readWithDefault(const std::string &name, const std::string &defaultName) {
    std::string value = readParamFromConfig(name);
    if (value == "0")
        value = readParamFromConfig(defaultName);
    return value;
}

std::uint32_t serviceLimit(const std::string &name, const std::string &defaultName) {
    const std::string value = readWithDefault(name, defaultName);
    std::uint32_t limit;
    if (!toLimit(value, limit))
        throw std::runtime_error("Unable to convert service '" + name + "' limit (" + value +
                                 ") to integer");
    return limit;
}

} // namespace

void setDoveconfPath(const std::string &path) {
    doveconf_bin = path;
}

std::string readParamFromConfig(const std::string &name) {
    ExecCmd cmd = doveconfCommand();
    cmd << "-h" << name;
    ScopedChildLimits limits(doveconfLimits(false));
    cmd.exec();
    return boost::algorithm::trim_right_copy_if(cmd.stdoutText, boost::algorithm::is_space());
}

bool checkDovecotConfig(std::string &report) {
    ExecCmd cmd = doveconfCommand();
    for (const char *arg : MASTER_CHECK_ARGS)
        cmd << arg;
    int status;
    {
        ScopedChildLimits limits(doveconfLimits(true));
        status = cmd.exec(std::nothrow);
    }
    if (status == 0)
        return true;
    report = boost::algorithm::trim_right_copy_if(cmd.stderrText, boost::algorithm::is_space());
    if (cmd.savedErrno == ETIME) {
        if (!report.empty())
            report += "\n";
        report += cmd.getString() + " did not finish within " +
                  std::to_string(DOVECONF_TIME_LIMIT_SECONDS) + " seconds and was killed";
    } else if (cmd.savedErrno == ECANCELED) {
        report = cmd.getString() + " was stopped by a signal to wendra";
    } else if (report.empty()) {
        report = cmd.getString() + (cmd.started ? " ended with status " + std::to_string(status)
                                                : std::string(" could not be run"));
        if (!cmd.lastError.empty())
            report += ": " + cmd.lastError;
    }
    return false;
}

std::uint32_t getDovecotConnectionsPerIpPerUserLimit() {
    std::string value;
    try {
        value = readParamFromConfig("mail_max_userip_connections");
    } catch (const ExecCmdFailed &e) {
        throw std::runtime_error(
            std::string("Unable to get dovecot per IP address per mail name connections limit: ") +
            e.what());
    }
    std::uint32_t limit;
    if (!toLimit(value, limit))
        throw std::runtime_error("Unable to convert mail_max_userip_connections limit to integer(" +
                                 value + ")");
    return limit;
}

std::uint32_t getDovecotConnectionsLimit() {
    try {
        const std::string restartCount =
            readParamFromConfig("service/imap/service_restart_request_count");
        const std::uint32_t processLimit =
            serviceLimit("service/imap/process_limit", "default_process_limit");
        if (restartCount == "1")
            return processLimit;
        const std::uint32_t clientLimit =
            serviceLimit("service/imap/client_limit", "default_client_limit");
        return processLimit * clientLimit;
    } catch (const ExecCmdFailed &e) {
        throw std::runtime_error(std::string("Unable to get dovecot connections limit: ") +
                                 e.what());
    }
}

} // namespace velka::mail::dovecot
