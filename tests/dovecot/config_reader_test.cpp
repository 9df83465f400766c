// Tests for the configuration reader, run against a fake doveconf that answers from
// files and records every call.
#include "dovecot/config_reader.h"

#include "lib/process/lib/ExecCmd.h"
#include "tests/dovecot/test_support.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

using namespace dovecot_test;
using namespace velka::mail::dovecot;

using velka::ExecCmdFailed;

// A doveconf that prints DIR/<name with "/" as "_"> for "-h NAME" and exits 0, or exits
// 89 when no such file exists; each call's arguments go to one line of the call log.
class FakeDoveconf {
public:
    FakeDoveconf() : program(dir / "doveconf") {
        writeScript(program, "for a; do printf '[%s]' \"$a\"; done >> '" + (dir / "calls") +
                                 "'\n"
                                 "echo >> '" +
                                 (dir / "calls") +
                                 "'\n"
                                 "for name; do :; done\n"
                                 "f='" +
                                 dir.path() +
                                 "/'$(printf '%s' \"$name\" | tr / _)\n"
                                 "[ -f \"$f\" ] || { echo \"unknown $name\" >&2; exit 89; }\n"
                                 "cat \"$f\"\n");
        setDoveconfPath(program);
    }
    ~FakeDoveconf() { setDoveconfPath("/usr/bin/doveconf"); }

    void set(std::string name, const std::string &output) {
        for (char &c : name)
            if (c == '/')
                c = '_';
        writeFile(dir / name, output);
    }
    std::string calls() const { return readFile(dir / "calls"); }

    ScratchDir dir;
    const std::string program;
};

// The message of the std::runtime_error that read() throws; a process failure must
// have been translated into one.
template <class Read> std::string translatedError(Read read) {
    try {
        read();
    } catch (const ExecCmdFailed &e) {
        return std::string("process failure not translated: ") + e.what();
    } catch (const std::runtime_error &e) {
        return e.what();
    }
    return "no exception";
}

class ConfigReaderTest : public testing::Test {
protected:
    ScopedEnv noConfig{"DC_CONFIG_PATH", nullptr};
    FakeDoveconf doveconf;

    // An imap service without a process limit of its own, so that the default counts.
    void withDefaultProcessLimit(const char *limit) {
        doveconf.set("service/imap/service_restart_request_count", "0\n");
        doveconf.set("service/imap/process_limit", "0\n");
        doveconf.set("default_process_limit", limit);
    }
};

TEST_F(ConfigReaderTest, ArgumentsFollowTheConfigurationPath) {
    doveconf.set("mail_max_userip_connections", "10\n");
    EXPECT_EQ("10", readParamFromConfig("mail_max_userip_connections"));
    {
        ScopedEnv config("DC_CONFIG_PATH", "/etc/other/dovecot.conf");
        readParamFromConfig("mail_max_userip_connections");
    }
    {
        ScopedEnv config("DC_CONFIG_PATH", "");
        readParamFromConfig("mail_max_userip_connections");
    }
    EXPECT_EQ("[-h][mail_max_userip_connections]\n"
              "[-c][/etc/other/dovecot.conf][-h][mail_max_userip_connections]\n"
              "[-c][][-h][mail_max_userip_connections]\n",
              doveconf.calls());
}

TEST_F(ConfigReaderTest, OnlyTrailingWhiteSpaceIsRemoved) {
    doveconf.set("a", "100\n\n");
    doveconf.set("b", "  two\nlines \t\r\n");
    doveconf.set("c", "");
    EXPECT_EQ("100", readParamFromConfig("a"));
    EXPECT_EQ("  two\nlines", readParamFromConfig("b"));
    EXPECT_EQ("", readParamFromConfig("c"));
}

TEST_F(ConfigReaderTest, FailedRunPassesTheProcessFailureUnchanged) {
    try {
        readParamFromConfig("service/imap/client_limit");
        FAIL() << "no exception";
    } catch (const ExecCmdFailed &e) {
        const std::string what = e.what();
        // The command line names the program set through setDoveconfPath first.
        EXPECT_EQ(0u, what.find("Execution of " + doveconf.program)) << what;
        EXPECT_NE(std::string::npos, what.find("return code 89")) << what;
        EXPECT_NE(std::string::npos, what.find("unknown service/imap/client_limit")) << what;
    }
}

