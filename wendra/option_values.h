// Option value types of wendra's commands with their own validation: the connection
// limits and the certificate name lists.
#ifndef VELKA_WENDRA_OPTION_VALUES_H
#define VELKA_WENDRA_OPTION_VALUES_H

#include <boost/any.hpp>

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace velka::mail::wendra_commands {

// A connection limit: decimal digits only, at most 4294967295 (0 passes).
struct PositiveMailServerLimit {
    std::uint32_t limit = 0;
};

// Validation hook of the option library. Throws boost::program_options::error with
// "The argument for option '--limit' is incorrect: ..." for anything but digits whose
// value fits 32 bits, and the library's multiple-occurrence error for a repeated option.
void validate(boost::any &value, const std::vector<std::string> &tokens, PositiveMailServerLimit *,
              int);

// Certificate names: the comma-separated list in ASCII (IDNA) form and lower case,
// empty pieces kept in the text but never checked.
struct CertNamesListTOpt {
    std::string names;
};

// Reads one word and converts each non-empty comma-separated piece to ASCII with
// velka::idn::toAscii, lower-cases it and checks it with the domain-name rule. A bad
// piece throws std::runtime_error "<piece> - name has incorrect format."; a failed IDNA
// conversion throws velka::idn::IdnaError. Both reach the caller of the option parser.
std::istream &operator>>(std::istream &in, CertNamesListTOpt &value);

} // namespace velka::mail::wendra_commands

#endif
