// Tests for the include-file writer: exact file contents, removals, messages, reloads
// and the atomic replacement of files.
#include "dovecot/config_writer.h"

#include "dovecot/include_file.h"
#include "tests/dovecot/test_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>

namespace {

using namespace dovecot_test;
using namespace velka::mail::dovecot;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

const char *const SERVICE_FILES[] = {
    "92-velka-service-imap.conf",       "92-velka-service-pop.conf",
    "92-velka-service-imap-login.conf", "92-velka-service-pop-login.conf",
    "92-velka-service-auth.conf",       "92-velka-service-anvil.conf",
};

std::string processLimitFile(const std::string &service, const std::string &limit) {
    return HEADER + ("service " + service +
                     " {\n    service_restart_request_count = 1\n"
                     "    process_limit = " +
                     limit + "\n}\n");
}

std::string clientLimitFile(const std::string &service, const std::string &limit) {
    return HEADER + ("service " + service + " {\n    client_limit = " + limit + "\n}\n");
}

class ConfigWriterTest : public IncludeDirTest {
protected:
    // What setDovecotConnectionsLimit() reports when a directory stands where the
    // include file named blocked belongs.
    std::string failureWithBlocked(const std::string &blocked) {
        fs::create_directory(dir / blocked);
        CaptureStderr();
        EXPECT_EQ(-1, setDovecotConnectionsLimit(50, true));
        return GetCapturedStderr();
    }
};

TEST_F(ConfigWriterTest, PerIpLimitFileWithoutReload) {
    CaptureStderr();
    EXPECT_EQ(0, setDovecotConnectionsPerIpPerUserLimit(10, false));
    EXPECT_EQ("", GetCapturedStderr());
    EXPECT_EQ(std::string(HEADER) + "mail_max_userip_connections = 10\n",
              file("92-velka-userip_connections.conf"));
    EXPECT_EQ("", velkarc.calls());

    EXPECT_EQ(0, setDovecotConnectionsPerIpPerUserLimit(7, true));
    EXPECT_EQ(std::string(HEADER) + "mail_max_userip_connections = 7\n",
              file("92-velka-userip_connections.conf"));
    EXPECT_EQ("dovecot reload-or-restart\n", velkarc.calls());
}

TEST_F(ConfigWriterTest, ConnectionLimitWritesSixFilesAndReloadsOnce) {
    EXPECT_EQ(0, setDovecotConnectionsLimit(100, true));
    EXPECT_EQ(processLimitFile("imap", "100"), file("92-velka-service-imap.conf"));
    EXPECT_EQ(processLimitFile("pop3", "100"), file("92-velka-service-pop.conf"));
    EXPECT_EQ(processLimitFile("imap-login", "100"), file("92-velka-service-imap-login.conf"));
    EXPECT_EQ(processLimitFile("pop3-login", "100"), file("92-velka-service-pop-login.conf"));
    EXPECT_EQ(clientLimitFile("auth", "404"), file("92-velka-service-auth.conf"));
    EXPECT_EQ(clientLimitFile("anvil", "404"), file("92-velka-service-anvil.conf"));
    EXPECT_EQ("dovecot reload-or-restart\n", velkarc.calls());
}

TEST_F(ConfigWriterTest, ConnectionLimitZeroAndWrappingClientLimit) {
    EXPECT_EQ(0, setDovecotConnectionsLimit(0, false));
    EXPECT_EQ(processLimitFile("imap", "0"), file("92-velka-service-imap.conf"));
    EXPECT_EQ(clientLimitFile("auth", "204"), file("92-velka-service-auth.conf"));

    EXPECT_EQ(0, setDovecotConnectionsLimit(2147483546u, false));
    EXPECT_EQ(processLimitFile("pop3-login", "2147483546"),
              file("92-velka-service-pop-login.conf"));
    EXPECT_EQ(clientLimitFile("anvil", "0"), file("92-velka-service-anvil.conf"));
    EXPECT_EQ("", velkarc.calls());
}

// A batch that cannot be written whole is taken back, so that no later reload takes up
// half of it.
TEST_F(ConfigWriterTest, ConnectionLimitStopsAtFirstFailureWithoutReload) {
    writeFile(dir / "92-velka-service-auth.conf", "old auth\n");
    writeFile(dir / "92-velka-service-pop.conf", "old pop\n");
    EXPECT_EQ("Unable to set connection limit: can not create file " +
                  (dir / "92-velka-service-imap-login.conf") + "\n",
              failureWithBlocked("92-velka-service-imap-login.conf"));
    EXPECT_FALSE(fs::exists(dir / "92-velka-service-imap.conf"));
    EXPECT_EQ("old pop\n", file("92-velka-service-pop.conf"));
    EXPECT_FALSE(fs::exists(dir / "92-velka-service-pop-login.conf"));
    EXPECT_EQ("old auth\n", file("92-velka-service-auth.conf"));
    EXPECT_EQ("", velkarc.calls());
}

TEST_F(ConfigWriterTest, ClientLimitFailureHasItsOwnMessage) {
    EXPECT_EQ("Unable to set client limit: can not create file " +
                  (dir / "92-velka-service-anvil.conf") + "\n",
              failureWithBlocked("92-velka-service-anvil.conf"));
    EXPECT_FALSE(fs::exists(dir / "92-velka-service-auth.conf"));
    EXPECT_EQ("", velkarc.calls());
}

TEST_F(ConfigWriterTest, QuotaWarningFileAndItsRemoval) {
    EXPECT_EQ(0, enableDovecotLimitWarning());
    EXPECT_EQ(std::string(HEADER) + "quota user {\n"
                                    "  warning warn-velka-95-quota {\n"
                                    "    quota_storage_percentage = 95\n"
                                    "    execute quota-warning {\n"
                                    "      args = %{user}\n"
                                    "    }\n"
                                    "  }\n"
                                    "}\n"
                                    "\n"
                                    "service quota-warning {\n"
                                    "    executable = script "
                                    "/usr/lib64/velka-9.0/send-quota-warning\n"
                                    "    user = popuser\n"
                                    "    unix_listener quota-warning {\n"
                                    "        user = popuser\n"
                                    "    }\n"
                                    "}\n",
              file("20-velka-quota-warning.conf"));
    EXPECT_EQ(0, disableDovecotLimitWarning());
    EXPECT_FALSE(fs::exists(dir / "20-velka-quota-warning.conf"));

    CaptureStderr();
    EXPECT_EQ(0, disableDovecotLimitWarning());
    EXPECT_EQ("", GetCapturedStderr());
    EXPECT_EQ("", velkarc.calls());
}

TEST_F(ConfigWriterTest, SubaddressingSwitch) {
    EXPECT_EQ(0, disableDovecotSubaddressing(false));
    EXPECT_EQ(std::string(HEADER) +
                  "auth_username_chars = abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                  "01234567890&.-_@+'\n",
              file(ADDITIONAL_SYMBOLS_FILENAME));
    EXPECT_EQ("", velkarc.calls());

    EXPECT_EQ(0, enableDovecotSubaddressing(true));
    EXPECT_FALSE(fs::exists(dir / ADDITIONAL_SYMBOLS_FILENAME));
    EXPECT_EQ("dovecot reload-or-restart\n", velkarc.calls());
}

TEST_F(ConfigWriterTest, SubaddressingMessageCarriesTheSystemError) {
    ScopedEnv missing("DC_INCLUDE_DIR", (dir / "missing").c_str());
    CaptureStderr();
    EXPECT_EQ(-1, disableDovecotSubaddressing(true));
    EXPECT_EQ("Unable to allow subaddressing symbols. Cannot create/open a configure file file '" +
                  (dir / "missing/21-velka-additional-symbols.conf") +
                  "' with error: No such file or directory\n",
              GetCapturedStderr());
    EXPECT_EQ("", velkarc.calls());
}

TEST_F(ConfigWriterTest, ShortnameSwitchAndReloadResult) {
    EXPECT_EQ(0, setDovecotShortnameParams(true, false));
    EXPECT_EQ(std::string(HEADER) + "velka_allow_shortnames=yes\n",
              file("12-velka-auth-custom.conf"));

    EXPECT_EQ(0, setDovecotShortnameParams(false, false));
    EXPECT_FALSE(fs::exists(dir / "12-velka-auth-custom.conf"));

    // Nothing to remove, still a reload, whose failure is the result.
    velkarc.failWith(4);
    CaptureStderr();
    EXPECT_EQ(4, setDovecotShortnameParams(false, true));
    GetCapturedStderr();
    EXPECT_EQ("dovecot reload-or-restart\n", velkarc.calls());
    EXPECT_EQ(4, restartDovecotService());
}

TEST_F(ConfigWriterTest, ShortnameAndQuotaMessages) {
    ScopedEnv missing("DC_INCLUDE_DIR", (dir / "missing").c_str());
    CaptureStderr();
    EXPECT_EQ(-1, setDovecotShortnameParams(true, true));
    EXPECT_EQ(-1, enableDovecotLimitWarning());
    EXPECT_EQ(-1, setDovecotConnectionsPerIpPerUserLimit(3, true));
    EXPECT_EQ("Unable to set 'allow_shortnames=yes' for Dovecot: cannot create/open file " +
                  (dir / "missing/12-velka-auth-custom.conf") + "\n" +
                  "Unable to configure quota warning notification: cannot create/open file " +
                  (dir / "missing/20-velka-quota-warning.conf") + "\n" +
                  "Unable to set mail_max_userip_connections: can not create file " +
                  (dir / "missing/92-velka-userip_connections.conf") + "\n",
              GetCapturedStderr());
    EXPECT_EQ("", velkarc.calls());
}

TEST_F(ConfigWriterTest, RemovalFailureIsReported) {
    // unlink() refuses a directory, whoever runs the test.
    fs::create_directory(dir / "12-velka-auth-custom.conf");
    fs::create_directory(dir / "20-velka-quota-warning.conf");
    CaptureStderr();
    EXPECT_EQ(-1, setDovecotShortnameParams(false, true));
    EXPECT_EQ(-1, disableDovecotLimitWarning());
    const std::string err = GetCapturedStderr();
    EXPECT_EQ("Unable to remove Dovecot configuration file " + (dir / "12-velka-auth-custom.conf") +
                  " : Is a directory\n"
                  "Unable to remove Dovecot configuration file " +
                  (dir / "20-velka-quota-warning.conf") + " : Is a directory\n",
              err);
    EXPECT_EQ("", velkarc.calls());
}

TEST_F(ConfigWriterTest, IncludeDirectoryComesFromTheEnvironment) {
    ScopedEnv trailing("DC_INCLUDE_DIR", (dir.path() + "/").c_str());
    EXPECT_EQ(dir.path() + "//x.conf", includeFilePath("x.conf"));
    ScopedEnv unset("DC_INCLUDE_DIR", nullptr);
    EXPECT_EQ("/etc/dovecot/conf.d", _getDovecotIncludeDir());
    ScopedEnv empty("DC_INCLUDE_DIR", "");
    EXPECT_EQ("/x.conf", includeFilePath("x.conf"));
}

TEST_F(ConfigWriterTest, RewriteReplacesWholeContentAndKeepsMode) {
    const std::string path = dir / "92-velka-userip_connections.conf";
    writeFile(path, std::string(5000, 'x'), 0604);
    EXPECT_EQ(0, setDovecotConnectionsPerIpPerUserLimit(12, false));
    const std::string first = readFile(path);
    EXPECT_EQ(std::string(HEADER) + "mail_max_userip_connections = 12\n", first);
    EXPECT_EQ(0, setDovecotConnectionsPerIpPerUserLimit(12, false));
    EXPECT_EQ(first, readFile(path));

    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0604u, st.st_mode & 07777);
    EXPECT_EQ("92-velka-userip_connections.conf\n", listDir(dir.path()));
}

