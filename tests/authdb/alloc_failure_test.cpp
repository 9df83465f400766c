// Memory running out at any single allocation of a lookup, an administration or
// a set-up call: the C API answers its documented failure, and no exception
// escapes to a C caller (Dovecot's auth process). This binary's malloc, calloc
// and realloc fail the nth allocation and otherwise hand it to glibc's own;
// operator new and free reach the same heap through them.
#include "mail/dovecot/authdb/mail_auth_db.h"

#include "tests/authdb/test_mail_auth_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <functional>
#include <set>

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
}

namespace {

long countdown = 0; // the allocation that fails, counted from 1; 0: none
bool injected = false;

bool failsNow() {
    if (countdown == 0 || --countdown != 0)
        return false;
    injected = true;
    errno = ENOMEM;
    return true;
}

} // namespace

extern "C" void *malloc(size_t size) {
    return failsNow() ? nullptr : __libc_malloc(size);
}

extern "C" void *calloc(size_t count, size_t size) {
    return failsNow() ? nullptr : __libc_calloc(count, size);
}

extern "C" void *realloc(void *p, size_t size) {
    return failsNow() ? nullptr : __libc_realloc(p, size);
}

namespace {

int stopAtFirst(const char *, const char *, unsigned char, void *) {
    return 0;
}

int goOn(const char *, const char *, unsigned char, void *) {
    return 1;
}

struct Call {
    const char *name;
    std::function<int()> run;
    int success;
    std::function<void()> prepare = [] {};
};

class AllocationFailureTest : public MailAuthDbTest {
protected:
    void SetUp() override {
        MailAuthDbTest::SetUp();
        ASSERT_EQ(mailAuthSet("ann", "one.test", "Ann-pw", 0), 0);
        ASSERT_EQ(mailAuthSet("bob", "two.test", "$6$salt$hash", MAIL_AUTH_FLAG_CRYPT), 0);
        link_path = dir.file("auth/link.db");
        ASSERT_EQ(link(db_path.c_str(), link_path.c_str()), 0);
    }

    // The answer of call with the nth allocation failing, or INT_MIN after
    // reporting an exception. The database path alternates between two names
    // of the file, so that each lookup opens it anew rather than reusing the
    // handle the previous one kept; call.prepare() may choose other files.
    int runFailingAt(const Call &call, long n) {
        mailAuthDBSetPath((n % 2 != 0 ? link_path : db_path).c_str());
        call.prepare();
        injected = false;
        countdown = n;
        int result = INT_MIN;
        try {
            result = call.run();
        } catch (...) {
            ADD_FAILURE() << call.name << " threw at allocation " << n;
        }
        countdown = 0;
        return result;
    }

    // Set-up calls make and change files of their own, never the accounts'.
    void useNewFiles() {
        mailAuthDBSetPath(new_db.c_str());
        mailAuthKeySetPath(new_key.c_str());
    }

    std::string link_path;
    std::string new_db = dir.file("new/passwd.db"), new_key = dir.file("new/passwd_db_key");
};

TEST_F(AllocationFailureTest, EveryCallAnswersWhereverMemoryRunsOut) {
    const auto newFiles = [this] { useNewFiles(); };
    const Call calls[] = {
        {"mailAuthCheck", [] { return mailAuthCheck("Ann@One.test", stopAtFirst, nullptr); }, 0},
        {"mailAuthCheckShort", [] { return mailAuthCheckShort("bob", stopAtFirst, nullptr); }, 0},
        {"mailAuthIterateAll", [] { return mailAuthIterateAll(goOn, nullptr); }, 1},
        {"mailAuthSet", [] { return mailAuthSet("cy", "three.test", "Cy-pw", 0); }, 0},
        {"mailAuthClone", [] { return mailAuthClone("ann", "one.test", "al", "four.test"); }, 0},
        {"mailAuthRename", [] { return mailAuthRename("bob", "rob", "two.test"); }, 0,
         [] { mailAuthRename("rob", "bob", "two.test"); }},
        {"mailAuthDisableDomain", [] { return mailAuthDisableDomain("one.test"); }, 0},
        {"mailAuthDBInit", mailAuthDBInit, 0, newFiles},
        {"mailAuthKeyInit", mailAuthKeyInit, 0, newFiles},
        {"mailAuthDBSetAccess", [] { return mailAuthDBSetAccess(0, 0, 0600, 0, 0, 0700); }, 0,
         newFiles},
        {"mailAuthKeySetAccess", [] { return mailAuthKeySetAccess(0, 0, 0400); }, 0, newFiles},
        {"mailAuthDBInitStyle", [] { return mailAuthDBInitStyle(-1); }, 0, newFiles},
    };
    for (const Call &call : calls) {
        std::set<int> answers;
        long n = 1;
        for (; n < 20000; ++n) {
            const int result = runFailingAt(call, n);
            if (!injected) {
                EXPECT_EQ(result, call.success) << call.name << " without a failure";
                break;
            }
            answers.insert(result);
        }
        EXPECT_LT(n, 20000) << call.name;
        // The callback's own answer when only a decryption failed; -1 otherwise.
        answers.erase(call.success);
        EXPECT_EQ(answers, std::set<int>{-1}) << call.name << " after " << n << " allocations";
    }
    // Nothing is left broken: the account still logs in as before.
    mailAuthDBSetPath(db_path.c_str());
    mailAuthKeySetPath(key_path.c_str());
    EXPECT_EQ(passwordOf("ann@one.test"), "Ann-pw");
}

} // namespace
