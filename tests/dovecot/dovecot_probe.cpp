// Test driver for the Dovecot configuration functions: runs one function per command
// line and prints its result, so that tests can drive them inside the Dovecot test bed.
//
//   dovecot_probe read NAME | get-limit | get-per-ip-limit | features
//   dovecot_probe set-limit N RESTART | set-per-ip-limit N RESTART
//   dovecot_probe quota-warning on|off | subaddressing on|off RESTART
//   dovecot_probe shortnames on|off RESTART | reload | reload-service MASK
//   dovecot_probe install-cert NAME PATH | remove-cert NAME | remove-all-certs
//
// Prints "result N" (or the value read) on standard output; an exception prints
// "exception: TEXT" and exits 2, a usage error exits 64.
#include "dovecot/certificates.h"
#include "dovecot/command_operations.h"
#include "dovecot/config_reader.h"
#include "dovecot/config_writer.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>

namespace {

using namespace velka::mail::dovecot;

[[noreturn]] void usage() {
    std::cerr << "dovecot_probe: bad arguments" << std::endl;
    exit(64);
}

bool flag(const std::string &arg) {
    if (arg == "1" || arg == "on")
        return true;
    if (arg == "0" || arg == "off")
        return false;
    usage();
}

std::uint32_t number(const std::string &arg) {
    return static_cast<std::uint32_t>(std::stoul(arg));
}

int run(int argc, char **argv) {
    if (argc < 2)
        usage();
    const std::string cmd = argv[1];
    auto arg = [&](int i) -> std::string {
        if (i + 1 >= argc)
            usage();
        return argv[i + 1];
    };

    if (cmd == "read") {
        std::cout << readParamFromConfig(arg(1)) << std::endl;
        return 0;
    }
    if (cmd == "get-limit") {
        std::cout << wendra_commands::getConnectionsLimit() << std::endl;
        return 0;
    }
    if (cmd == "get-per-ip-limit") {
        std::cout << wendra_commands::getConnectionsPerIpLimit() << std::endl;
        return 0;
    }
    if (cmd == "features")
        return wendra_commands::printFeatures();

    int result;
    if (cmd == "set-limit")
        result = setDovecotConnectionsLimit(number(arg(1)), flag(arg(2)));
    else if (cmd == "set-per-ip-limit")
        result = setDovecotConnectionsPerIpPerUserLimit(number(arg(1)), flag(arg(2)));
    else if (cmd == "quota-warning")
        result = flag(arg(1)) ? enableDovecotLimitWarning() : disableDovecotLimitWarning();
    else if (cmd == "subaddressing")
        result = flag(arg(1)) ? enableDovecotSubaddressing(flag(arg(2)))
                              : disableDovecotSubaddressing(flag(arg(2)));
    else if (cmd == "shortnames")
        result = setDovecotShortnameParams(flag(arg(1)), flag(arg(2)));
    else if (cmd == "reload")
        result = restartDovecotService();
    else if (cmd == "reload-service")
        result = wendra_commands::reloadService(number(arg(1)));
    else if (cmd == "install-cert")
        result = installDovecotCertificate(arg(1), arg(2));
    else if (cmd == "remove-cert")
        result = removeDovecotCertificate(arg(1));
    else if (cmd == "remove-all-certs")
        result = removeDovecotAllDomainCertificates();
    else
        usage();
    std::cout << "result " << result << std::endl;
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception &e) {
        std::cout << "exception: " << e.what() << std::endl;
        return 2;
    }
}
