// Exc: a tagged exception whose message is a Boost.Format template that the throw site
// fills with operator%, carrying the site (function signature, file, line) with it.
//
// Each tag gives a distinct exception type that can be caught on its own. A class
// declares its tag as a member function that is never defined nor called:
//
//     class ExecCmd {
//     public:
//         void Failed(); // tag of velka::Exc<&ExecCmd::Failed, velka::ExDefault>
//     };
//
// and throws at the failure site, VELKA_THROW_SITE standing for the throwing
// function's signature, the source file and the line:
//
//     throw velka::Exc<&ExecCmd::Failed, velka::ExDefault>(
//         "ExecCmd::ExFailed", "Execution of %1% failed with return code %2%.", 30,
//         VELKA_THROW_SITE) % commandLine % returnCode;
//
// The demangled type name (as printed by reportException) then reads
// "velka::Exc<&velka::ExecCmd::Failed, velka::ExDefault>".
#ifndef VELKA_ERRORS_EXC_H
#define VELKA_ERRORS_EXC_H

#include "lib/errors/ExTraceable.h"

#include <boost/format.hpp>
#include <string>

#define VELKA_THROW_SITE __PRETTY_FUNCTION__, __FILE__, __LINE__

namespace velka {

template <auto Tag, class Policy> class Exc : public ExTaggedIncludableBase<Policy> {
public:
    Exc(const std::string &kind, const std::string &messageTemplate, int severity,
        const std::string &function, const std::string &file, int line)
        : ExTaggedIncludableBase<Policy>(kind, messageTemplate, severity), function(function),
          file(file), line(line) {}
    // Keeps the template (not the composed text) as the message: a copy whose
    // formatting failed must report the same text as its source, not wrap it twice.
    Exc(const Exc &other)
        : ExTaggedIncludableBase<Policy>(other), format(other.format),
          hasArguments(other.hasArguments), formatted(other.formatted), feedError(other.feedError),
          function(other.function), file(other.file), line(other.line) {
        this->message = other.message;
    }

    Exc *clone() const override { return new Exc(*this); }

    // Feeds one argument to the template; the first call starts the formatting. A
    // malformed template or a surplus argument does not throw here (the throw site would
    // then lose its own exception): what() reports it instead.
    template <class T> Exc &operator%(const T &arg) {
        try {
            if (!hasArguments) {
                hasArguments = true;
                format = boost::format(this->message);
            }
            format % arg;
        } catch (const std::exception &e) {
            if (feedError.empty())
                feedError = e.what();
        }
        return *this;
    }

    // The template as it is without arguments, else the composed text; a formatting
    // failure yields "<error>: <template>". Never throws.
    const char *what() const noexcept override {
        if (!hasArguments)
            return this->message.c_str();
        try {
            std::string error = feedError;
            if (error.empty()) {
                try {
                    formatted = format.str();
                    return formatted.c_str();
                } catch (const std::exception &e) {
                    error = e.what();
                }
            }
            formatted = (boost::format("%1%: %2%") % error % this->message).str();
            return formatted.c_str();
        } catch (...) {
            return this->message.c_str();
        }
    }

    void accept(ExInfoVisitor &visitor) const override {
        visitor.setFunction(function);
        visitor.setFile(file);
        visitor.setLine(line);
        ExTaggedIncludableBase<Policy>::accept(visitor);
    }

    const std::string &getFunction() const { return function; }
    const std::string &getFile() const { return file; }
    int getLine() const { return line; }

private:
    boost::format format;
    bool hasArguments = false;
    mutable std::string formatted; // last text composed by what(); what() points into it
    std::string feedError;         // first error met while feeding arguments
    std::string function;
    std::string file;
    int line;
};

} // namespace velka

#endif
