// Tests for the user and group lookups against the system's real databases.
#include "lib/util/user_lookup.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>
#include <utility>

#include <grp.h>
#include <pwd.h>

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

const char MISSING_USER[] = "velka-no-such-user";
const unsigned int UNUSED_ID = 4000000000u;

struct Captured {
    std::string err;
    std::string out;
};

// Runs f with standard error and standard output captured.
Captured capture(const std::function<void()> &f) {
    CaptureStderr();
    CaptureStdout();
    f();
    Captured c;
    c.out = GetCapturedStdout();
    c.err = GetCapturedStderr();
    return c;
}

// get_group_if_exists() of name: the gid and the found flag it set (2 when it set none).
std::pair<gid_t, int> groupIfExists(const char *name) {
    char found = 2;
    const gid_t gid = get_group_if_exists(name, &found);
    return {gid, found};
}
const std::pair<gid_t, int> ROOT_GROUP{0, 1};
const std::pair<gid_t, int> NO_GROUP{0, 0};

// Walks a database (passwd or group) until take() accepts an entry, which it copies:
// the entries are gone once the walk is closed.
template <typename Entry, typename Take>
bool findEntry(void (*open)(), Entry *(*next)(), void (*close)(), Take take) {
    open();
    bool found = false;
    for (Entry *entry; !found && (entry = next()) != nullptr;)
        found = take(*entry);
    close();
    return found;
}

// A user whose uid and gid differ, so that mixing them up shows.
bool findUserWithDistinctIds(std::string &name, uid_t &uid, gid_t &gid) {
    return findEntry(setpwent, getpwent, endpwent, [&](const passwd &pw) {
        if (pw.pw_uid == 0 || pw.pw_uid == pw.pw_gid)
            return false;
        name = pw.pw_name;
        uid = pw.pw_uid;
        gid = pw.pw_gid;
        return true;
    });
}

bool findNonRootGroup(std::string &name, gid_t &gid) {
    return findEntry(setgrent, getgrent, endgrent, [&](const group &gr) {
        if (gr.gr_gid == 0)
            return false;
        name = gr.gr_name;
        gid = gr.gr_gid;
        return true;
    });
}

TEST(VelkaGetpwTest, FindsRoot) {
    uid_t uid = 99;
    gid_t gid = 99;
    const char *home = nullptr;
    Captured c = capture([&] { EXPECT_EQ(0, velka_getpw("root", &uid, &gid, &home)); });
    EXPECT_EQ(0u, uid);
    EXPECT_EQ(0u, gid);
    ASSERT_NE(nullptr, home);
    EXPECT_STREQ(getpwnam("root")->pw_dir, home);
    EXPECT_EQ(0, velka_getpw("root", nullptr, nullptr, nullptr));
    EXPECT_EQ("", c.err);
}

TEST(VelkaGetpwTest, MissingUserIsReported) {
    uid_t uid = 99;
    errno = EAGAIN; // a stale errno must not show up as the lookup's cause
    Captured c = capture([&] { EXPECT_EQ(-1, velka_getpw(MISSING_USER, &uid, nullptr, nullptr)); });
    EXPECT_EQ(99u, uid);
    EXPECT_EQ("Unable to getpwnam for user velka-no-such-user\n", c.err);
    EXPECT_EQ(c.err, c.out);

    c = capture([] { EXPECT_EQ(-1, velka_getpw(nullptr, nullptr, nullptr, nullptr)); });
    EXPECT_EQ("Unable to getpwnam for user (null)\n", c.err);
}

TEST(VelkaUgidTest, PicksUidOrGid) {
    std::string name;
    uid_t uid;
    gid_t gid;
    if (!findUserWithDistinctIds(name, uid, gid))
        GTEST_SKIP() << "no user whose uid and gid differ";
    EXPECT_EQ(uid, velka_ugid(name.c_str(), 0));
    EXPECT_EQ(gid, velka_ugid(name.c_str(), 1));
}

TEST(VelkaUgidTest, MissingUserGivesZero) {
    Captured c = capture([] {
        EXPECT_EQ(0u, velka_ugid(MISSING_USER, 0));
        EXPECT_EQ(0u, velka_ugid(MISSING_USER, 1));
    });
    EXPECT_EQ("Unable to getpwnam for user velka-no-such-user\n"
              "Unable to getpwnam for user velka-no-such-user\n",
              c.err);
}

TEST(GroupLookupTest, FindsGroupsByNameAndNumber) {
    Captured c = capture([] {
        EXPECT_EQ(ROOT_GROUP, groupIfExists("root"));
        EXPECT_EQ(ROOT_GROUP, groupIfExists("0"));
    });
    EXPECT_EQ("", c.err);

    std::string name;
    gid_t gid;
    ASSERT_TRUE(findNonRootGroup(name, gid));
    errno = EINVAL;
    EXPECT_EQ(gid, get_group_id(name.c_str()));
    EXPECT_EQ(0, errno);
    EXPECT_EQ(gid, get_group_id(std::to_string(gid).c_str()));
    EXPECT_EQ(gid, get_group_if_exists(std::to_string(gid).c_str(), nullptr));
}

TEST(GroupLookupTest, MissingGroupsAreReported) {
    ASSERT_EQ(nullptr, getgrgid(UNUSED_ID));
    Captured c = capture([] {
        EXPECT_EQ(NO_GROUP, groupIfExists("10a"));
        EXPECT_EQ(0u, get_group_id("4000000000"));
    });
    EXPECT_EQ("getgrnam(10a): Group not found\n"
              "getgrgid(4000000000): Group not found\n",
              c.err);
    EXPECT_EQ(c.err, c.out);
}

TEST(GroupLookupTest, EmptyNameIsSilentlyAbsent) {
    Captured c = capture([] {
        EXPECT_EQ(NO_GROUP, groupIfExists(""));
        EXPECT_EQ(NO_GROUP, groupIfExists(nullptr));
    });
    EXPECT_EQ("", c.err);
    EXPECT_EQ("", c.out);
}

TEST(GroupLookupTest, OversizedNumberDoesNotWrapToRoot) {
    Captured c = capture([] { EXPECT_EQ(NO_GROUP, groupIfExists("4294967296")); });
    EXPECT_EQ(ERANGE, errno);
    EXPECT_EQ(0u, c.err.find("getgrgid(4294967296): Numerical result out of range\n")) << c.err;

    c = capture([] { EXPECT_EQ(0, groupIfExists("99999999999999999999999").second); });
    EXPECT_EQ(0u, c.err.find("getgrgid(99999999999999999999999): ")) << c.err;
}

TEST(GetUserIdTest, FindsRootAndReportsMissing) {
    EXPECT_EQ(0u, get_user_id("root"));
    Captured c = capture([] { EXPECT_EQ(0u, get_user_id(MISSING_USER)); });
    EXPECT_EQ("Unable to find uid for user velka-no-such-user: User not found\n", c.err);
    EXPECT_EQ(c.err, c.out);
}

TEST(GetUserNameTest, NameOrUnsignedNumber) {
    EXPECT_STREQ("root", get_user_name(0));
    ASSERT_EQ(nullptr, getpwuid(UNUSED_ID));
    Captured c =
        capture([] { EXPECT_STREQ("4000000000", get_user_name(static_cast<int>(UNUSED_ID))); });
    EXPECT_EQ("", c.err);
}

} // namespace
