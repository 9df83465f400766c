#include "admin/command_line.h"

#include "admin/commands.h"
#include "admin/locate.h"
#include "admin/rotate_key.h"

#include <cstring>

namespace velka::admin {

const char USAGE[] =
    "usage: velka-auth-admin [-c FILE | --style qmail|postfix] COMMAND [ARGUMENTS]\n"
    "  init                              create the database and its key (refused when either "
    "exists)\n"
    "  add ADDRESS [--crypt | --hash]    add an account\n"
    "  passwd ADDRESS [--crypt | --hash] change an account's password\n"
    "  remove ADDRESS\n"
    "  rename OLD-ADDRESS NEW-ADDRESS    (same domain)\n"
    "  domain enable|disable|remove DOMAIN\n"
    "  domain rename DOMAIN NEW-DOMAIN\n"
    "  list [DOMAIN] [--json]\n"
    "  show ADDRESS [--json]\n"
    "  verify\n"
    "  rotate-key\n"
    "Exit status: 0 success, 1 failure, 2 usage.\n";

namespace {

bool domainWords(const std::vector<std::string> &words) {
    const std::string &action = words[0];
    if (action == "rename")
        return words.size() == 3;
    return (action == "enable" || action == "disable" || action == "remove") && words.size() == 2;
}

struct CommandEntry {
    Command command;
    bool (*wordsValid)(const std::vector<std::string> &); // beyond their count; may be null
};

const CommandEntry COMMANDS[] = {
    {{"init", runInit, 0, 0, 0}, nullptr},
    {{"add", runAdd, 1, 1, OPTION_PASSWORD_FORM}, nullptr},
    {{"passwd", runPasswd, 1, 1, OPTION_PASSWORD_FORM}, nullptr},
    {{"remove", runRemove, 1, 1, 0}, nullptr},
    {{"rename", runRename, 2, 2, 0}, nullptr},
    {{"domain", runDomain, 2, 3, 0}, domainWords},
    {{"list", runList, 0, 1, OPTION_JSON}, nullptr},
    {{"show", runShow, 1, 1, OPTION_JSON}, nullptr},
    {{"verify", runVerify, 0, 0, 0}, nullptr},
    {{"rotate-key", runRotateKey, 0, 0, 0}, nullptr},
};

const CommandEntry *findCommand(const std::string &name) {
    for (const CommandEntry &entry : COMMANDS)
        if (name == entry.command.name)
            return &entry;
    return nullptr;
}

// One option of a command into ctx; false when the command takes no such option
// or it contradicts one given before.
bool takeOption(const std::string &arg, unsigned accepted, AdminContext *ctx, bool *formGiven,
                std::string *error) {
    if ((accepted & OPTION_PASSWORD_FORM) && (arg == "--crypt" || arg == "--hash")) {
        if (*formGiven) {
            *error = "--crypt and --hash exclude each other";
            return false;
        }
        *formGiven = true;
        ctx->form = arg == "--crypt" ? PasswordForm::Crypt : PasswordForm::Hash;
        return true;
    }
    if ((accepted & OPTION_JSON) && arg == "--json") {
        ctx->json = true;
        return true;
    }
    *error = "unknown option " + arg;
    return false;
}

// The options before the command: -c FILE or --style NAME. Returns the index of
// the command word, or -1.
int parseGlobalOptions(int argc, char **argv, CommandLine *line, std::string *error) {
    bool configGiven = false;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        const std::string arg = argv[i];
        std::string value;
        if ((arg == "-c" || arg == "--style") && i + 1 < argc)
            value = argv[++i];
        else if (arg.rfind("--style=", 0) == 0)
            value = arg.substr(8);
        else {
            *error = "unknown option " + arg;
            return -1;
        }
        if (configGiven || line->style >= 0) {
            *error = "-c and --style name the database once";
            return -1;
        }
        if (arg == "-c") {
            configGiven = true;
            line->configFile = value;
        } else if ((line->style = styleNamed(value)) < 0) {
            *error = "--style takes qmail or postfix";
            return -1;
        }
    }
    return i;
}

} // namespace

ParseResult parseCommandLine(int argc, char **argv, CommandLine *line, std::string *error) {
    for (int i = 1; i < argc; ++i)
        if (!std::strcmp(argv[i], "-h") || !std::strcmp(argv[i], "--help"))
            return ParseResult::Help;
    const int first = parseGlobalOptions(argc, argv, line, error);
    if (first < 0 || first >= argc)
        return ParseResult::Invalid;
    const CommandEntry *entry = findCommand(argv[first]);
    if (entry == nullptr) {
        *error = std::string("unknown command ") + argv[first];
        return ParseResult::Invalid;
    }
    line->command = &entry->command;
    AdminContext &ctx = line->context;
    bool formGiven = false;
    for (int i = first + 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.size() > 1 && arg[0] == '-') {
            if (!takeOption(arg, entry->command.options, &ctx, &formGiven, error))
                return ParseResult::Invalid;
        } else {
            ctx.args.push_back(arg);
        }
    }
    const size_t words = ctx.args.size();
    if (words < entry->command.minWords || words > entry->command.maxWords ||
        (entry->wordsValid != nullptr && !entry->wordsValid(ctx.args))) {
        *error = std::string("wrong arguments for ") + entry->command.name;
        return ParseResult::Invalid;
    }
    return ParseResult::Ok;
}

} // namespace velka::admin
