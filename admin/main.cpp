// velka-auth-admin: the administrator's command for the mail authentication
// database: create it with its key, and add, change, rename, list and check
// accounts and domains. Passwords are read from standard input or the terminal,
// never from the command line.
#include "admin/command_line.h"
#include "admin/locate.h"
#include "lib/log/velka_log.h"

#include <iostream>

#include <sys/prctl.h>
#include <syslog.h>
#include <unistd.h>

using namespace velka::admin;

int main(int argc, char **argv) {
    CommandLine line;
    std::string error;
    const ParseResult parsed = parseCommandLine(argc, argv, &line, &error);
    if (parsed == ParseResult::Help) {
        std::cout << USAGE;
        return EXIT_OK;
    }
    if (parsed == ParseResult::Invalid) {
        if (!error.empty())
            std::cerr << "velka-auth-admin: " << error << "\n";
        std::cerr << USAGE;
        return EXIT_USAGE;
    }
    if (geteuid() != 0) {
        std::cerr << "velka-auth-admin: must run as root\n";
        return EXIT_FAILED;
    }
    // A core file of this process could hold a password that was typed.
    prctl(PR_SET_DUMPABLE, 0);
    // The library's own messages say why an operation failed: the administrator
    // sees them, and syslog keeps them.
    velka_log_init(nullptr, LOG_WARNING, LOG_MAIL, LOG_PERROR, "velka-auth-admin");
    if (line.style >= 0) {
        selectLayout(line.style, &line.context);
    } else if (!locateFromConfig(line.configFile, &line.context, &error)) {
        std::cerr << "velka-auth-admin: " << error << "\n";
        return EXIT_FAILED;
    }
    return line.command->run(line.context);
}
