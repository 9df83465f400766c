// Entry side of wendra: the command handler type, the command table's descriptions,
// the help texts, the command handlers and the dispatcher.
#ifndef VELKA_WENDRA_WENDRA_COMMANDS_H
#define VELKA_WENDRA_WENDRA_COMMANDS_H

#include <functional>
#include <ostream>
#include <string>

namespace velka::mail::wendra_commands {

// Receives the arguments from the command word on; returns the exit status.
typedef int (*CommandHandler)(int argc, char **argv);

struct CommandDescription {
    const char *command;     // as shown in help
    const char *syntax;      // its options, empty when it takes none
    const char *description; // one line
};

constexpr int COMMAND_DESCRIPTION_COUNT = 12;
extern const CommandDescription commandDescriptions[COMMAND_DESCRIPTION_COUNT];

// Each writes its text to the stream and ends the process with exit(status).
[[noreturn]] void usageShort(int status, std::ostream &stream);
[[noreturn]] void usageCommands(int status, std::ostream &stream);
[[noreturn]] void usageLegacy(int status, std::ostream &stream);
[[noreturn]] void usageStdin(int status, std::ostream &stream);

// "Error: <message>" (unless empty) and the short usage on standard error; exit 1.
[[noreturn]] void wrongUsage(const std::string &message);

// Help commands: print on standard output and exit 0, whatever the arguments.
int usageShortCmd(int argc, char **argv);
int usageCommandsCmd(int argc, char **argv);
int usageLegacyCmd(int argc, char **argv);
int usageStdinCmd(int argc, char **argv);

// Command handlers: each parses its options, calls its command operation and returns
// the exit status.
int getImapConnectionsLimit(int argc, char **argv);
int setImapConnectionsLimit(int argc, char **argv);
int getImapConnectionsPerIpLimit(int argc, char **argv);
int setImapConnectionsPerIpLimit(int argc, char **argv);
int installImapCertificate(int argc, char **argv);
int removeImapCertificate(int argc, char **argv);
int enableMailboxLimitWarning(int argc, char **argv);
int disableMailboxLimitWarning(int argc, char **argv);
int printFeatures(int argc, char **argv);

// The handler of a command word (exact, case-sensitive match), or null.
CommandHandler findCommand(const std::string &word);

// Runs body and turns what escapes it into the exit status: VelkaUtilException -> its
// text on standard output and standard error, 1; other std::exception -> the fatal-error
// report on uerr, 1; anything else -> "UNSPECIFIED ERROR OCCURED" on uerr, 2.
int runReportingFailures(const std::function<int()> &body);

} // namespace velka::mail::wendra_commands

// Dispatches argv[1] to its handler with argc - 1, argv + 1; a missing or unknown
// command ends the process through wrongUsage().
int do_main(int argc, char **argv);

#endif
