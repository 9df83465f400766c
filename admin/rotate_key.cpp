#include "admin/rotate_key.h"

#include "mail/dovecot/authdb/mail_auth_db.h"

#include <iostream>

namespace velka::admin {

int runRotateKey(const AdminContext &ctx) {
    if (!ctx.args.empty()) {
        std::cerr << "velka-auth-admin: rotate-key takes no arguments\n";
        return EXIT_USAGE;
    }
    long rotated = 0;
    long undecryptable = 0;
    const int result = mailAuthRotateKey(&rotated, &undecryptable);
    if (result < 0) {
        std::cerr << "velka-auth-admin: the key was not replaced and no password changed: see "
                     "the lines above (or the mail log); run rotate-key again once the cause is "
                     "mended\n";
        return EXIT_FAILED;
    }
    if (result == 1) {
        std::cout << "Finished the key replacement that was interrupted: " << ctx.keyPath
                  << " now holds the new key.\n";
        return EXIT_OK;
    }
    std::cout << "Replaced the key in " << ctx.keyPath << " and re-encrypted " << rotated
              << " password" << (rotated == 1 ? "" : "s") << " under it. The old key is gone: "
              << "back up the database and the key together now.\n";
    if (undecryptable == 0)
        return EXIT_OK;
    std::cout << undecryptable << " password" << (undecryptable == 1 ? " was" : "s were")
              << " not readable under the old key either and kept as stored; set "
              << (undecryptable == 1 ? "it" : "them")
              << " anew with velka-auth-admin passwd (velka-auth-admin verify lists them).\n";
    return EXIT_FAILED;
}

} // namespace velka::admin
