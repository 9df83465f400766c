// Include-file writer: the panel's Dovecot settings, one small include file each.
#include "dovecot/config_writer.h"

#include "dovecot/config_reader.h"
#include "dovecot/include_file.h"
#include "dovecot/service_control.h"
#include "dovecot/stop_signals.h"
#include "lib/process/lib/ChildLimits.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <iostream>
#include <string>

#include <pwd.h>

const char ADDITIONAL_SYMBOLS_FILENAME[] = "21-velka-additional-symbols.conf";

namespace velka::mail::dovecot {

namespace {

const char USERIP_CONNECTIONS_FILENAME[] = "92-velka-userip_connections.conf";
const char QUOTA_WARNING_FILENAME[] = "20-velka-quota-warning.conf";
const char AUTH_CUSTOM_FILENAME[] = "12-velka-auth-custom.conf";

const char QUOTA_WARNING_SCRIPT_DIR[] = "/usr/lib64/velka-9.0";
// The quota-warning service runs as this user; Dovecot's master refuses a service whose
// user does not exist, on a reload and at every start.
const char QUOTA_WARNING_USER[] = "popuser";

// A reload or restart of Dovecot takes seconds; a script still running after this long
// is stuck and is killed, so that it cannot hold the write lock for ever.
const int SERVICE_SCRIPT_TIME_LIMIT_SECONDS = 60;

const char APPLY_FAILED[] = "Unable to apply the Dovecot configuration: ";

bool userExistsInSystem(const char *name) {
    return getpwnam(name) != nullptr;
}

bool (*userExists)(const char *name) = userExistsInSystem;

// Writes body under the header; on failure reports message followed by the path.
int writeReporting(const std::string &path, const std::string &body, const char *message) {
    if (writeDovecotConfig(path, body) == 0)
        return 0;
    std::clog << message << path << std::endl;
    return -1;
}

// A batch that could not be written whole is not left half-written for the next
// reload: what it changed goes back, and the lock with it.
int abandonChanges() {
    undoDovecotChanges();
    unlockDovecotConfig();
    return -1;
}

int reloadIf(bool restart) {
    return restart ? restartDovecotService() : 0;
}

int _setDovecotConnectionsLimitForService(const std::string &service, const std::string &fileName,
                                          std::uint32_t limit) {
    return writeReporting(includeFilePath(fileName),
                          "service " + service +
                              " {\n"
                              "    service_restart_request_count = 1\n"
                              "    process_limit = " +
                              std::to_string(limit) +
                              "\n"
                              "}\n",
                          "Unable to set connection limit: can not create file ");
}

int _setDovecotClientLimitForService(const std::string &service, const std::string &fileName,
                                     std::uint32_t clientLimit) {
    return writeReporting(includeFilePath(fileName),
                          "service " + service +
                              " {\n"
                              "    client_limit = " +
                              std::to_string(clientLimit) +
                              "\n"
                              "}\n",
                          "Unable to set client limit: can not create file ");
}

} // namespace

void setUserExistsCheck(bool (*exists)(const char *name)) {
    userExists = exists ? exists : userExistsInSystem;
}

int setDovecotConnectionsPerIpPerUserLimit(std::uint32_t limit, bool restart) {
    if (writeReporting(includeFilePath(USERIP_CONNECTIONS_FILENAME),
                       "mail_max_userip_connections = " + std::to_string(limit) + "\n",
                       "Unable to set mail_max_userip_connections: can not create file ") != 0)
        return abandonChanges();
    return reloadIf(restart);
}

int setDovecotConnectionsLimit(std::uint32_t limit, bool restart) {
    struct ServiceFile {
        const char *service;
        const char *fileName;
    };
    static const ServiceFile PROCESS_LIMITED[] = {
        {"imap", "92-velka-service-imap.conf"},
        {"pop3", "92-velka-service-pop.conf"},
        {"imap-login", "92-velka-service-imap-login.conf"},
        {"pop3-login", "92-velka-service-pop-login.conf"},
    };
    static const ServiceFile CLIENT_LIMITED[] = {
        {"auth", "92-velka-service-auth.conf"},
        {"anvil", "92-velka-service-anvil.conf"},
    };
    // Unsigned 32-bit on purpose: limits above 2147483545 wrap, as they always have.
    const std::uint32_t clientLimit = 2 * limit + 204;

    for (const ServiceFile &f : PROCESS_LIMITED) {
        if (_setDovecotConnectionsLimitForService(f.service, f.fileName, limit) != 0)
            return abandonChanges();
    }
    for (const ServiceFile &f : CLIENT_LIMITED) {
        if (_setDovecotClientLimitForService(f.service, f.fileName, clientLimit) != 0)
            return abandonChanges();
    }
    return reloadIf(restart);
}

int enableDovecotLimitWarning() {
    // %{user} is Dovecot's own variable and stays as it is.
    const std::string body = std::string("quota user {\n"
                                         "  warning warn-velka-95-quota {\n"
                                         "    quota_storage_percentage = 95\n"
                                         "    execute quota-warning {\n"
                                         "      args = %{user}\n"
                                         "    }\n"
                                         "  }\n"
                                         "}\n"
                                         "\n"
                                         "service quota-warning {\n"
                                         "    executable = script ") +
                             QUOTA_WARNING_SCRIPT_DIR + "/send-quota-warning\n" +
                             "    user = popuser\n"
                             "    unix_listener quota-warning {\n"
                             "        user = popuser\n"
                             "    }\n"
                             "}\n";
    if (!userExists(QUOTA_WARNING_USER)) {
        std::clog << "Unable to configure quota warning notification: the user "
                  << QUOTA_WARNING_USER << " it runs as does not exist" << std::endl;
        return -1;
    }
    return writeReporting(includeFilePath(QUOTA_WARNING_FILENAME), body,
                          "Unable to configure quota warning notification: "
                          "cannot create/open file ");
}

int disableDovecotLimitWarning() {
    return removeDovecotConfig(includeFilePath(QUOTA_WARNING_FILENAME));
}

namespace {

void writeReport(const std::string &report) {
    std::string::size_type start = 0;
    while (start <= report.size()) {
        std::string::size_type end = report.find('\n', start);
        if (end == std::string::npos)
            end = report.size();
        std::clog << printableText(report.substr(start, end - start)) << std::endl;
        start = end + 1;
    }
}

// Runs the service-control script; a stop signal waits for it (see deferStopSignals).
int runServiceScript(const char *action) {
    ChildLimits limits = childLimits();
    limits.timeLimitMs = SERVICE_SCRIPT_TIME_LIMIT_SECONDS * 1000;
    ScopedChildLimits scope(limits);
    deferStopSignals(true);
    const time_t started = time(nullptr);
    const int result = invoke_velkarc_keep_fail_msg("dovecot", action);
    if (result != 0 && time(nullptr) - started >= SERVICE_SCRIPT_TIME_LIMIT_SECONDS)
        std::clog << "The service-control script did not finish within "
                  << SERVICE_SCRIPT_TIME_LIMIT_SECONDS << " seconds and was killed" << std::endl;
    deferStopSignals(false);
    return result;
}

// What became of the files: put back, or not all of them (each named above).
const char *restoredText(bool changed, bool restored) {
    if (!changed)
        return "";
    return restored ? " and the include files were put back as they were"
                    : ", and the include files named above could not be put back";
}

// The change is not applied: puts the files back and says why. A refusal is told apart
// from a configuration Dovecot already refused before this command changed anything,
// which only removing or mending the file doveconf names can cure.
int refuse(const std::string &report) {
    const bool changed = dovecotChangesPending();
    const bool restored = undoDovecotChanges() == 0;
    if (const int signo = pendingStopSignal()) {
        std::clog << "wendra was stopped by signal " << signo << " (" << strsignal(signo)
                  << "), so Dovecot was not reloaded" << restoredText(changed, restored) << "."
                  << std::endl;
        return 1;
    }
    std::string before;
    const bool refusedBefore = !changed || (restored && !checkDovecotConfig(before));
    if (refusedBefore)
        std::clog << APPLY_FAILED
                  << "doveconf rejected it already before this command changed anything, so "
                     "Dovecot was not reloaded"
                  << restoredText(changed, restored)
                  << "; mend or remove the file doveconf names:" << std::endl;
    else
        std::clog << APPLY_FAILED << "doveconf rejects it, so Dovecot was not reloaded"
                  << restoredText(changed, restored) << ":" << std::endl;
    writeReport(report);
    return 1;
}

} // namespace

int applyDovecotConfig(const char *action) {
    if (!lockDovecotConfig()) {
        undoDovecotChanges();
        return 1;
    }
    // Checked even when this run changed nothing: reload-or-restart of a configuration
    // Dovecot refuses could leave it stopped.
    std::string report;
    int result;
    if (pendingStopSignal() == 0 && checkDovecotConfig(report) && pendingStopSignal() == 0) {
        if (commitDovecotChanges() == 0) {
            result = runServiceScript(action);
        } else {
            std::clog << APPLY_FAILED
                      << "the include files named above could not be written, so Dovecot was "
                         "not reloaded and the others were put back as they were"
                      << std::endl;
            result = 1;
        }
    } else {
        result = refuse(report);
    }
    unlockDovecotConfig();
    return result;
}

} // namespace velka::mail::dovecot

