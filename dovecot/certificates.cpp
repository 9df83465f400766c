// Per-domain SSL certificates: the "14-velka-sni-" include files with their local_name
// blocks.
#include "dovecot/certificates.h"

#include "dovecot/include_file.h"
#include "maildata/domain_name.h"

#include <cstring>
#include <filesystem>
#include <iostream>
#include <regex>

namespace velka {
namespace mail {
namespace dovecot {

namespace {

const char SNI_FILE_PREFIX[] = "14-velka-sni-";
const char SNI_FILE_SUFFIX[] = ".conf";
const char SNI_FILE_PATTERN[] = "14-velka-sni-.*\\.conf";

const char INSTALL_FAILED[] = "Unable to set custom SSL certificate for Dovecot: ";
const char REMOVE_FAILED[] = "Unable to remove custom SSL certificate for Dovecot: ";

std::string certificateFilePath(const std::string &name)
{
    return includeFilePath(SNI_FILE_PREFIX + name + SNI_FILE_SUFFIX);
}

// The name becomes part of a file name and of a configuration line, so only a valid
// domain name may pass: no "/", blank or control character whatever its source.
bool checkName(const std::string &name, const char *failure)
{
    if (name.size() == std::strlen(name.c_str()) && is_domain_name_valid(name.c_str()))
        return true;
    std::clog << failure << "invalid certificate name '" << printableText(name) << "'"
              << std::endl;
    return false;
}

// The path becomes a configuration value: it must not break the line it stands on, and
// Dovecot would resolve a relative one against its own working directory.
bool checkCertificatePath(const std::string &path)
{
    bool hasControl = false;
    for (unsigned char c : path) {
        if (c < 0x20 || c == 0x7f)
            hasControl = true;
    }
    if (!path.empty() && path[0] == '/' && !hasControl)
        return true;
    std::clog << INSTALL_FAILED
              << "certificate file path must be absolute and hold no control character: '"
              << printableText(path) << "'" << std::endl;
    return false;
}

} // namespace

int installDovecotCertificate(const std::string &name, const std::string &certFile)
{
    if (!checkName(name, INSTALL_FAILED) || !checkCertificatePath(certFile))
        return -1;
    const std::string path = certificateFilePath(name);
    const std::string body = "local_name " + name + " {\n"
                             "  ssl_server_cert_file = " + certFile + "\n"
                             "  ssl_server_key_file = " + certFile + "\n"
                             "}\n";
    if (writeDovecotConfig(path, body) == 0)
        return 0;
    std::clog << INSTALL_FAILED << "cannot create/open file " << path << std::endl;
    return -1;
}

int removeDovecotCertificate(const std::string &name)
{
    if (!checkName(name, REMOVE_FAILED))
        return -1;
    return removeDovecotConfig(certificateFilePath(name));
}

int removeDovecotAllDomainCertificates()
{
    namespace fs = std::filesystem;
    const std::regex pattern(SNI_FILE_PATTERN, std::regex::ECMAScript);
    for (const fs::directory_entry &entry : fs::directory_iterator(_getDovecotIncludeDir())) {
        if (std::regex_match(entry.path().filename().string(), pattern))
            fs::remove(entry.path());
    }
    return 0;
}

} // namespace dovecot
} // namespace mail
} // namespace velka
