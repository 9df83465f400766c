// Tests for the command operations: how they fold the writer's, the reader's and the
// reload's results into what the command handlers return.
#include "dovecot/command_operations.h"
#include "dovecot/staging.h"

#include "dovecot/config_reader.h"
#include "dovecot/config_writer.h"
#include "tests/dovecot/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <utility>

namespace {

using namespace dovecot_test;
using namespace velka::mail::dovecot::wendra_commands;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

class CommandOperationsTest : public IncludeDirTest {
protected:
    // Runs f with both output streams captured and thrown away.
    template <class F> int quietly(F f) {
        CaptureStdout();
        CaptureStderr();
        int result = f();
        GetCapturedStderr();
        GetCapturedStdout();
        return result;
    }
};

TEST_F(CommandOperationsTest, FeatureReport) {
    CaptureStdout();
    EXPECT_EQ(0, printFeatures());
    EXPECT_EQ("$features['IMAP_POP3_Server'] = \"Dovecot\";\n"
              "$features['IMAP_POP3_Server_package'] = \"dovecot\";\n"
              "$features['IMAP_POP3_Domain_SetCertificate'] = true;\n",
              GetCapturedStdout());
}

TEST_F(CommandOperationsTest, ServiceMaskSelectsTheImapPop3Server) {
    EXPECT_EQ(0, reloadService(0x0F));
    EXPECT_EQ(0, restartService(0x100));
    EXPECT_EQ("", velkarc.calls());
    EXPECT_EQ(0, reloadService(0x10));
    EXPECT_EQ(0, reloadService(0xF0));
    EXPECT_EQ(0, restartService(0x80));
    EXPECT_EQ("dovecot reload-or-restart\ndovecot reload-or-restart\ndovecot restart\n",
              velkarc.calls());

    velkarc.failWith(3);
    EXPECT_EQ(3, quietly([] { return reloadService(0xF0); }));
    EXPECT_EQ(3, quietly([] { return restartService(0xF0); }));
}

TEST_F(CommandOperationsTest, SetOperationsGiveOneForAnyFailure) {
    EXPECT_EQ(0, setConnectionsLimit(100));
    EXPECT_EQ(0, setConnectionsPerIpLimit(7));
    EXPECT_EQ("dovecot reload-or-restart\ndovecot reload-or-restart\n", velkarc.calls());

    velkarc.failWith(3);
    EXPECT_EQ(1, quietly([] { return setConnectionsLimit(100); }));
    EXPECT_EQ(1, quietly([] { return setConnectionsPerIpLimit(7); }));

    ScopedEnv missing("DC_INCLUDE_DIR", (dir / "missing").c_str());
    EXPECT_EQ(1, quietly([] { return setConnectionsLimit(100); }));
    const std::string calls = velkarc.calls();
    EXPECT_EQ(4, std::count(calls.begin(), calls.end(), '\n'));
}

TEST_F(CommandOperationsTest, QuotaWarningReloadsOnlyAfterTheFileWork) {
    EXPECT_EQ(0, enableMailboxLimitWarning());
    EXPECT_TRUE(fs::exists(dir / "20-velka-quota-warning.conf"));
    EXPECT_EQ(0, disableMailboxLimitWarning());
    EXPECT_FALSE(fs::exists(dir / "20-velka-quota-warning.conf"));
    EXPECT_EQ("dovecot reload-or-restart\ndovecot reload-or-restart\n", velkarc.calls());

    velkarc.failWith(3);
    EXPECT_EQ(3, quietly([] { return enableMailboxLimitWarning(); }));
    EXPECT_EQ(3, quietly([] { return disableMailboxLimitWarning(); }));

    fs::create_directory(dir / "20-velka-quota-warning.conf");
    const std::string before = velkarc.calls();
    EXPECT_EQ(1, quietly([] { return enableMailboxLimitWarning(); }));
    EXPECT_EQ(1, quietly([] { return disableMailboxLimitWarning(); }));
    EXPECT_EQ(before, velkarc.calls());
}

TEST_F(CommandOperationsTest, CertificateOperationsNeverReload) {
    writeFile(scriptDir / "c.pem", "certificate\n");
    EXPECT_EQ(0, installCertificate("a.org", scriptDir / "c.pem"));
    EXPECT_EQ(0, removeCertificate("a.org"));
    EXPECT_EQ(0, removeCertificate("a.org"));
    EXPECT_EQ(1, quietly([] { return installCertificate("a/b", "/c.pem"); }));
    EXPECT_EQ(1, quietly([] { return removeCertificate(""); }));
    EXPECT_EQ("", velkarc.calls());
}

// Names, content, mode and modification time of every entry of dir.
std::string snapshot(const std::string &dir) {
    std::string state;
    for (const auto &entry : fs::directory_iterator(dir)) {
        struct stat st;
        lstat(entry.path().c_str(), &st);
        state += entry.path().filename().string() + " " + std::to_string(st.st_mode) + " " +
                 std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) +
                 "\n" + readFile(entry.path()) + "\n";
    }
    return state;
}

