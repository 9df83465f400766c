// The four help texts of wendra, the command descriptions they are built from, and
// the report of a missing or unknown command.
#include "wendra/wendra_commands.h"

#include <cstdlib>
#include <cstring>
#include <iostream>

namespace velka::mail::wendra_commands {

const CommandDescription commandDescriptions[COMMAND_DESCRIPTION_COUNT] = {
    {"--get-connections-limit", "", "returns POP3/IMAP/POP3s/IMAPs maximum connections limit"},
    {"--set-connections-limit", "--limit=<limit>",
     "sets POP3/IMAP/POP3s/IMAPs maximum connections limit, <limit> is positive integer number"},
    {"--get-connections-per-ip-limit", "",
     "returns POP3/IMAP/POP3s/IMAPs maximum connections limit per IP per mail name"},
    {"--set-connections-per-ip-limit", "--limit=<limit>",
     "sets POP3/IMAP/POP3s/IMAPs maximum connections limit per IP per mail name, <limit> is "
     "positive integer number"},
    {"--install-certificate", "--names=<name1,name2,...nameN> --certfile=<full filename>",
     "sets IMAP/POP3 certificate to the specified domain"},
    {"--remove-certificate", "--names=<name1,name2,...nameN>", "moves IMAP/POP3 certificate"},
    {"--quota-warning-enable", "", "Notify customer when mailbox usage has reached over 95% limit"},
    {"--quota-warning-disable", "",
     "Do not notify customer when mailbox usage has reached over 95% limit."},
    {"--features", "",
     "returns PHP code which reflects state of several features support in wendra"},
    {"--help-commands", "", "displays wendra commands list and exit"},
    {"--help-legacy", "", "displays legacy wendra help and exit"},
    {"-h, --help", "", "displays wendra usage summary and exit"},
};

namespace {

[[noreturn]] void finish(int status, std::ostream &stream) {
    stream.flush();
    std::exit(status);
}

} // namespace

void usageShort(int status, std::ostream &stream) {
    stream << "Usage: wendra <COMMAND> <COMMAND OPTIONS...>\n"
              "\t for a complete list of commands use ``wendra --help-commands''\n"
              "\t for help on syntax for a particular command use ``wendra <COMMAND> --help''\n"
              "\t for legacy complete help use ``wendra --help-legacy''\n";
    finish(status, stream);
}

void usageCommands(int status, std::ostream &stream) {
    size_t width = 0;
    for (const CommandDescription &row : commandDescriptions)
        width = std::max(width, std::strlen(row.command));
    width += 2;

    stream << "Wendra commands:\n";
    for (const CommandDescription &row : commandDescriptions) {
        stream << row.command << std::string(width - std::strlen(row.command), ' ')
               << row.description << '\n';
    }
    finish(status, stream);
}

void usageLegacy(int status, std::ostream &stream) {
    stream << "Usage: wendra [OPTIONS]... \n";
    for (const CommandDescription &row : commandDescriptions)
        stream << "  " << row.command << ' ' << row.syntax << "\n        " << row.description
               << '\n';
    finish(status, stream);
}

// The standard-input document is described with the mail data, not here.
void usageStdin(int status, std::ostream &stream) {
    finish(status, stream);
}

void wrongUsage(const std::string &message) {
    if (!message.empty())
        std::cerr << "Error: " << message << '\n';
    usageShort(1, std::cerr);
}

int usageShortCmd(int, char **) {
    usageShort(0, std::cout);
}

int usageCommandsCmd(int, char **) {
    usageCommands(0, std::cout);
}

int usageLegacyCmd(int, char **) {
    usageLegacy(0, std::cout);
}

int usageStdinCmd(int, char **) {
    usageStdin(0, std::cout);
}

} // namespace velka::mail::wendra_commands
