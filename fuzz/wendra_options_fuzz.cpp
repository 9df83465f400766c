// libFuzzer target for wendra's option parsing of every command: runs the real command
// handlers on fuzzed argument vectors, with the command operations replaced by stubs
// that only check what the parser handed them, so nothing is ever written.
//
// Input: the first byte picks the command, the rest are its arguments separated by NUL
// bytes. Help requests and option errors, which end the real program through exit(),
// are caught through the usage-exit seam of the option helper.
#include "dovecot/command_operations.h"
#include "fuzz/fuzz_support.h"
#include "lib/log/velka_log.h"
#include "maildata/domain_name.h"
#include "wendra/ProgramOptionsHelper.h"
#include "wendra/wendra_commands.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <streambuf>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

// The stubs of the command operations: no file, no program is touched.
namespace velka::mail::dovecot::wendra_commands {

namespace {

bool isNormalisedName(const std::string &name) {
    if (name.empty() || name.find(',') != std::string::npos || !is_domain_name_valid(name.c_str()))
        return false;
    for (char c : name)
        if (c >= 'A' && c <= 'Z')
            return false;
    return true;
}

} // namespace

int printFeatures() {
    return 0;
}
std::uint32_t getConnectionsLimit() {
    return 0;
}
std::uint32_t getConnectionsPerIpLimit() {
    return 0;
}
int setConnectionsLimit(std::uint32_t) {
    return 0;
}
int setConnectionsPerIpLimit(std::uint32_t) {
    return 0;
}
int enableMailboxLimitWarning() {
    return 0;
}
int disableMailboxLimitWarning() {
    return 0;
}
int restartService(std::uint32_t) {
    return 0;
}
int reloadService(std::uint32_t) {
    return 0;
}
bool lockConfiguration() {
    return true;
}

// The names reaching the operations are single, valid, lower-case domain names.
int installCertificate(const std::string &name, const std::string &) {
    CHECK(isNormalisedName(name));
    return 0;
}

int removeCertificate(const std::string &name) {
    CHECK(isNormalisedName(name));
    return 0;
}

} // namespace velka::mail::dovecot::wendra_commands

namespace {

namespace cmd = velka::mail::wendra_commands;

// What the real program would have done with exit(status).
struct UsageExit {
    int status;
};

[[noreturn]] void throwUsageExit(int status) {
    throw UsageExit{status};
}

class NullBuffer : public std::streambuf {
protected:
    int_type overflow(int_type ch) override { return traits_type::not_eof(ch); }
};

NullBuffer nullBuffer;

const cmd::CommandHandler HANDLERS[] = {
    cmd::getImapConnectionsLimit,
    cmd::setImapConnectionsLimit,
    cmd::getImapConnectionsPerIpLimit,
    cmd::setImapConnectionsPerIpLimit,
    cmd::installImapCertificate,
    cmd::removeImapCertificate,
    cmd::enableMailboxLimitWarning,
    cmd::disableMailboxLimitWarning,
    cmd::printFeatures,
};
const char *const WORDS[] = {
    "--get-connections-limit",        "--set-connections-limit", "--get-connections-per-ip-limit",
    "--set-connections-per-ip-limit", "--install-certificate",   "--remove-certificate",
    "--quota-warning-enable",         "--quota-warning-disable", "--features",
};
constexpr size_t COMMAND_COUNT = sizeof(HANDLERS) / sizeof(HANDLERS[0]);
constexpr size_t MAX_ARGUMENTS = 64;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    cmd::setUsageExit(throwUsageExit);
    velka_log = velka_fuzz::quietLog;
    std::cout.rdbuf(&nullBuffer);
    std::cerr.rdbuf(&nullBuffer);
    // --wait-stdin and a bare --remove-certificate read standard input: let them find
    // its end at once, whatever the fuzzer was started with.
    int devNull = open("/dev/null", O_RDONLY);
    if (devNull >= 0) {
        dup2(devNull, STDIN_FILENO);
        close(devNull);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    size_t command = data[0] % COMMAND_COUNT;

    std::vector<std::string> arguments{WORDS[command]};
    const char *text = reinterpret_cast<const char *>(data + 1);
    const char *end = text + (size - 1);
    while (text < end && arguments.size() < MAX_ARGUMENTS) {
        const char *stop = static_cast<const char *>(std::memchr(text, '\0', end - text));
        if (!stop)
            stop = end;
        arguments.emplace_back(text, stop);
        text = stop + 1;
    }
    std::vector<char *> argv;
    for (std::string &argument : arguments)
        argv.push_back(&argument[0]);
    argv.push_back(nullptr);

    try {
        int status = HANDLERS[command](static_cast<int>(arguments.size()), argv.data());
        CHECK(status == 0);
    } catch (const UsageExit &exit) {
        // Help exits 0, an option error 1; nothing else.
        CHECK(exit.status == 0 || exit.status == 1);
    } catch (const std::exception &) {
        // Bad names and unreadable standard-input data reach main() as exceptions.
    }
    return 0;
}
