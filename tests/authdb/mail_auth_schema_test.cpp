// The database's schema, key file, and owners and modes by style.
#include "mail/dovecot/authdb/mail_auth_columns.h"
#include "mail/dovecot/authdb/mail_auth_db.h"

#include "tests/authdb/test_mail_auth_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using MailAuthSchema = MailAuthDbTest;

// What "sqlite3 FILE .schema" prints for a new database: the statements of the
// schema, in their order, with the table SQLite adds for AUTOINCREMENT.
const char EXPECTED_SCHEMA[] = R"(CREATE TABLE domains (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  name VARCHAR(255) UNIQUE,
  status INTEGER NOT NULL DEFAULT 0
);
CREATE TABLE sqlite_sequence(name,seq);
CREATE INDEX domains_name ON domains(name);
CREATE TRIGGER fkd_users_domains_id BEFORE DELETE ON domains FOR EACH ROW BEGIN
  DELETE FROM users WHERE dom_id = OLD.id;
END;
CREATE TABLE users (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  dom_id INTEGER NOT NULL,
  name VARCHAR(255) NOT NULL,
  userPassword VARCHAR(255),
  cmusaslsecretPLAIN VARCHAR(255),
  status INT NOT NULL DEFAULT 0,
  UNIQUE(name, dom_id)
);
CREATE INDEX users_name ON users(name);
CREATE INDEX users_dom_id ON users(dom_id);
CREATE TRIGGER fki_users_domains_id BEFORE INSERT ON users FOR EACH ROW BEGIN
  SELECT RAISE(ROLLBACK, 'insert on table "users" violates foreign key constraint "fk_domains_id"')
  WHERE (SELECT id FROM domains WHERE id = NEW.dom_id) IS NULL;
END;
CREATE TRIGGER fku_users_domains_id BEFORE UPDATE ON users FOR EACH ROW BEGIN
  SELECT RAISE(ROLLBACK, 'update on table "users" violates foreign key constraint "fk_domains_id"')
  WHERE (SELECT id FROM domains WHERE id = NEW.dom_id) IS NULL;
END;
)";

TEST_F(MailAuthSchema, SqliteShowsTheSchemaStatementForStatement) {
    if (system("command -v sqlite3 >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "the sqlite3 program is not installed";
    std::string command = "sqlite3 '" + db_path + "' .schema";
    FILE *out = popen(command.c_str(), "r");
    ASSERT_NE(out, nullptr);
    std::string schema;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, out)) > 0)
        schema.append(buf, n);
    EXPECT_EQ(pclose(out), 0);
    EXPECT_EQ(schema, EXPECTED_SCHEMA);
}

TEST_F(MailAuthSchema, TriggersRefuseOrphanUsersAndDeleteThemWithTheirDomain) {
    EXPECT_EQ(sql("BEGIN; INSERT INTO domains (name) VALUES ('kept.test');"
                  "INSERT INTO users (dom_id, name) VALUES (99, 'orphan'); COMMIT;"),
              "insert on table \"users\" violates foreign key constraint \"fk_domains_id\"");
    EXPECT_EQ(value("SELECT COUNT(*) FROM domains"), "0") << "the transaction is rolled back";

    EXPECT_EQ(sql("INSERT INTO domains (name) VALUES ('a.test'), ('b.test');"
                  "INSERT INTO users (dom_id, name) VALUES (1, 'x'), (1, 'y'), (2, 'z');"),
              "");
    EXPECT_EQ(sql("UPDATE users SET dom_id = 7 WHERE name = 'z'"),
              "update on table \"users\" violates foreign key constraint \"fk_domains_id\"");
    EXPECT_EQ(sql("DELETE FROM domains WHERE name = 'a.test'"), "");
    EXPECT_EQ(value("SELECT group_concat(name) FROM users"), "z");
}

// The columns a database is checked for are the ones the schema makes.
TEST_F(MailAuthSchema, RequiredColumnsAreThoseTheSchemaMakes) {
    const auto missing = [this] {
        sqlite3 *db = nullptr;
        sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
        const std::string found = velka::mail::authdb::missingColumns(db);
        sqlite3_close(db);
        return found;
    };
    EXPECT_EQ(missing(), "");
    EXPECT_EQ(sql("ALTER TABLE users RENAME COLUMN status TO state"), "");
    EXPECT_EQ(missing(), "users.status");
}

TEST_F(MailAuthSchema, InitReplacesWhateverWasThere) {
    writeFile(db_path, "not a database");
    writeFile(key_path, "old");
    ASSERT_EQ(mailAuthDBInit(), 0);
    EXPECT_EQ(value("SELECT COUNT(*) FROM users"), "0");
    ASSERT_EQ(mailAuthKeyInit(), 0);
    EXPECT_EQ(readFile(key_path).size(), 32u);
}