// A configuration file nobody else may change, whatever umask the caller left.
TEST_F(ConfigWriterTest, NewFileIsModeSixFourFourWhateverTheUmask) {
    const std::string path = dir / "92-velka-userip_connections.conf";
    for (mode_t mask : {0000, 0027}) {
        unlink(path.c_str());
        mode_t old = umask(mask);
        EXPECT_EQ(0, setDovecotConnectionsPerIpPerUserLimit(1, false));
        umask(old);
        struct stat st;
        ASSERT_EQ(0, stat(path.c_str(), &st));
        EXPECT_EQ(0644u, st.st_mode & 07777) << "umask " << mask;
    }
}

TEST_F(ConfigWriterTest, RewriteKeepsTheOwnerWhenRunAsRoot) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give a file away";
    const std::string path = dir / "92-velka-service-imap.conf";
    writeFile(path, "old\n");
    ASSERT_EQ(0, chown(path.c_str(), 4321, 4322));
    EXPECT_EQ(0, setDovecotConnectionsLimit(5, false));
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(4321u, st.st_uid);
    EXPECT_EQ(4322u, st.st_gid);
}

// A write cut short (here by the file size limit) is a failure: the earlier content
// stays whole and no temporary file is left behind.
TEST_F(ConfigWriterTest, FailedWriteLeavesTheEarlierFile) {
    const std::string path = dir / "20-velka-quota-warning.conf";
    writeFile(path, "earlier content\n");

    struct rlimit old;
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &old));
    struct rlimit small = old;
    small.rlim_cur = 300; // above the captured message, below the file (about 550 bytes)
    auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
    CaptureStderr();
    int result = enableDovecotLimitWarning();
    const std::string err = GetCapturedStderr();
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(-1, result);
    EXPECT_EQ("Unable to configure quota warning notification: cannot create/open file " + path +
                  "\n",
              err);
    EXPECT_EQ("earlier content\n", readFile(path));
    EXPECT_EQ("20-velka-quota-warning.conf\n", listDir(dir.path()));
}

