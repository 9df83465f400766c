#include "admin/address.h"

#include "authcheck/display_text.h"

namespace velka::admin {

namespace {

// The columns are VARCHAR(255), and DNS names are no longer.
constexpr size_t NAME_MAX_BYTES = 255;

bool validPart(const std::string &part, const char *what, const std::string &text,
               std::string *error) {
    const auto shown = [&] { return velka::authcheck::terminalText(text); };
    if (part.empty()) {
        *error = shown() + ": the " + what + " is empty";
        return false;
    }
    if (part.size() > NAME_MAX_BYTES) {
        *error = shown() + ": the " + what + " is longer than 255 bytes";
        return false;
    }
    for (unsigned char c : part) {
        if (c <= ' ' || c == 0x7f || c == '@') {
            *error = shown() + ": the " + what + " holds a blank, a control character or \"@\"";
            return false;
        }
    }
    return true;
}

} // namespace

bool validDomain(const std::string &domain, std::string *error) {
    return validPart(domain, "domain", domain, error);
}

bool parseAddress(const std::string &text, Address *address, std::string *error) {
    const size_t at = text.find('@');
    if (at == std::string::npos) {
        *error = velka::authcheck::terminalText(text) + ": not a mail address (mailname@domain)";
        return false;
    }
    address->mailname = text.substr(0, at);
    address->domain = text.substr(at + 1);
    return validPart(address->mailname, "mail name", text, error) &&
           validPart(address->domain, "domain", text, error);
}

} // namespace velka::admin