// Whatever a command changed is put back, byte for byte, when doveconf refuses the
// result, and nothing is reloaded; a change doveconf accepted earlier stays.
TEST_F(CommandOperationsTest, ConfigurationDoveconfRefusesIsPutBack) {
    ScopedEnv config("DC_CONFIG_PATH", "/x/dovecot.conf");
    const std::string cert = scriptDir / "c.pem";
    writeFile(cert, "certificate\n");
    writeFile(dir / "20-velka-quota-warning.conf", "quota file\n", 0600);
    writeFile(dir / "14-velka-sni-a.org.conf", "other\n", 0640);
    ASSERT_EQ(0, symlink("elsewhere", (dir / "92-velka-service-imap.conf").c_str()));
    EXPECT_EQ(0, setConnectionsPerIpLimit(7));
    EXPECT_EQ("-c /x/dovecot.conf -C -F /bin/true\n", doveconf.calls());
    const std::string accepted = snapshot(dir.path());
    const std::string acceptedCopy = scriptDir / "accepted";
    ASSERT_EQ(0, system(("cp -a '" + dir.path() + "' '" + acceptedCopy + "'").c_str()));

    // Refused whenever the directory is not as it was accepted.
    doveconf.rejectWith("doveconf: Fatal: Error in configuration file /x: Missing '}'\n\x1b[2J\n",
                        "! diff -r --no-dereference '" + dir.path() + "' '" + acceptedCopy +
                            "' >/dev/null");
    const std::pair<const char *, std::function<int()>> commands[] = {
        {"set-limit", [] { return setConnectionsLimit(100); }},
        {"set-per-ip", [] { return setConnectionsPerIpLimit(9); }},
        {"quota-on", [] { return enableMailboxLimitWarning(); }},
        {"quota-off", [] { return disableMailboxLimitWarning(); }},
        // A writer called alone works in place: its file is put back after the check.
        {"writer alone",
         [] { return velka::mail::dovecot::setDovecotConnectionsPerIpPerUserLimit(9, true); }},
        {"certificates",
         [&] {
             return installCertificate("a.org", cert) | installCertificate("b.org", cert) |
                    removeCertificate("a.org") | reloadService(0xF0);
         }},
    };
    for (const auto &command : commands) {
        CaptureStderr();
        EXPECT_EQ(1, command.second()) << command.first;
        const std::string err = GetCapturedStderr();
        EXPECT_EQ(accepted, snapshot(dir.path())) << command.first;
        EXPECT_EQ(0u, err.find("Unable to apply the Dovecot configuration: doveconf rejects it, "
                               "so Dovecot was not reloaded and the include files were put back "
                               "as they were:\ndoveconf: Fatal: Error in configuration file "
                               "/x: Missing '}'\n\\x1b[2J\n"))
            << err;
    }
    EXPECT_EQ("dovecot reload-or-restart\n", velkarc.calls());
}

// A configuration refused before the command changed anything is told apart, and a
// command that removes the file doveconf refuses goes through.
TEST_F(CommandOperationsTest, ConfigurationRefusedBeforehandIsToldApart) {
    writeFile(dir / "14-velka-sni-a.org.conf", "broken\n");
    doveconf.rejectWith("doveconf: Fatal: a.org\n",
                        "[ -e '" + (dir / "14-velka-sni-a.org.conf") + "' ]");
    const std::string refusedBefore = "Unable to apply the Dovecot configuration: doveconf "
                                      "rejected it already before this command changed anything, "
                                      "so Dovecot was not reloaded";
    CaptureStderr();
    EXPECT_EQ(1, reloadService(0xF0));
    EXPECT_EQ(refusedBefore + "; mend or remove the file doveconf names:\ndoveconf: Fatal: a.org\n",
              GetCapturedStderr());
    CaptureStderr();
    EXPECT_EQ(1, setConnectionsPerIpLimit(9));
    EXPECT_EQ(0u, GetCapturedStderr().find(refusedBefore +
                                           " and the include files were put back as they were;"));
    EXPECT_FALSE(fs::exists(dir / "92-velka-userip_connections.conf"));
    EXPECT_EQ("", velkarc.calls());

    EXPECT_EQ(0, removeCertificate("a.org") | reloadService(0xF0));
    EXPECT_EQ("dovecot reload-or-restart\n", velkarc.calls());
}

// As root, a command works in a private view of the include directory: what it leaves
// there unaccepted never reaches the directory.
TEST_F(CommandOperationsTest, UnacceptedChangesNeverReachTheDirectory) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for a mount namespace";
    ASSERT_TRUE(lockConfiguration());
    EXPECT_TRUE(velka::mail::dovecot::inStaging());
    ASSERT_EQ(0, velka::mail::dovecot::writeDovecotConfig(dir / "x.conf", "x\n"));
    EXPECT_TRUE(fs::exists(dir / "x.conf"));
    velka::mail::dovecot::unlockDovecotConfig();
    EXPECT_FALSE(velka::mail::dovecot::inStaging());
    EXPECT_FALSE(fs::exists(dir / "x.conf"));
}

TEST_F(CommandOperationsTest, GetOperationsLetTheReadersErrorsThrough) {
    ScratchDir bin;
    writeScript(bin / "doveconf", "echo 'abc'\n");
    velka::mail::dovecot::setDoveconfPath(bin / "doveconf");
    EXPECT_THROW(getConnectionsPerIpLimit(), std::runtime_error);
    EXPECT_THROW(getConnectionsLimit(), std::runtime_error);
    writeScript(bin / "doveconf", "echo 42\n");
    EXPECT_EQ(42u, getConnectionsPerIpLimit());
    velka::mail::dovecot::setDoveconfPath("/usr/bin/doveconf");
}

} // namespace
