// Command operations of wendra over the Dovecot configuration.
#include "dovecot/command_operations.h"

#include "dovecot/certificates.h"
#include "dovecot/config_reader.h"
#include "dovecot/config_writer.h"
#include "dovecot/include_file.h"
#include "dovecot/service_control.h"

namespace velka::mail::dovecot::wendra_commands {

namespace {

const char ACTION_RELOAD[] = "reload-or-restart";
const char ACTION_RESTART[] = "restart";

int failed(int result) {
    return result != 0 ? 1 : 0;
}

} // namespace

int printFeatures() {
    print_feature("IMAP_POP3_Server", "Dovecot");
    print_feature("IMAP_POP3_Server_package", "dovecot");
    print_feature("IMAP_POP3_Domain_SetCertificate", "true");
    return 0;
}

std::uint32_t getConnectionsLimit() {
    return getDovecotConnectionsLimit();
}

std::uint32_t getConnectionsPerIpLimit() {
    return getDovecotConnectionsPerIpPerUserLimit();
}

bool lockConfiguration() {
    return beginDovecotChanges();
}

int setConnectionsLimit(std::uint32_t limit) {
    if (!beginDovecotChanges())
        return 1;
    return failed(setDovecotConnectionsLimit(limit, true));
}

int setConnectionsPerIpLimit(std::uint32_t limit) {
    if (!beginDovecotChanges())
        return 1;
    return failed(setDovecotConnectionsPerIpPerUserLimit(limit, true));
}

int installCertificate(const std::string &name, const std::string &certFile) {
    return failed(installDovecotCertificate(name, certFile));
}

int removeCertificate(const std::string &name) {
    return failed(removeDovecotCertificate(name));
}

int enableMailboxLimitWarning() {
    if (!beginDovecotChanges())
        return 1;
    if (enableDovecotLimitWarning() != 0) {
        unlockDovecotConfig();
        return 1;
    }
    return applyDovecotConfig(ACTION_RELOAD);
}

int disableMailboxLimitWarning() {
    if (!beginDovecotChanges())
        return 1;
    if (disableDovecotLimitWarning() != 0) {
        unlockDovecotConfig();
        return 1;
    }
    return applyDovecotConfig(ACTION_RELOAD);
}

int restartService(std::uint32_t serviceMask) {
    if ((serviceMask & IMAP_POP3_SERVICE_MASK) == 0)
        return 0;
    return applyDovecotConfig(ACTION_RESTART);
}

int reloadService(std::uint32_t serviceMask) {
    if ((serviceMask & IMAP_POP3_SERVICE_MASK) == 0)
        return 0;
    return applyDovecotConfig(ACTION_RELOAD);
}

} // namespace velka::mail::dovecot::wendra_commands
