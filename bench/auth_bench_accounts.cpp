// Makes the same accounts for every passdb the authentication benchmark compares:
// the mail authentication database with its key file (passwords AES-encrypted, or
// SHA512-CRYPT hashes), an SQLite database for Dovecot's sql driver, a passwd-file,
// and the list of user names and passwords the load generator logs in with.
//
//   auth_bench_accounts aes|crypt COUNT DOMAINS OUT_DIR
//
// OUT_DIR receives passwd.db and passwd_db_key (ours), users.sqlite (the sql
// driver's: userid TEXT PRIMARY KEY, password with its {SCHEME} prefix),
// users.passwd and accounts.txt. Account i is u<i>@d<i % DOMAINS>.test.
#include "mail/dovecot/authdb/mail_aes.h"
#include "mail/dovecot/authdb/mail_auth_db.h"

#include <crypt.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

[[noreturn]] void die(const std::string &what, sqlite3 *db = nullptr) {
    fprintf(stderr, "auth_bench_accounts: %s%s%s\n", what.c_str(), db != nullptr ? ": " : "",
            db != nullptr ? sqlite3_errmsg(db) : "");
    exit(1);
}

void exec(sqlite3 *db, const char *sql) {
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
        die(sql, db);
}

sqlite3_stmt *prepare(sqlite3 *db, const char *sql) {
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK)
        die(sql, db);
    return stmt;
}

void stepOnce(sqlite3 *db, sqlite3_stmt *stmt) {
    if (sqlite3_step(stmt) != SQLITE_DONE)
        die("insert", db);
    sqlite3_reset(stmt);
}

std::string sha512Crypt(const std::string &password) {
    char salt[CRYPT_GENSALT_OUTPUT_SIZE];
    if (crypt_gensalt_rn("$6$", 0, nullptr, 0, salt, sizeof(salt)) == nullptr)
        die("crypt_gensalt");
    struct crypt_data data = {};
    const char *hash = crypt_r(password.c_str(), salt, &data);
    if (hash == nullptr || hash[0] == '*')
        die("crypt");
    return hash;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 5 || (strcmp(argv[1], "aes") != 0 && strcmp(argv[1], "crypt") != 0)) {
        fprintf(stderr, "usage: auth_bench_accounts aes|crypt COUNT DOMAINS OUT_DIR\n");
        return 64;
    }
    const bool hashed = strcmp(argv[1], "crypt") == 0;
    const int count = atoi(argv[2]), domains = atoi(argv[3]);
    const std::string dir = argv[4];
    if (count <= 0 || domains <= 0)
        die("COUNT and DOMAINS must be positive");

    const std::string db_path = dir + "/passwd.db", key_path = dir + "/passwd_db_key";
    mailAuthDBSetPath(db_path.c_str());
    mailAuthKeySetPath(key_path.c_str());
    if (mailAuthDBInit() != 0 || mailAuthKeyInit() != 0 || !mail_aes_init(key_path.c_str()))
        die("cannot create " + db_path);

    sqlite3 *ours = nullptr;
    if (sqlite3_open(db_path.c_str(), &ours) != SQLITE_OK)
        die(db_path, ours);
    exec(ours, "BEGIN");
    sqlite3_stmt *domain = prepare(ours, "INSERT INTO domains (id, name) VALUES (?, ?)");
    sqlite3_stmt *user = prepare(
        ours, hashed ? "INSERT INTO users (dom_id, name, cmusaslsecretPLAIN) VALUES (?, ?, ?)"
                     : "INSERT INTO users (dom_id, name, userPassword) VALUES (?, ?, ?)");
    for (int d = 0; d < domains; ++d) {
        const std::string name = "d" + std::to_string(d) + ".test";
        sqlite3_bind_int(domain, 1, d + 1);
        sqlite3_bind_text(domain, 2, name.c_str(), -1, SQLITE_TRANSIENT);
        stepOnce(ours, domain);
    }

    const std::string sql_path = dir + "/users.sqlite";
    remove(sql_path.c_str());
    sqlite3 *theirs = nullptr;
    if (sqlite3_open(sql_path.c_str(), &theirs) != SQLITE_OK)
        die(sql_path, theirs);
    exec(theirs, "CREATE TABLE users (userid TEXT PRIMARY KEY NOT NULL, password TEXT NOT NULL)");
    exec(theirs, "BEGIN");
    sqlite3_stmt *row = prepare(theirs, "INSERT INTO users (userid, password) VALUES (?, ?)");

    std::ofstream passwd(dir + "/users.passwd"), list(dir + "/accounts.txt");
    for (int i = 0; i < count; ++i) {
        const std::string name = "u" + std::to_string(i);
        const std::string address = name + "@d" + std::to_string(i % domains) + ".test";
        const std::string password = "Pw-" + std::to_string(i * 7919 % 100003) + "-x";
        std::string stored, scheme;
        if (hashed) {
            stored = sha512Crypt(password);
            scheme = "{CRYPT}";
        } else {
            char *encrypted = mail_aes_encrypt(password.c_str());
            if (encrypted == nullptr)
                die("encryption failed");
            stored = encrypted;
            free(encrypted);
            scheme = "{PLAIN}";
        }
        sqlite3_bind_int(user, 1, i % domains + 1);
        sqlite3_bind_text(user, 2, name.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(user, 3, stored.c_str(), -1, SQLITE_TRANSIENT);
        stepOnce(ours, user);

        const std::string theirs_password = scheme + (hashed ? stored : password);
        sqlite3_bind_text(row, 1, address.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(row, 2, theirs_password.c_str(), -1, SQLITE_TRANSIENT);
        stepOnce(theirs, row);
        passwd << address << ':' << theirs_password << "::::::\n";
        list << address << '\t' << password << '\n';
    }
    sqlite3_finalize(domain);
    sqlite3_finalize(user);
    sqlite3_finalize(row);
    exec(ours, "COMMIT");
    exec(theirs, "COMMIT");
    sqlite3_close(ours);
    sqlite3_close(theirs);
    mail_aes_cleanup();
    if (!passwd || !list)
        die("cannot write the account lists");
    return 0;
}
