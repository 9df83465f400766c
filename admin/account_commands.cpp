// add, passwd, remove and rename: one account each, through the library's
// administration calls, after checking that the account is (or is not) there,
// so that add never overwrites and the others never act on nothing.
#include "admin/account_reader.h"
#include "admin/commands.h"
#include "admin/crypt_hash.h"
#include "admin/password_input.h"
#include "admin/report.h"
#include "authcheck/display_text.h"
#include "mail/dovecot/authdb/mail_auth_crypt_scheme.h"
#include "mail/dovecot/authdb/mail_auth_db.h"

#include <openssl/crypto.h>

#include <strings.h>

namespace velka::admin {

namespace {

using velka::authcheck::terminalText;

// The account named by text: parsed, and read when it exists. Returns the exit
// status to end with, or -1 to go on.
int lookUp(const std::string &text, Address *address, StoredAccount *account, bool *found) {
    std::string error;
    if (!parseAddress(text, address, &error))
        return fail(error, EXIT_USAGE);
    return readAccount(*address, account, found) ? -1 : EXIT_FAILED;
}

// What is stored for the text read: a hash with MAIL_AUTH_FLAG_CRYPT, or the
// password itself, which the library encrypts.
bool storedForm(PasswordForm form, const Secret &secret, std::string *hash, unsigned char *flags,
                std::string *error) {
    switch (form) {
    case PasswordForm::Aes:
        return true;
    case PasswordForm::Crypt:
        *flags |= MAIL_AUTH_FLAG_CRYPT;
        return makeSha512Crypt(secret.c_str(), hash, error);
    case PasswordForm::Hash:
        *flags |= MAIL_AUTH_FLAG_CRYPT;
        if (!storableHash(secret.c_str(), error))
            return false;
        *hash = secret.c_str();
        return true;
    }
    return false;
}

int storePassword(const AdminContext &ctx, const Address &address, unsigned char flags,
                  const char *done) {
    const std::string shown = terminalText(address.mailname + "@" + address.domain);
    Secret secret;
    std::string hash, error;
    const bool read = readSecret(ctx.form == PasswordForm::Hash ? "crypt hash" : "password", shown,
                                 &secret, &error);
    if (!read || !storedForm(ctx.form, secret, &hash, &flags, &error))
        return fail(error);
    const char *stored = hash.empty() ? secret.c_str() : hash.c_str();
    const int rc = mailAuthSet(address.mailname.c_str(), address.domain.c_str(), stored, flags);
    const std::string scheme =
        hash.empty() ? std::string("AES-256-CBC") : mail_auth_crypt_scheme(hash.c_str());
    OPENSSL_cleanse(&hash[0], hash.size());
    if (rc != 0)
        return fail("cannot store the " + scheme + " password of " + shown +
                    " (see the lines above); nothing changed");
    std::cout << done << " " << shown << " (" << scheme << ")\n";
    return EXIT_OK;
}

} // namespace

int runAdd(const AdminContext &ctx) {
    Address address;
    StoredAccount account;
    bool found = false;
    if (const int status = lookUp(ctx.args[0], &address, &account, &found); status >= 0)
        return status;
    if (found)
        return fail(terminalText(account.address) + " exists: use passwd to change its password");
    return storePassword(ctx, address, 0, "added");
}

int runPasswd(const AdminContext &ctx) {
    Address address;
    StoredAccount account;
    bool found = false;
    if (const int status = lookUp(ctx.args[0], &address, &account, &found); status >= 0)
        return status;
    if (!found)
        return fail("no account " + terminalText(ctx.args[0]) + ": use add to create it");
    // The library replaces the whole row: a disabled user stays disabled.
    return storePassword(ctx, address, account.userEnabled ? 0 : MAIL_AUTH_FLAG_USER_DISABLED,
                         "changed the password of");
}

int runRemove(const AdminContext &ctx) {
    Address address;
    StoredAccount account;
    bool found = false;
    if (const int status = lookUp(ctx.args[0], &address, &account, &found); status >= 0)
        return status;
    if (!found)
        return fail("no account " + terminalText(ctx.args[0]));
    if (mailAuthRemove(address.mailname.c_str(), address.domain.c_str()) != 0)
        return fail("cannot remove " + terminalText(account.address) + " (see the lines above)");
    std::cout << "removed " << terminalText(account.address) << "\n";
    return EXIT_OK;
}

int runRename(const AdminContext &ctx) {
    Address from, to;
    StoredAccount account, taken;
    bool found = false, exists = false;
    if (const int status = lookUp(ctx.args[0], &from, &account, &found); status >= 0)
        return status;
    if (const int status = lookUp(ctx.args[1], &to, &taken, &exists); status >= 0)
        return status;
    if (strcasecmp(from.domain.c_str(), to.domain.c_str()) != 0)
        return fail("rename keeps the domain: to move an account, add it in the other domain "
                    "and remove this one; to rename a domain, use domain rename",
                    EXIT_USAGE);
    if (!found)
        return fail("no account " + terminalText(ctx.args[0]));
    if (exists)
        return fail(terminalText(taken.address) +
                    " exists: remove it first, or choose another name");
    if (mailAuthRename(from.mailname.c_str(), to.mailname.c_str(), from.domain.c_str()) != 0)
        return fail("cannot rename " + terminalText(account.address) + " (see the lines above)");
    std::cout << "renamed " << terminalText(account.address) << " to "
              << terminalText(to.mailname + "@" + from.domain) << "\n";
    return EXIT_OK;
}

} // namespace velka::admin
