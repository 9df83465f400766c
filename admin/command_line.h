// The command line of velka-auth-admin: where the database is, the command, its
// words and its options, checked before anything is read or changed.
#ifndef VELKA_ADMIN_COMMAND_LINE_H
#define VELKA_ADMIN_COMMAND_LINE_H

#include "admin/context.h"

#include <string>

namespace velka::admin {

extern const char USAGE[];

// Options a command accepts besides its words.
enum CommandOption : unsigned {
    OPTION_PASSWORD_FORM = 1, // --crypt, --hash
    OPTION_JSON = 2,          // --json
};

struct Command {
    const char *name;
    int (*run)(const AdminContext &);
    size_t minWords, maxWords;
    unsigned options;
};

struct CommandLine {
    std::string configFile = "/etc/dovecot/dovecot.conf";
    int style = -1; // given with --style; -1 to read configFile
    const Command *command = nullptr;
    AdminContext context;
};

enum class ParseResult { Ok, Help, Invalid };

// Invalid with a message in error (empty when the usage text says it all).
ParseResult parseCommandLine(int argc, char **argv, CommandLine *line, std::string *error);

} // namespace velka::admin

#endif
