// The command line, password lines and the terminal's echo.
#include "admin/command_line.h"
#include "admin/password_input.h"
#include "admin/terminal_echo.h"
#include "tests/authdb/test_mail_auth_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <vector>

#include <pty.h>
#include <termios.h>

using namespace velka::admin;

namespace {

ParseResult parse(std::vector<std::string> words, CommandLine *line) {
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(&word[0]);
    std::string error;
    return parseCommandLine(static_cast<int>(argv.size()), argv.data(), line, &error);
}

TEST(CommandLine, TakesOnlyWhatEachCommandAccepts) {
    const struct {
        std::vector<std::string> argv;
        ParseResult expected;
    } cases[] = {
        {{"x", "--style", "Postfix", "add", "a@b.test", "--crypt"}, ParseResult::Ok},
        {{"x", "-c", "/etc/d.conf", "list", "b.test", "--json"}, ParseResult::Ok},
        {{"x", "domain", "rename", "a.test", "b.test"}, ParseResult::Ok},
        {{"x", "add", "a@b.test", "--help"}, ParseResult::Help},
        {{"x", "add", "a@b.test", "--crypt", "--hash"}, ParseResult::Invalid},
        {{"x", "add", "a@b.test", "secret-password"}, ParseResult::Invalid},
        {{"x", "remove", "a@b.test", "--crypt"}, ParseResult::Invalid},
        {{"x", "domain", "enable", "a.test", "b.test"}, ParseResult::Invalid},
        {{"x", "domain", "rename", "a.test"}, ParseResult::Invalid},
        {{"x", "-c", "/etc/d.conf", "--style", "qmail", "verify"}, ParseResult::Invalid},
        {{"x", "--style", "exim", "verify"}, ParseResult::Invalid},
        {{"x", "--style", "qmail"}, ParseResult::Invalid},
    };
    for (const auto &c : cases) {
        CommandLine line;
        EXPECT_EQ(parse(c.argv, &line), c.expected) << testing::PrintToString(c.argv);
    }
    CommandLine line;
    ASSERT_EQ(parse({"x", "--style=postfix", "passwd", "a@b.test", "--hash"}, &line),
              ParseResult::Ok);
    EXPECT_EQ(line.style, 1);
    EXPECT_EQ(line.context.form, PasswordForm::Hash);
    EXPECT_EQ(line.context.args, std::vector<std::string>{"a@b.test"});
}

// What readSecretLine makes of input, and what it leaves unread.
std::string readFrom(const std::string &input, std::string *left) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    EXPECT_EQ(write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    close(fds[1]);
    Secret secret;
    std::string error;
    const bool ok = readSecretLine(fds[0], &secret, &error);
    char rest[64];
    const ssize_t n = read(fds[0], rest, sizeof(rest));
    *left = std::string(rest, n > 0 ? static_cast<size_t>(n) : 0);
    close(fds[0]);
    return ok ? std::string(secret.c_str(), secret.size()) : "error: " + error;
}

TEST(PasswordLine, IsOneLineWithoutItsEnd) {
    const struct {
        std::string input, expected, left;
    } cases[] = {
        {"pw one\nsecond line\n", "pw one", "second line\n"},
        {"from windows\r\n", "from windows", ""},
        {"no newline", "no newline", ""},
        {"", "error: nothing to read", ""},
        {"\nnext\n", "error: an empty line", "next\n"},
        {std::string("nul\0byte\n", 9), "error: a NUL byte in the line read", "byte\n"},
        {std::string(Secret::CAPACITY + 1, 'x'), "error: longer than 1024 bytes", ""},
    };
    for (const auto &c : cases) {
        std::string left;
        EXPECT_EQ(readFrom(c.input, &left), c.expected) << c.input.substr(0, 20);
        EXPECT_EQ(left, c.left) << c.input.substr(0, 20);
    }
}

bool echoOn(int fd) {
    struct termios mode;
    return tcgetattr(fd, &mode) == 0 && (mode.c_lflag & ECHO) != 0;
}

// The echo comes back when the guard goes and when a signal ends the process.
TEST(EchoOff, RestoresTheEchoOnEveryExit) {
    int master = -1, terminal = -1;
    ASSERT_EQ(openpty(&master, &terminal, nullptr, nullptr, nullptr), 0);
    ASSERT_TRUE(echoOn(terminal));
    {
        EchoOff quiet(terminal);
        ASSERT_TRUE(quiet.ok());
        EXPECT_FALSE(echoOn(terminal));
    }
    EXPECT_TRUE(echoOn(terminal));
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        const pid_t pid = spawn([&] {
            EchoOff quiet(terminal);
            raise(sig);
            return 0;
        });
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << sig;
        EXPECT_TRUE(echoOn(terminal)) << sig;
    }
    close(terminal);
    close(master);
}

} // namespace
