// Per-command option parsing: declaring options, parsing with the fixed style, the
// help option, mandatory options and the usage text.
#include "wendra/ProgramOptionsHelper.h"

#include "lib/log/UtilityErrorStream.h"

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <map>

namespace po = boost::program_options;

namespace velka::mail::wendra_commands {

namespace {

// The library's default style without guessing abbreviated option names:
// --name=value, --name value, -h and the like; "/" is no option prefix.
constexpr int PARSE_STYLE =
    po::command_line_style::default_style & ~po::command_line_style::allow_guessing;
static_assert(PARSE_STYLE == 503, "the command-line style wendra has always used");

const char HELP_OPTION[] = "help,h";
const char HELP_DESCRIPTION[] = "displays this help message";
const char MANDATORY_SUFFIX[] = " (mandatory)";

UsageExitFunction usageExit = nullptr;

// "limit" of "limit" or "help" of "help,h".
std::string longName(const char *name) {
    std::string text(name);
    return text.substr(0, text.find(','));
}

std::string describe(const char *description, bool mandatory) {
    return mandatory ? std::string(description) + MANDATORY_SUFFIX : std::string(description);
}

// Reaches the library's table of placeholder values of an option error and the message
// it formats from them (what() returns it as a C string, cut at the first NUL).
struct SubstitutionAccess : po::error_with_option_name {
    static std::map<std::string, std::string> po::error_with_option_name::*table() {
        return &SubstitutionAccess::m_substitutions;
    }
    static std::string po::error_with_option_name::*message() {
        return &SubstitutionAccess::m_message;
    }
};

// The library substitutes a placeholder such as %original_token% until none is left,
// so an argument containing one made it loop for ever. Arguments cannot hold NUL: a '%'
// of a substituted value travels as NUL and comes back afterwards, which leaves every
// other message exactly as the library writes it.
std::string optionErrorMessage(po::error &error) {
    auto *named = dynamic_cast<po::error_with_option_name *>(&error);
    if (!named)
        return error.what();
    for (auto &entry : named->*SubstitutionAccess::table())
        std::replace(entry.second.begin(), entry.second.end(), '%', '\0');
    named->what();
    std::string message = named->*SubstitutionAccess::message();
    std::replace(message.begin(), message.end(), '\0', '%');
    return message;
}

} // namespace

ProgramOptionsHelper::OptionAppender &
ProgramOptionsHelper::OptionAppender::operator()(const char *name, const char *description,
                                                 bool mandatory) {
    // A flag is an option whose value semantic takes no token.
    return (*this)(name, new po::untyped_value(true), description, mandatory);
}

ProgramOptionsHelper::OptionAppender &ProgramOptionsHelper::OptionAppender::operator()(
    const char *name, const po::value_semantic *semantic, const char *description, bool mandatory) {
    helper_.options_.add_options()(name, semantic, describe(description, mandatory).c_str());
    if (mandatory)
        helper_.mandatory_.push_front(longName(name));
    return *this;
}

ProgramOptionsHelper::ProgramOptionsHelper(const std::string &description,
                                           const std::string &usageLine)
    : options_("Allowed options to " + description), description_(description),
      usageLine_(usageLine) {}

void ProgramOptionsHelper::parse(int argc, char **argv) {
    addOptions()(HELP_OPTION, HELP_DESCRIPTION);
    po::store(po::parse_command_line(argc, argv, options_, PARSE_STYLE), variables_);
    po::notify(variables_);
    if (variables_.count("help"))
        usage(0, std::cout);
    for (const std::string &name : mandatory_) {
        if (!variables_.count(name))
            throw MissingMandatoryOption("mandatory option \"--" + name + "\" is not specified");
    }
}

void ProgramOptionsHelper::usage(int status, std::ostream &stream) const {
    stream << description_ << '\n' << "Usage: " << usageLine_ << '\n' << options_ << '\n';
    stream.flush();
    if (usageExit)
        usageExit(status);
    std::exit(status);
}

UsageExitFunction setUsageExit(UsageExitFunction exitFunction) {
    UsageExitFunction previous = usageExit;
    usageExit = exitFunction;
    return previous;
}

void standardOptionsParse(ProgramOptionsHelper &helper, int argc, char **argv) {
    try {
        helper.parse(argc, argv);
    } catch (po::error &e) {
        uerr << optionErrorMessage(e) << std::endl;
        helper.usage(1, std::cout);
    }
}

} // namespace velka::mail::wendra_commands
