// Option value types: the limit validation and the certificate name-list extraction.
#include "wendra/option_values.h"

#include "lib/util/idn.h"
#include "maildata/domain_name.h"

#include <boost/lexical_cast.hpp>
#include <boost/program_options.hpp>
#include <boost/regex.hpp>
#include <boost/tokenizer.hpp>

#include <locale>
#include <stdexcept>

namespace po = boost::program_options;

namespace velka::mail::wendra_commands {

void validate(boost::any &value, const std::vector<std::string> &tokens, PositiveMailServerLimit *,
              int) {
    po::validators::check_first_occurrence(value);
    const std::string &token = po::validators::get_single_string(tokens);

    static const boost::regex DIGITS("^(\\d+)$");
    PositiveMailServerLimit parsed;
    bool valid = boost::regex_match(token, DIGITS) &&
                 boost::conversion::try_lexical_convert(token, parsed.limit);
    if (!valid)
        throw po::error("The argument for option '--limit' is incorrect: expected positive "
                        "integer value, got '" +
                        token + "'");
    value = parsed;
}

std::istream &operator>>(std::istream &in, CertNamesListTOpt &value) {
    std::string word;
    if (!(in >> word))
        return in;

    // Each name is converted on its own: IDNA works label by label between dots, so a
    // comma inside a converted label would turn "a.com,bücher.de" into other, valid
    // looking names.
    typedef boost::tokenizer<boost::char_separator<char>> Pieces;
    const boost::char_separator<char> commas(",", "", boost::keep_empty_tokens);
    const std::locale locale;
    std::string names;
    bool first = true;
    for (const std::string &piece : Pieces(word, commas)) {
        std::string name = piece.empty() ? piece : idn::toAscii(piece);
        for (char &c : name)
            c = std::tolower(c, locale);
        if (!name.empty() && !is_domain_name_valid(name.c_str()))
            throw std::runtime_error(name + " - name has incorrect format.");
        names += (first ? "" : ",") + name;
        first = false;
    }
    value.names = names;
    return in;
}

} // namespace velka::mail::wendra_commands