// Writers killed mid-write leave their temporary file; the next writer clears them under
// the lock, when none can be in use, and nothing else that looks alike.
TEST_F(ConfigWriterTest, WriteRemovesLeftoverTemporaryFilesOnly) {
    ScratchDir outside;
    writeFile(outside / "target", "kept\n");
    writeFile(dir / ".velka-tmp.Fresh1", "left by a killed writer");
    writeFile(dir / ".velka-tmp.too-long-name", "not ours");
    ASSERT_EQ(0, symlink((outside / "target").c_str(), (dir / ".velka-tmp.Link01").c_str()));
    ASSERT_EQ(0, mkdir((dir / ".velka-tmp.Dir001").c_str(), 0755));

    EXPECT_EQ(0, setDovecotConnectionsPerIpPerUserLimit(3, false));
    EXPECT_EQ(".velka-tmp.Dir001\n.velka-tmp.Link01\n.velka-tmp.too-long-name\n"
              "92-velka-userip_connections.conf\n",
              listDir(dir.path()));
    EXPECT_EQ("kept\n", readFile(outside / "target"));
}

// While another command holds the lock, a writer waits for it; past the timeout it
// changes nothing, runs nothing and says why. The lock file is root's alone.
TEST_F(ConfigWriterTest, HeldLockRefusesTheWriteAfterTheTimeout) {
    ASSERT_EQ(0, setDovecotConnectionsPerIpPerUserLimit(3, true));
    const std::string lock = dir / WRITE_LOCK_FILENAME;
    struct stat st;
    ASSERT_EQ(0, lstat(lock.c_str(), &st));
    EXPECT_EQ(0100600u, st.st_mode);

    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    const pid_t holder = fork();
    if (holder == 0) {
        const int fd = open(lock.c_str(), O_RDWR);
        flock(fd, LOCK_EX);
        write(ready[1], "x", 1);
        pause();
        _exit(0);
    }
    char byte;
    ASSERT_EQ(1, read(ready[0], &byte, 1));
    ScopedEnv timeout("WENDRA_LOCK_TIMEOUT", "1");
    CaptureStderr();
    EXPECT_EQ(-1, setDovecotConnectionsPerIpPerUserLimit(4, true));
    const std::string err = GetCapturedStderr();
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_EQ(0u, err.find("Unable to change the Dovecot configuration: another wendra command "
                           "held the lock for 1 seconds on " +
                           lock + ", so nothing was changed\n"))
        << err;
    EXPECT_EQ(std::string(HEADER) + "mail_max_userip_connections = 3\n",
              file("92-velka-userip_connections.conf"));
    EXPECT_EQ("dovecot reload-or-restart\n", velkarc.calls());
}

} // namespace
