// Where the database and key file live by style, and the detection of the
// style through wendra-server.
#include "mail/dovecot/authdb/mail_auth_db.h"

#include "tests/authdb/test_mail_auth_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

namespace {

std::string keyPathFor(const char *db) {
    std::unique_ptr<char, decltype(&free)> key(mailAuthDBToKeyPath(db), free);
    return key ? key.get() : "<none>";
}

TEST(MailAuthPaths, KeyPathLiesBesideTheDatabase) {
    EXPECT_EQ(keyPathFor("/var/spool/postfix/velka/passwd.db"),
              "/var/spool/postfix/velka/passwd_db_key");
    EXPECT_EQ(keyPathFor("passwd.db"), "./passwd_db_key");
    EXPECT_EQ(keyPathFor(nullptr), "<none>");
}

TEST(MailAuthPaths, StylesSelectBothPathsAndOthersChangeNothing) {
    mailAuthDBSelectStyle(MAIL_AUTH_STYLE_POSTFIX);
    EXPECT_STREQ(mailAuthDBGetPath(), "/var/spool/postfix/velka/passwd.db");
    EXPECT_STREQ(mailAuthKeyGetPath(), "/var/spool/postfix/velka/passwd_db_key");
    mailAuthDBSelectStyle(2);
    mailAuthDBSelectStyle(-1);
    EXPECT_STREQ(mailAuthDBGetPath(), "/var/spool/postfix/velka/passwd.db");
    mailAuthDBSelectStyle(MAIL_AUTH_STYLE_QMAIL);
    EXPECT_STREQ(mailAuthDBGetPath(), "/var/lib/velka/mail/auth/passwd.db");
    EXPECT_STREQ(mailAuthKeyGetPath(), "/var/lib/velka/mail/auth/passwd_db_key");
}

// Style detection runs the test bed's wendra-server stand-in inside the Debian
// 13 tree (a chroot in a private mount namespace), whose answer is chosen by
// files under /etc/velka-testbed, here a private tmpfs.

std::string testbedRoot() {
    const char *dir = getenv("VELKA_TESTBED_DIR");
    return std::string(dir != nullptr ? dir : "/var/cache/velka-testbed") + "/trixie";
}

struct DetectCase {
    const char *server; // content of smtp-server; "-" prints no SMTP_Server line
    const char *extra;  // lines printed before it
    int style;
    const char *log; // one expected informational line, or ""
};

TEST(MailAuthDetectStyle, AsksTheWendraServerStandIn) {
    const std::string root = testbedRoot();
    const std::string standin = std::string(VELKA_SOURCE_DIR) + "/testbed/standins/wendra-server";
    const std::string target = root + "/usr/local/vqa/admin/sbin/wendra-server";
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for chroot";
    if (access(target.c_str(), F_OK) != 0 ||
        access((root + "/etc/velka-testbed").c_str(), F_OK) != 0)
        GTEST_SKIP() << "no provisioned test bed at " << root << " (testbed/testbed.sh create)";

    const DetectCase cases[] = {
        {"QMail", "", 0, ""},
        {"qmail", "", 0, ""},
        {"QMAIL", "", 0, ""},
        {"Postfix", "", 1, ""},
        {"POSTFIX", "", 1, ""},
        {"Exim", "", -1, "Unknown server style \"Exim\", skipped"},
        {"-", "", -1, "Unable to determine mail server type from ``wendra-server --features''"},
        {"QMail", "$features['SMTP_Server'] = 'Exim';\n", 0,
         "Unknown server style \"Exim\", skipped"},
        {"Postfix", "$features['SMTP_Server'] = qmail;\n", 1,
         "Unparseable line \"$features['SMTP_Server'] = qmail;\", skipped"},
        {"-", "$features['SMTP_Server'] = \"qmail\"; // 'postfix'\n", 0, ""},
        {"-", "$features['SMTP_Server_Extra'] = 'postfix';\n", -1,
         "Unable to determine mail server type from ``wendra-server --features''"},
    };
    const std::string answer = inChild([&]() -> std::string {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", (root + "/etc/velka-testbed").c_str(), "tmpfs", 0, nullptr) != 0 ||
            mount(standin.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
            chroot(root.c_str()) != 0 || chdir("/") != 0)
            return std::string("SKIP entering the test bed: ") + strerror(errno);
        std::string error;
        for (const DetectCase &c : cases) {
            writeFile("/etc/velka-testbed/smtp-server", std::string(c.server) + "\n");
            writeFile("/etc/velka-testbed/features-extra", c.extra);
            MailAuthLog log;
            const int style = mailAuthDBDetectStyle();
            std::ostringstream what;
            what << c.server << " after \"" << c.extra << "\": ";
            if (style != c.style)
                error += what.str() + "style " + std::to_string(style) + "\n";
            if (c.log[0] != '\0' && !log.contains(6, c.log))
                error += what.str() + "no line \"" + c.log + "\"\n";
            if (c.style >= 0 &&
                log.contains(
                    6, "Unable to determine mail server type from ``wendra-server --features''"))
                error += what.str() + "reported failure\n";
        }
        return error;
    });
    EXPECT_CHILD_ANSWER(answer);
}

} // namespace