// New files are the caller's alone, whatever the umask, until they get their
// owners and modes; the caller's umask is left as it was.
TEST_F(MailAuthSchema, KeyIsNeverReadableByOthers) {
    const std::pair<int (*)(), std::string> files[] = {{mailAuthKeyInit, key_path},
                                                       {mailAuthDBInit, db_path}};
    const std::string old_key = readFile(key_path);
    for (const auto &[init, path] : files) {
        const mode_t saved = umask(0);
        const int rc = init();
        const mode_t during = umask(saved);
        ASSERT_EQ(rc, 0) << path;
        EXPECT_EQ(during, 0u) << path;
        EXPECT_EQ(checkFile(path, geteuid(), getegid(), 0600), "");
    }
    EXPECT_EQ(readFile(key_path).size(), 32u);
    EXPECT_NE(readFile(key_path), old_key);
}

TEST_F(MailAuthSchema, ParentThatIsAFileFailsCreation) {
    MailAuthLog log;
    writeFile(dir.file("file"), "");
    const std::string path = dir.file("file/passwd.db");
    mailAuthDBSetPath(path.c_str());
    EXPECT_EQ(mailAuthDBInit(), -1);
    EXPECT_TRUE(
        log.contains(2, "recursive mkdir(" + dir.file("file") + ") failed: Not a directory"));
}

TEST(MailAuthAccess, RefusesDatabasesDirectlyUnderRootOrRelative) {
    MailAuthLog log;
    for (const char *path : {"/passwd.db", "passwd.db", "auth/passwd.db"}) {
        mailAuthDBSetPath(path);
        EXPECT_EQ(mailAuthDBSetAccess(0, 0, 0600, 0, 0, 0750), -1) << path;
        EXPECT_TRUE(log.contains(2, std::string("Invalid mail authentication DB path ") + path))
            << path;
    }
    mailAuthDBSetPath(nullptr);
}

// Owners and modes by style, for real, in a private mount namespace (see
// privateSystemWithPostfix).

TEST(MailAuthInitStyle, OwnersAndModesPerStyle) {
    EXPECT_CHILD_ANSWER(inPrivateSystem([&]() -> std::string {
        std::string error;
        const struct passwd *pw = getpwnam("postfix");
        const struct group *gr = getgrnam("nofiles");
        if (pw == nullptr || gr == nullptr)
            return "the private postfix user or nofiles group is not visible";
        const uid_t postfix = pw->pw_uid;
        const gid_t postfix_group = pw->pw_gid;
        const gid_t nofiles = gr->gr_gid;

        if (mailAuthDBInitStyle(MAIL_AUTH_STYLE_QMAIL) != 0)
            return "QMail style failed";
        error += checkFile("/var/lib/velka/mail/auth/passwd.db", 0, nofiles, 0640);
        error += checkFile("/var/lib/velka/mail/auth", 0, nofiles, 0750);
        error += checkFile("/var/lib/velka/mail/auth/passwd_db_key", 0, nofiles, 0440);
        if (readFile("/var/lib/velka/mail/auth/passwd_db_key").size() != 32)
            error += "QMail key is not 32 bytes\n";

        if (mailAuthDBInitStyle(MAIL_AUTH_STYLE_POSTFIX) != 0)
            return error + "Postfix style failed";
        error += checkFile("/var/spool/postfix/velka/passwd.db", postfix, 0, 0460);
        error += checkFile("/var/spool/postfix/velka", postfix, postfix_group, 0770);
        error += checkFile("/var/spool/postfix/velka/passwd_db_key", postfix, 0, 0440);

        const std::string other_db = "/var/lib/other/passwd.db",
                          other_key = "/var/lib/other/passwd_db_key";
        mailAuthDBSetPath(other_db.c_str());
        mailAuthKeySetPath(other_key.c_str());
        if (mailAuthDBInitStyle(7) != 0)
            return error + "other style failed";
        error += checkFile(other_db, 0, 0, 0600);
        error += checkFile("/var/lib/other", 0, 0, 0750);
        error += checkFile(other_key, 0, 0, 0400);
        return error;
    }));
}

TEST(MailAuthInitStyle, MissingPostfixUserFails) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for a private mount namespace";
    if (getpwnam("postfix") != nullptr)
        GTEST_SKIP() << "this system has a postfix user";
    const std::string answer = inChild([]() -> std::string {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/var/spool", "tmpfs", 0, nullptr) != 0)
            return std::string("SKIP private mount namespace: ") + strerror(errno);
        MailAuthLog log;
        if (mailAuthDBInitStyle(MAIL_AUTH_STYLE_POSTFIX) != -1)
            return "succeeded without a postfix user";
        for (const LogLine &line : LogCapture::lines())
            if (line.priority == 2 &&
                line.text.rfind("Unable to get user id for \"postfix\": ", 0) == 0)
                return "";
        return "no \"Unable to get user id\" line";
    });
    EXPECT_CHILD_ANSWER(answer);
}

} // namespace
