// Memory running out at any single allocation of a lookup or an administration
// call: the C API answers its documented failure, and no exception escapes to a
// C caller (Dovecot's auth process). This binary replaces malloc and operator
// new with a countdown that fails the nth allocation; everything else is passed
// to the allocator that would have served it (libc's, or the sanitizer's).
#include "mail/dovecot/authdb/mail_auth_db.h"

#include "tests/authdb/test_mail_auth_support.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <functional>
#include <new>
#include <set>

namespace {

long countdown = 0; // the allocation that fails, counted from 1; 0: none
bool injected = false;

void *(*next_malloc)(size_t);
void *(*next_calloc)(size_t, size_t);
void *(*next_realloc)(void *, size_t);
void (*next_free)(void *);

// dlsym() may allocate while the functions are being looked up.
alignas(16) unsigned char bootstrap[8192];
size_t bootstrap_used = 0;
bool resolving = false;

bool fromBootstrap(const void *p) {
    return p >= bootstrap && p < bootstrap + sizeof bootstrap;
}

void *bootstrapAlloc(size_t size) {
    size = (size + 15) & ~size_t{15};
    if (size > sizeof bootstrap - bootstrap_used)
        return nullptr;
    void *p = bootstrap + bootstrap_used;
    bootstrap_used += size;
    return p;
}

bool resolve() {
    if (next_free != nullptr)
        return true;
    if (resolving)
        return false;
    resolving = true;
    next_malloc = reinterpret_cast<decltype(next_malloc)>(dlsym(RTLD_NEXT, "malloc"));
    next_calloc = reinterpret_cast<decltype(next_calloc)>(dlsym(RTLD_NEXT, "calloc"));
    next_realloc = reinterpret_cast<decltype(next_realloc)>(dlsym(RTLD_NEXT, "realloc"));
    next_free = reinterpret_cast<decltype(next_free)>(dlsym(RTLD_NEXT, "free"));
    resolving = false;
    return true;
}

bool failsNow() {
    if (countdown == 0 || --countdown != 0)
        return false;
    injected = true;
    errno = ENOMEM;
    return true;
}

} // namespace

extern "C" void *malloc(size_t size) {
    if (!resolve())
        return bootstrapAlloc(size);
    return failsNow() ? nullptr : next_malloc(size);
}

extern "C" void *calloc(size_t count, size_t size) {
    if (!resolve())
        return bootstrapAlloc(count * size); // static, so zeroed
    return failsNow() ? nullptr : next_calloc(count, size);
}

extern "C" void *realloc(void *p, size_t size) {
    if (fromBootstrap(p)) {
        void *moved = malloc(size);
        if (moved != nullptr)
            memcpy(moved, p,
                   std::min(size,
                            sizeof bootstrap - (static_cast<size_t>(
                                                   static_cast<unsigned char *>(p) - bootstrap))));
        return moved;
    }
    resolve();
    return failsNow() ? nullptr : next_realloc(p, size);
}

extern "C" void free(void *p) {
    if (p != nullptr && !fromBootstrap(p) && resolve())
        next_free(p);
}

void *operator new(size_t size) {
    void *p = malloc(size != 0 ? size : 1);
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}
void *operator new[](size_t size) {
    return operator new(size);
}
void operator delete(void *p) noexcept {
    free(p);
}
void operator delete[](void *p) noexcept {
    free(p);
}
void operator delete(void *p, size_t) noexcept {
    free(p);
}
void operator delete[](void *p, size_t) noexcept {
    free(p);
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
    // handle the previous one kept.
    int runFailingAt(const Call &call, long n) {
        call.prepare();
        mailAuthDBSetPath((n % 2 != 0 ? link_path : db_path).c_str());
        injected = false;
        countdown = n;
        int result = INT_MIN;
        try {
            result = call.run();
        } catch (...) {
            countdown = 0;
            ADD_FAILURE() << call.name << " threw at allocation " << n;
        }
        countdown = 0;
        return result;
    }

    std::string link_path;
};

TEST_F(AllocationFailureTest, EveryCallAnswersWhereverMemoryRunsOut) {
    const Call calls[] = {
        {"mailAuthCheck", [] { return mailAuthCheck("Ann@One.test", stopAtFirst, nullptr); }, 0},
        {"mailAuthCheckShort", [] { return mailAuthCheckShort("bob", stopAtFirst, nullptr); }, 0},
        {"mailAuthIterateAll", [] { return mailAuthIterateAll(goOn, nullptr); }, 1},
        {"mailAuthSet", [] { return mailAuthSet("cy", "three.test", "Cy-pw", 0); }, 0},
        {"mailAuthClone", [] { return mailAuthClone("ann", "one.test", "al", "four.test"); }, 0},
        {"mailAuthRename", [] { return mailAuthRename("bob", "rob", "two.test"); }, 0,
         [] { mailAuthRename("rob", "bob", "two.test"); }},
        {"mailAuthDisableDomain", [] { return mailAuthDisableDomain("one.test"); }, 0},
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
    EXPECT_EQ(passwordOf("ann@one.test"), "Ann-pw");
}

} // namespace
