#include "authcheck/doveconf.h"
#include "authcheck/dovecot_paths.h"

namespace velka::authcheck {

namespace {

// doveconf answers in well under a second. It does open the files that settings
// name, though, and one that is a FIFO without a writer would keep it waiting for
// ever; ten seconds leave room for a busy server.
constexpr std::chrono::seconds DOVECONF_LIMIT{10};

} // namespace

ProgramOutput doveconf(const std::string &configFile, const std::vector<std::string> &args) {
    std::vector<std::string> argv = {DOVECONF, "-c", configFile};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram(argv, DOVECONF_LIMIT);
}

std::string doveconfValue(const std::string &configFile, const std::string &name) {
    std::string value = doveconf(configFile, {"-h", name}).out;
    while (!value.empty() && (value.back() == '\n' || value.back() == '\r'))
        value.pop_back();
    return value;
}

std::string unquoteValue(const std::string &value) {
    if (value.size() < 2 || value.front() != '"' || value.back() != '"')
        return value;
    std::string out;
    for (size_t i = 1; i + 1 < value.size(); ++i) {
        if (value[i] == '\\' && i + 2 < value.size())
            ++i;
        out += value[i];
    }
    return out;
}

} // namespace velka::authcheck
