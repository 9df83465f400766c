// wendra's dispatcher: the table of command words, and the outermost handling of
// exceptions that turns each failure into a message and an exit status.
#include "wendra/wendra_commands.h"

#include "lib/errors/VelkaUtilException.h"
#include "lib/errors/reportException.h"
#include "lib/log/UtilityErrorStream.h"

#include <iostream>
#include <map>

namespace velka::mail::wendra_commands {

namespace {

struct CommandEntry {
    const char *word;
    CommandHandler handler;
};

// In this order: the command handlers, then the help commands.
const CommandEntry COMMAND_TABLE[] = {
    {"--get-connections-limit", getImapConnectionsLimit},
    {"--set-connections-limit", setImapConnectionsLimit},
    {"--get-connections-per-ip-limit", getImapConnectionsPerIpLimit},
    {"--set-connections-per-ip-limit", setImapConnectionsPerIpLimit},
    {"--install-certificate", installImapCertificate},
    {"--remove-certificate", removeImapCertificate},
    {"--quota-warning-enable", enableMailboxLimitWarning},
    {"--quota-warning-disable", disableMailboxLimitWarning},
    {"--features", printFeatures},
    {"-h", usageShortCmd},
    {"--help", usageShortCmd},
    {"--help-commands", usageCommandsCmd},
    {"--help-legacy", usageLegacyCmd},
    {"--help-stdin", usageStdinCmd},
};

} // namespace

CommandHandler findCommand(const std::string &word) {
    std::map<std::string, CommandHandler> table;
    for (const CommandEntry &entry : COMMAND_TABLE)
        table.emplace(entry.word, entry.handler); // a repeated word keeps its first handler
    auto found = table.find(word);
    return found == table.end() ? nullptr : found->second;
}

int runReportingFailures(const std::function<int()> &body) {
    try {
        return body();
    } catch (const VelkaUtilException &e) {
        std::cout << e.what() << std::endl;
        std::cerr << e.what() << std::endl;
        return 1;
    } catch (const std::exception &e) {
        reportException(e);
        return 1;
    } catch (...) {
        uerr << "UNSPECIFIED ERROR OCCURED" << std::endl;
        return 2;
    }
}

} // namespace velka::mail::wendra_commands

int do_main(int argc, char **argv) {
    using namespace velka::mail::wendra_commands;

    if (argc <= 1)
        wrongUsage("no command specified");
    CommandHandler handler = findCommand(argv[1]);
    if (!handler)
        wrongUsage(std::string("invalid command ") + argv[1]);
    return handler(argc - 1, argv + 1);
}