using namespace velka::mail::dovecot;

extern "C" int enableDovecotSubaddressing(bool restart) {
    if (removeDovecotConfig(includeFilePath(ADDITIONAL_SYMBOLS_FILENAME)) != 0)
        return -1;
    return reloadIf(restart);
}

extern "C" int disableDovecotSubaddressing(bool restart) {
    const std::string path = includeFilePath(ADDITIONAL_SYMBOLS_FILENAME);
    // The digit run holds the zero twice, as it always has; the set is the same.
    if (writeDovecotConfig(path, "auth_username_chars = "
                                 "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                 "01234567890&.-_@+'\n") != 0) {
        const char *reason = strerror(errno);
        std::clog << "Unable to allow subaddressing symbols. "
                     "Cannot create/open a configure file file '"
                  << path << "' with error: " << reason << std::endl;
        return -1;
    }
    return reloadIf(restart);
}

extern "C" int setDovecotShortnameParams(bool allow, bool restart) {
    const std::string path = includeFilePath(AUTH_CUSTOM_FILENAME);
    if (allow) {
        if (writeReporting(path, "velka_allow_shortnames=yes\n",
                           "Unable to set 'allow_shortnames=yes' for Dovecot: "
                           "cannot create/open file ") != 0)
            return -1;
    } else if (removeDovecotConfig(path) != 0) {
        return -1;
    }
    return reloadIf(restart);
}

extern "C" int restartDovecotService(void) {
    return applyDovecotConfig("reload-or-restart");
}
