// Long runs of account lookups, as an authentication process serves them for years:
// heap, resident memory and open descriptors must not grow with the number of
// lookups. VELKA_SOAK_LOOKUPS sets the number of lookups per run (100000 by default,
// 25000 under AddressSanitizer).
#include "mail/dovecot/authdb/mail_auth_db.h"

#include "tests/authdb/test_mail_auth_support.h"

#ifdef VELKA_SOAK_WITH_GLUE
#include "mail/dovecot/authdb/db-velka.h"
#include "tests/authdb/db-velka_stub.h"
#endif

#include <gtest/gtest.h>

#include <crypt.h>
#include <dirent.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

namespace {

#if defined(__SANITIZE_ADDRESS__)
#define VELKA_SOAK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELKA_SOAK_ASAN 1
#endif
#endif

#ifndef VELKA_SOAK_ASAN
// glibc's per-thread cache keeps freed chunks counted as in use, some hundred KiB
// that drift with the order of frees; run without it, the heap figure is exact.
// glibc hands ELF constructors the program's arguments.
__attribute__((constructor)) void withoutThreadCache(int, char **argv, char **) {
    if (getenv("GLIBC_TUNABLES") != nullptr)
        return;
    setenv("GLIBC_TUNABLES", "glibc.malloc.tcache_count=0", 1);
    execv("/proc/self/exe", argv);
}
#endif

// Under AddressSanitizer every lookup costs several times as much, and its leak
// checker at exit, not the count, is what finds a leak there.
#ifdef VELKA_SOAK_ASAN
const long DEFAULT_LOOKUPS = 25000;
#else
const long DEFAULT_LOOKUPS = 100000;
#endif

long lookupCount() {
    const char *text = getenv("VELKA_SOAK_LOOKUPS");
    const long count = text != nullptr ? atol(text) : DEFAULT_LOOKUPS;
    return count > 0 ? count : DEFAULT_LOOKUPS;
}

int openDescriptors() {
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    int count = 0;
    while (readdir(dir) != nullptr)
        ++count;
    closedir(dir);
    return count;
}

long residentKiB() {
    const std::string statm = readFile("/proc/self/statm");
    long pages = 0;
    long resident = 0;
    if (sscanf(statm.c_str(), "%ld %ld", &pages, &resident) != 2)
        return -1;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

struct Usage {
    int fds;
    long rss_kib;
    size_t heap;
};

Usage usage() {
    return Usage{openDescriptors(), residentKiB(), mallinfo2().uordblks};
}

int acceptAccount(const char *, const char *password, unsigned char, void *data) {
    // Touch the password, as a real caller compares it.
    *static_cast<size_t *>(data) += strlen(password);
    return 0;
}

int walkAccount(const char *address, const char *password, unsigned char flags, void *data) {
    acceptAccount(address, password, flags, data);
    return 1;
}

class LookupSoak : public MailAuthDbTest {
protected:
    void SetUp() override {
        MailAuthDbTest::SetUp();
        ASSERT_EQ(mailAuthSet("ann", "one.test", "ann-secret", 0), 0);
        ASSERT_EQ(mailAuthSet("ann", "two.test", "ann-other", 0), 0);
        ASSERT_EQ(mailAuthSet("bob", "one.test", crypt("bob-secret", "$6$rounds=1000$soaksalt$"),
                              MAIL_AUTH_FLAG_CRYPT),
                  0);
        ASSERT_EQ(mailAuthSet("off", "one.test", "off-secret", MAIL_AUTH_FLAG_USER_DISABLED), 0);
    }

    // Runs lookup count times after a warm-up, then compares what the process holds.
    void soak(const std::function<void(long)> &lookup) {
        const long count = lookupCount();
        const long warm_up = count < 2000 ? count / 10 : 1000;
        for (long i = 0; i < warm_up && !HasFailure(); ++i)
            lookup(i);
        malloc_trim(0);
        const Usage before = usage();
        for (long i = warm_up; i < count && !HasFailure(); ++i)
            lookup(i);
        malloc_trim(0);
        const Usage after = usage();
        EXPECT_EQ(after.fds, before.fds);
#ifndef VELKA_SOAK_ASAN
        // Under AddressSanitizer freed memory sits in quarantine and the leak
        // checker at exit takes over; elsewhere the heap must come back to its size.
        EXPECT_LE(after.heap, before.heap + 4096) << "heap bytes in use";
        EXPECT_LE(after.rss_kib, before.rss_kib + 1024) << "resident KiB";
#endif
        RecordProperty("lookups", std::to_string(count));
    }

    MailAuthLog log; // the failing lookups below log a line each
};

TEST_F(LookupSoak, DatabaseLookupsHoldNothing) {
    // Without a long-lived cipher reference every decryption reads the key file.
    size_t touched = 0;
    soak([&](long i) {
        switch (i % 6) {
        case 0:
            ASSERT_EQ(mailAuthCheck("ann@one.test", acceptAccount, &touched), 0);
            break;
        case 1:
            ASSERT_EQ(mailAuthCheck("BOB@One.Test", acceptAccount, &touched), 0);
            break;
        case 2:
            ASSERT_EQ(mailAuthCheck("nobody@one.test", acceptAccount, &touched), 1);
            break;
        case 3:
            ASSERT_EQ(mailAuthCheck("@one.test", acceptAccount, &touched), -1);
            break;
        case 4:
            ASSERT_EQ(mailAuthCheckShort("ann", walkAccount, &touched), 1);
            break;
        default:
            ASSERT_EQ(mailAuthCheck("off@one.test", acceptAccount, &touched), 0);
        }
        if (i % 1000 == 0)
            LogCapture::lines().clear();
    });
    EXPECT_GT(touched, 0u);
}

TEST_F(LookupSoak, LookupsWithTheCipherHeldAndAMissingDatabase) {
    ASSERT_EQ(mailPasswdCipherInit(), 0);
    const std::string missing = dir.file("missing/passwd.db");
    size_t touched = 0;
    soak([&](long i) {
        if (i % 4 == 3) {
            mailAuthDBSetPath(missing.c_str());
            ASSERT_EQ(mailAuthCheck("ann@one.test", acceptAccount, &touched), -1);
            mailAuthDBSetPath(db_path.c_str());
        } else {
            ASSERT_EQ(mailAuthCheck("ann@two.test", acceptAccount, &touched), 0);
        }
        if (i % 1000 == 0)
            LogCapture::lines().clear();
    });
    EXPECT_TRUE(mailPasswdCipherCleanup());
}

#ifdef VELKA_SOAK_WITH_GLUE
// The plug-in's own lookup, with its data stack emptied after each login as
// Dovecot's request frame would be.
TEST_F(LookupSoak, PluginLookupsHoldNothing) {
    const velka_mail_args shortnames = {"QMail", VELKA_MAIL_ARG_SHORTNAMES};
    const velka_mail_args full_only = {"QMail", 0};
    ASSERT_EQ(mailPasswdCipherInit(), 0);
    const struct {
        const char *user;
        const char *password;
        const velka_mail_args *args;
        bool plain;
        int result;
    } logins[] = {
        {"ann", "ann-other", &shortnames, true, VELKA_LOOKUP_FOUND},
        {"bob@one.test", "bob-secret", &shortnames, true, VELKA_LOOKUP_FOUND},
        {"ann@one.test", nullptr, &full_only, false, VELKA_LOOKUP_FOUND},
        {"ann@one.test", "wrong", &shortnames, true, VELKA_LOOKUP_MISMATCH},
        {"ghost", "x", &full_only, true, VELKA_LOOKUP_SHORT_REFUSED},
    };
    soak([&](long i) {
        const auto &login = logins[i % 5];
        const velka_mail_auth *auth =
            velka_mail_auth_lookup(login.user, login.password, login.args, login.plain);
        ASSERT_EQ(auth->result, login.result) << login.user;
        db_velka_stub_pop();
        if (i % 1000 == 0)
            LogCapture::lines().clear();
    });
    EXPECT_TRUE(mailPasswdCipherCleanup());
}
#endif

} // namespace