TEST_F(ConfigReaderTest, PerIpLimitConversion) {
    const std::pair<const char *, std::uint32_t> accepted[] = {
        {"7\n", 7}, {"+5\n", 5}, {"-1\n", 4294967295u}, {"4294967295", 4294967295u}, {"00", 0}};
    for (const auto &c : accepted) {
        doveconf.set("mail_max_userip_connections", c.first);
        EXPECT_EQ(c.second, getDovecotConnectionsPerIpPerUserLimit()) << c.first;
    }
    for (const char *value : {"abc", "  100", "4294967296", "", "1 2", "0x10", "--1"}) {
        doveconf.set("mail_max_userip_connections", value);
        EXPECT_EQ("Unable to convert mail_max_userip_connections limit to integer(" +
                      std::string(value) + ")",
                  translatedError(getDovecotConnectionsPerIpPerUserLimit));
    }
}

TEST_F(ConfigReaderTest, PerIpLimitRunFailure) {
    const std::string what = translatedError(getDovecotConnectionsPerIpPerUserLimit);
    EXPECT_EQ(0u, what.find("Unable to get dovecot per IP address per mail name connections "
                            "limit: Execution of "))
        << what;
}

TEST_F(ConfigReaderTest, SingleConnectionProcessesGiveTheProcessLimit) {
    doveconf.set("service/imap/service_restart_request_count", "1\n");
    doveconf.set("service/imap/process_limit", "25\n");
    EXPECT_EQ(25u, getDovecotConnectionsLimit());
    EXPECT_EQ("[-h][service/imap/service_restart_request_count]\n"
              "[-h][service/imap/process_limit]\n",
              doveconf.calls());

    doveconf.set("service/imap/process_limit", "00\n");
    EXPECT_EQ(0u, getDovecotConnectionsLimit());
}

TEST_F(ConfigReaderTest, DefaultsAndClientLimitMultiply) {
    withDefaultProcessLimit("100\n");
    doveconf.set("service/imap/client_limit", "0\n");
    doveconf.set("default_client_limit", "1000\n");
    EXPECT_EQ(100000u, getDovecotConnectionsLimit());
    EXPECT_EQ("[-h][service/imap/service_restart_request_count]\n"
              "[-h][service/imap/process_limit]\n"
              "[-h][default_process_limit]\n"
              "[-h][service/imap/client_limit]\n"
              "[-h][default_client_limit]\n",
              doveconf.calls());

    // "01" is not "1": the client limit counts, and the product wraps in 32 bits.
    doveconf.set("service/imap/service_restart_request_count", "01\n");
    doveconf.set("service/imap/process_limit", "65536\n");
    doveconf.set("service/imap/client_limit", "65537\n");
    EXPECT_EQ(65536u, getDovecotConnectionsLimit());
}

TEST_F(ConfigReaderTest, ConnectionLimitFailures) {
    withDefaultProcessLimit("x1\n");
    EXPECT_EQ("Unable to convert service 'service/imap/process_limit' limit (x1) to integer",
              translatedError(getDovecotConnectionsLimit));

    doveconf.set("default_process_limit", "10\n");
    doveconf.set("service/imap/client_limit", "-\n");
    EXPECT_EQ("Unable to convert service 'service/imap/client_limit' limit (-) to integer",
              translatedError(getDovecotConnectionsLimit));

    // doveconf fails for the client limit: nothing partial comes back.
    std::remove((doveconf.dir / "service_imap_client_limit").c_str());
    const std::string what = translatedError(getDovecotConnectionsLimit);
    EXPECT_EQ(0u, what.find("Unable to get dovecot connections limit: Execution of ")) << what;
    EXPECT_NE(std::string::npos, what.find("unknown service/imap/client_limit")) << what;
}

} // namespace
