#include "authcheck/velka_settings.h"
#include "authcheck/doveconf.h"

#include <sstream>

namespace velka::authcheck {

std::string velkaPassdb(const std::string &config) {
    std::istringstream lines(config);
    std::string line, name;
    int depth = 0;
    while (std::getline(lines, line)) {
        if (depth == 0 && line.rfind("passdb ", 0) == 0 && line.size() > 9 &&
            line.compare(line.size() - 2, 2, " {") == 0)
            name = line.substr(7, line.size() - 9);
        if (depth == 1 && !name.empty() && line == "  driver = velka")
            return name;
        if (!line.empty() && line.back() == '{')
            ++depth;
        else if (line.find_first_not_of(' ') != std::string::npos &&
                 line[line.find_first_not_of(' ')] == '}' && --depth == 0)
            name.clear();
    }
    return "";
}

void readVelkaSettings(const std::string &configFile, const std::string & /*config*/,
                       VelkaSettings *settings) {
    const std::string prefix = "passdb/" + settings->passdbName + "/";
    settings->smtpServer = doveconfValue(configFile, prefix + "velka_smtp_server");
    settings->useWorker = doveconfValue(configFile, prefix + "use_worker") == "yes";
    settings->maildirCheck = doveconfValue(configFile, prefix + "velka_allow_maildir_stat") != "no";
    settings->shortNames = doveconfValue(configFile, prefix + "velka_allow_shortnames") == "yes";
}

} // namespace velka::authcheck
