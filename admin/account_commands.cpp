// add, passwd, remove and rename: one account each, through the library's
// administration calls, after checking that the account is (or is not) there,
// so that add never overwrites and the others never act on nothing.
#include "admin/commands.h"
#include "admin/crypt_hash.h"
#include "admin/named.h"
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
    NamedAccount named;
    if (const int status = lookUpAccount(ctx.args[0], &named); status != GO_ON)
        return status;
    if (named.found)
        return fail(named.shown + " exists: use passwd to change its password");
    return storePassword(ctx, named.address, 0, "added");
}

int runPasswd(const AdminContext &ctx) {
    NamedAccount named;
    if (const int status = lookUpAccount(ctx.args[0], &named); status != GO_ON)
        return status;
    if (!named.found)
        return fail("no account " + named.shown + ": use add to create it");
    // The library replaces the whole row: a disabled user stays disabled.
    return storePassword(ctx, named.address,
                         named.stored.userEnabled ? 0 : MAIL_AUTH_FLAG_USER_DISABLED,
                         "changed the password of");
}

int runRemove(const AdminContext &ctx) {
    NamedAccount named;
    if (const int status = requireAccount(ctx.args[0], &named); status != GO_ON)
        return status;
    if (mailAuthRemove(named.address.mailname.c_str(), named.address.domain.c_str()) != 0)
        return fail("cannot remove " + named.shown + " (see the lines above)");
    std::cout << "removed " << named.shown << "\n";
    return EXIT_OK;
}

int runRename(const AdminContext &ctx) {
    NamedAccount from, to;
    if (const int status = lookUpAccount(ctx.args[1], &to); status != GO_ON)
        return status;
    if (const int status = requireAccount(ctx.args[0], &from); status != GO_ON)
        return status;
    if (strcasecmp(from.address.domain.c_str(), to.address.domain.c_str()) != 0)
        return fail("rename keeps the domain: to move an account, add it in the other domain "
                    "and remove this one; to rename a domain, use domain rename",
                    EXIT_USAGE);
    if (to.found)
        return fail(to.shown + " exists: remove it first, or choose another name");
    if (mailAuthRename(from.address.mailname.c_str(), to.address.mailname.c_str(),
                       from.address.domain.c_str()) != 0)
        return fail("cannot rename " + from.shown + " (see the lines above)");
    std::cout << "renamed " << from.shown << " to " << to.shown << "\n";
    return EXIT_OK;
}

} // namespace velka::admin
