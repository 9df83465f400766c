#include "authcheck/velka_settings.h"
#include "authcheck/doveconf.h"

#include <optional>
#include <sstream>

namespace velka::authcheck {

namespace {

bool isPassdbOpening(const std::string &line) {
    return line.rfind("passdb ", 0) == 0 && line.size() > 9 &&
           line.compare(line.size() - 2, 2, " {") == 0;
}

bool isClosing(const std::string &line) {
    const size_t first = line.find_first_not_of(' ');
    return first != std::string::npos && line[first] == '}';
}

// The value a passdb block of a doveconf -n text sets itself; none when it
// leaves the setting to the global one. doveconf -h cannot tell the two apart:
// for passdb/NAME/SETTING it prints an empty line for both an inherited and an
// explicitly empty value.
std::optional<std::string> blockValue(const std::string &config, const std::string &passdb,
                                      const std::string &key) {
    std::istringstream lines(config);
    std::string line;
    const std::string wanted = "  " + key + " = ";
    bool inside = false;
    int depth = 0;
    while (std::getline(lines, line)) {
        if (depth == 0 && isPassdbOpening(line))
            inside = line.substr(7, line.size() - 9) == passdb;
        else if (inside && depth == 1 && line.rfind(wanted, 0) == 0)
            return unquoteValue(line.substr(wanted.size()));
        if (!line.empty() && line.back() == '{')
            ++depth;
        else if (isClosing(line) && --depth == 0)
            inside = false;
    }
    return std::nullopt;
}

} // namespace

std::string velkaPassdb(const std::string &config) {
    std::istringstream lines(config);
    std::string line, name;
    int depth = 0;
    while (std::getline(lines, line)) {
        if (depth == 0 && isPassdbOpening(line))
            name = line.substr(7, line.size() - 9);
        if (depth == 1 && !name.empty() && line == "  driver = velka")
            return name;
        if (!line.empty() && line.back() == '{')
            ++depth;
        else if (isClosing(line) && --depth == 0)
            name.clear();
    }
    return "";
}

// A passdb inherits every setting it does not set from the global level, where
// wendra's include file switches short names on (measured with real logins on
// 2.4.1 and 2.4.5). doveconf -h NAME gives the global value or the default.
void readVelkaSettings(const std::string &configFile, const std::string &config,
                       VelkaSettings *settings) {
    auto resolved = [&](const std::string &key, const std::string &globalKey) {
        if (auto own = blockValue(config, settings->passdbName, key))
            return *own;
        return doveconfValue(configFile, globalKey);
    };
    settings->smtpServer = resolved("velka_smtp_server", "velka_smtp_server");
    settings->useWorker = resolved("use_worker", "passdb_use_worker") == "yes";
    settings->maildirCheck =
        resolved("velka_allow_maildir_stat", "velka_allow_maildir_stat") != "no";
    settings->shortNames = resolved("velka_allow_shortnames", "velka_allow_shortnames") == "yes";
    settings->weakSchemesAllowed = doveconfValue(configFile, "auth_allow_weak_schemes") == "yes";
}

} // namespace velka::authcheck
