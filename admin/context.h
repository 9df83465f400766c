// What every command of velka-auth-admin works on: the database and key of one
// layout, found as the plug-in finds them, and the command's own words.
#ifndef VELKA_ADMIN_CONTEXT_H
#define VELKA_ADMIN_CONTEXT_H

#include <string>
#include <vector>

namespace velka::admin {

// Exit statuses, as velka-auth-check has them.
constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

// How a command takes the password it stores.
enum class PasswordForm {
    Aes,   // read, stored encrypted under the key
    Crypt, // read, stored as a SHA512-CRYPT hash made here
    Hash,  // an existing crypt hash is read and stored as it is
};

struct AdminContext {
    int style = -1;           // MAIL_AUTH_STYLE_*
    std::string databasePath; // selected as the library's paths too
    std::string keyPath;
    std::vector<std::string> args; // the command's words after its name, options removed
    PasswordForm form = PasswordForm::Aes;
    bool json = false;
};

} // namespace velka::admin

#endif
