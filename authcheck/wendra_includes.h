// wendra's own include files read as files: when doveconf cannot read the
// configuration, the certificate and quota rows still come from what wendra
// wrote, so that they do not vanish with it.
#ifndef VELKA_AUTHCHECK_WENDRA_INCLUDES_H
#define VELKA_AUTHCHECK_WENDRA_INCLUDES_H

#include <string>

namespace velka::authcheck {

// The conf.d directory beside Dovecot's main configuration file.
std::string includeDir(const std::string &configFile);
// The text of the include files whose names begin with prefix and end in
// ".conf", in name order. Files that are links or not regular are left out.
std::string includeFilesText(const std::string &configFile, const std::string &prefix);

} // namespace velka::authcheck

#endif
