// The command handlers of wendra: each declares its options, parses them, gathers the
// certificate names where it needs them and calls one command operation.
#include "dovecot/command_operations.h"
#include "maildata/MailDbOptions.h"
#include "wendra/ProgramOptionsHelper.h"
#include "wendra/option_values.h"
#include "wendra/wendra_commands.h"

#include <cstdint>
#include <iostream>
#include <string>

namespace po = boost::program_options;
namespace ops = velka::mail::dovecot::wendra_commands;

namespace velka::mail::wendra_commands {

namespace {

const char CERT_NAMES_HELP[] = "comma separated list of certificate names";
const char WAIT_STDIN_HELP[] = "wait for additional mail data from STDIN";

// A command that takes no option but help: parse, then run the operation.
int runWithoutOptions(const char *description, const char *usageLine, int argc, char **argv,
                      int (*operation)()) {
    ProgramOptionsHelper helper(description, usageLine);
    standardOptionsParse(helper, argc, argv);
    return operation();
}

int printLimit(const char *description, const char *usageLine, int argc, char **argv,
               std::uint32_t (*operation)()) {
    ProgramOptionsHelper helper(description, usageLine);
    standardOptionsParse(helper, argc, argv);
    std::cout << operation() << std::endl;
    return 0;
}

int setLimit(const char *description, const char *usageLine, const char *limitHelp, int argc,
             char **argv, int (*operation)(std::uint32_t)) {
    ProgramOptionsHelper helper(description, usageLine);
    helper.addOptions()("limit", po::value<PositiveMailServerLimit>(), limitHelp, true);
    standardOptionsParse(helper, argc, argv);
    return operation(helper.variables()["limit"].as<PositiveMailServerLimit>().limit);
}

// Under the write lock, applies operation to every recorded certificate in name order,
// then reloads once whatever the results; returns all results ORed together, or 1 with
// nothing done when the lock could not be had.
template <typename Operation>
int forEachCertificateThenReload(const MailDbOptionsProcessor &processor, Operation operation) {
    if (!ops::lockConfiguration())
        return 1;
    int result = 0;
    for (const auto &certificate : processor.certificates())
        result |= operation(certificate.first, certificate.second);
    return result | ops::reloadService(ops::IMAP_POP3_SERVICE_MASK);
}

} // namespace

int getImapConnectionsLimit(int argc, char **argv) {
    return printLimit("get POP3/IMAP/POP3s/IMAPs maximum connections limit",
                      "--get-connections-limit", argc, argv, ops::getConnectionsLimit);
}

int setImapConnectionsLimit(int argc, char **argv) {
    return setLimit("set POP3/IMAP maximum connections limit",
                    "--set-connections-limit --limit=<limit>",
                    "maximum number of connections for POP3/IMAP/POP3s/IMAPs services", argc, argv,
                    ops::setConnectionsLimit);
}

int getImapConnectionsPerIpLimit(int argc, char **argv) {
    return printLimit("get POP3/IMAP/POP3s/IMAPs connections limit per IP per mail name",
                      "--get-connections-per-ip-limit", argc, argv, ops::getConnectionsPerIpLimit);
}

int setImapConnectionsPerIpLimit(int argc, char **argv) {
    return setLimit("set POP3/IMAP/POP3s/IMAPs maximum connections limit per IP per mail name",
                    "--set-connections-per-ip-limit --limit=<limit>",
                    "maximum number of connections for POP3/IMAP/POP3s/IMAPs services per IP "
                    "address per mail name",
                    argc, argv, ops::setConnectionsPerIpLimit);
}

int enableMailboxLimitWarning(int argc, char **argv) {
    return runWithoutOptions("Notify customer when mailbox usage has reached over 95% limit",
                             "--quota-warning-enable", argc, argv, ops::enableMailboxLimitWarning);
}

int disableMailboxLimitWarning(int argc, char **argv) {
    return runWithoutOptions(
        "Do not notify customer when mailbox usage has reached over 95% limit.",
        "--quota-warning-disable", argc, argv, ops::disableMailboxLimitWarning);
}

int printFeatures(int argc, char **argv) {
    return runWithoutOptions(
        "return PHP code which reflects state of several features support in wendra", "--features",
        argc, argv, ops::printFeatures);
}

int installImapCertificate(int argc, char **argv) {
    ProgramOptionsHelper helper("install POP3s/IMAPs SSL certificate on domain",
                                "--install-certificate [--names=<name1,name2,...nameN> "
                                "--certfile=<path>]\n\t[--wait-stdin]");
    helper.addOptions()("names", po::value<CertNamesListTOpt>(), CERT_NAMES_HELP,
                        true)("certfile", po::value<std::string>(), "full path to certificate file",
                              true)("wait-stdin", WAIT_STDIN_HELP);
    standardOptionsParse(helper, argc, argv);

    MailDbOptionsProcessor processor(helper.variables());
    const po::variables_map &options = helper.variables();
    processor.withCerts(options["names"].as<CertNamesListTOpt>().names,
                        options["certfile"].as<std::string>());
    { MailDbStdinReader additional(processor, false); }

    return forEachCertificateThenReload(processor, ops::installCertificate);
}

int removeImapCertificate(int argc, char **argv) {
    ProgramOptionsHelper helper("remove POP3s/IMAPs SSL certificate from domain",
                                "--remove-certificate [--names=<name1,name2,...nameN>] "
                                "[--wait-stdin]");
    helper.addOptions()("names", po::value<CertNamesListTOpt>(), CERT_NAMES_HELP)("wait-stdin",
                                                                                  WAIT_STDIN_HELP);
    standardOptionsParse(helper, argc, argv);

    MailDbOptionsProcessor processor(helper.variables());
    const po::variables_map &options = helper.variables();
    if (!options.count("names")) {
        // The names can only come from standard input, so it is waited for.
        MailDbStdinReader required(processor, true);
    } else {
        processor.withCerts(options["names"].as<CertNamesListTOpt>().names, "");
        MailDbStdinReader additional(processor, false);
    }

    return forEachCertificateThenReload(
        processor,
        [](const std::string &name, const std::string &) { return ops::removeCertificate(name); });
}

} // namespace velka::mail::wendra_commands
