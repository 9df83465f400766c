// Per-command option parsing of wendra: a thin layer over Boost.Program_options with
// mandatory options, a uniform help option and a uniform usage text.
#ifndef VELKA_WENDRA_PROGRAMOPTIONSHELPER_H
#define VELKA_WENDRA_PROGRAMOPTIONSHELPER_H

#include <boost/program_options.hpp>

#include <forward_list>
#include <ostream>
#include <string>

namespace velka::mail::wendra_commands {

// A mandatory option was not given.
class MissingMandatoryOption : public boost::program_options::error {
public:
    explicit MissingMandatoryOption(const std::string &message)
        : boost::program_options::error(message) {}
};

class ProgramOptionsHelper {
public:
    // Adds options to its helper; every call returns the appender for chaining. A
    // name may carry a one-letter short form after a comma ("help,h"). A mandatory
    // option is listed with " (mandatory)" after its description.
    class OptionAppender {
    public:
        explicit OptionAppender(ProgramOptionsHelper &helper) : helper_(helper) {}
        // A flag without value.
        OptionAppender &operator()(const char *name, const char *description,
                                   bool mandatory = false);
        // An option with a typed value; the helper takes ownership of semantic.
        OptionAppender &operator()(const char *name,
                                   const boost::program_options::value_semantic *semantic,
                                   const char *description, bool mandatory = false);

    private:
        ProgramOptionsHelper &helper_;
    };

    // description: one line on the command; usageLine: its syntax, starting with the
    // command word.
    ProgramOptionsHelper(const std::string &description, const std::string &usageLine);

    OptionAppender addOptions() { return OptionAppender(*this); }

    // Adds the help option, parses argv (argv[0], the command word, is skipped),
    // stores and validates the values, then prints the usage and exits 0 when help
    // was asked for, and finally throws MissingMandatoryOption for the last-declared
    // mandatory option that is missing. Option errors are thrown as
    // boost::program_options::error.
    void parse(int argc, char **argv);

    // Writes the description, the usage line and the option listing; exit(status).
    [[noreturn]] void usage(int status, std::ostream &stream) const;

    const boost::program_options::variables_map &variables() const { return variables_; }

private:
    boost::program_options::options_description options_;
    boost::program_options::variables_map variables_;
    std::string description_;
    std::forward_list<std::string> mandatory_; // most recently declared first
    std::string usageLine_;
};

// How usage() ends the process: std::exit(status) unless a function is installed here.
// The installed function must not return normally; it may throw, which lets an
// in-process caller (the option-parsing fuzz target) survive help requests and option
// errors. Null restores std::exit. Returns the function installed before.
using UsageExitFunction = void (*)(int status);
UsageExitFunction setUsageExit(UsageExitFunction exitFunction);

// helper.parse(); an option error is written to uerr and followed by the usage text on
// standard output and exit status 1. Other exceptions pass through.
void standardOptionsParse(ProgramOptionsHelper &helper, int argc, char **argv);

} // namespace velka::mail::wendra_commands

#endif
