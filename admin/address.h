// Mail addresses and domain names as the commands take them.
#ifndef VELKA_ADMIN_ADDRESS_H
#define VELKA_ADMIN_ADDRESS_H

#include <string>

namespace velka::admin {

struct Address {
    std::string mailname;
    std::string domain;
};

// A domain name the database can hold and a login can name: not empty, at most
// 255 bytes, no "@", blank or control character. False with a message.
bool validDomain(const std::string &domain, std::string *error);

// "mailname@domain" with one "@" and both parts valid as above. False with a
// message.
bool parseAddress(const std::string &text, Address *address, std::string *error);

} // namespace velka::admin

#endif
