// Per-domain SSL certificates: the "14-velka-sni-" include files with their local_name
// blocks.
#include "dovecot/certificates.h"

#include "dovecot/include_file.h"
#include "maildata/domain_name.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <regex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velka::mail::dovecot {

namespace {

const char SNI_FILE_PREFIX[] = "14-velka-sni-";
const char SNI_FILE_SUFFIX[] = ".conf";
const char SNI_FILE_PATTERN[] = "14-velka-sni-.*\\.conf";

// Dovecot's config process reads the file whole into the configuration it hands to
// every process it serves, and refuses the whole configuration when the file cannot be
// read. A certificate chain with its key takes a few kilobytes; 1 MiB leaves room for
// the longest real chains while keeping a file of another kind from filling memory.
const off_t MAX_CERTIFICATE_FILE_BYTES = 1024 * 1024;

const char INSTALL_FAILED[] = "Unable to set custom SSL certificate for Dovecot: ";
const char REMOVE_FAILED[] = "Unable to remove custom SSL certificate for Dovecot: ";

std::string certificateFilePath(const std::string &name) {
    return includeFilePath(SNI_FILE_PREFIX + name + SNI_FILE_SUFFIX);
}

// The name becomes part of a file name and of a configuration line, so only a valid
// domain name may pass: no "/", blank or control character whatever its source.
bool checkName(const std::string &name, const char *failure) {
    if (name.size() == std::strlen(name.c_str()) && is_domain_name_valid(name.c_str()))
        return true;
    std::clog << failure << "invalid certificate name '" << printableText(name) << "'" << std::endl;
    return false;
}

// The path becomes a configuration value: it must not break the line it stands on, and
// Dovecot would resolve a relative one against its own working directory. Its login
// processes take "%{" in a certificate path as the start of a variable when they load
// the certificate, quoted or not (2.4.1's imap-login even crashed on "%{user}"), while
// doveconf accepts it: such a path cannot be named to Dovecot as it is.
bool checkCertificatePath(const std::string &path) {
    bool hasControl = false;
    for (unsigned char c : path) {
        if (c < 0x20 || c == 0x7f)
            hasControl = true;
    }
    if (path.empty() || path[0] != '/' || hasControl) {
        std::clog << INSTALL_FAILED
                  << "certificate file path must be absolute and hold no control character: '"
                  << printableText(path) << "'" << std::endl;
        return false;
    }
    if (path.find("%{") != std::string::npos) {
        std::clog << INSTALL_FAILED
                  << "certificate file path must not hold \"%{\", which Dovecot expands: '" << path
                  << "'" << std::endl;
        return false;
    }
    return true;
}

// Why Dovecot could not load the file at path, or "" when it can. A link is followed,
// as Dovecot does; nothing is opened until stat() shows a regular file, and then
// without blocking, so that a FIFO or a device never holds the command up.
std::string certificateFileProblem(const std::string &path) {
    struct stat seen;
    if (stat(path.c_str(), &seen) != 0)
        return std::strerror(errno);
    if (!S_ISREG(seen.st_mode))
        return "not a regular file";
    if (seen.st_size > MAX_CERTIFICATE_FILE_BYTES)
        return "larger than " + std::to_string(MAX_CERTIFICATE_FILE_BYTES) + " bytes";
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return std::strerror(errno);
    std::string problem;
    struct stat opened;
    char byte;
    if (fstat(fd, &opened) != 0 || opened.st_dev != seen.st_dev || opened.st_ino != seen.st_ino)
        problem = "replaced while it was examined";
    else if (read(fd, &byte, 1) < 0)
        problem = std::strerror(errno);
    close(fd);
    return problem;
}

bool checkCertificateFile(const std::string &path) {
    const std::string problem = certificateFileProblem(path);
    if (problem.empty())
        return true;
    std::clog << INSTALL_FAILED << "certificate file '" << path << "' cannot be used: " << problem
              << std::endl;
    return false;
}

bool isBare(unsigned char c) {
    return c != 0 && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      std::strchr("/._-+,:@=~ ", c) != nullptr || c >= 0x80);
}

// The path as a value Dovecot reads back unchanged. Unquoted, its reader drops trailing
// blanks, ends the value at " #" and joins the next line to a final "\"; inside double
// quotes a "\" escapes the character after it, and nothing else is special. So a path
// of ordinary characters (inner blanks included) stays bare, as it always was written,
// and any other is quoted with "\" and '"' escaped.
std::string configValue(const std::string &path) {
    bool bare = !path.empty() && path.back() != ' ';
    for (unsigned char c : path)
        bare = bare && isBare(c);
    if (bare)
        return path;
    std::string quoted = "\"";
    for (char c : path) {
        if (c == '\\' || c == '"')
            quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

} // namespace

int installDovecotCertificate(const std::string &name, const std::string &certFile) {
    if (!checkName(name, INSTALL_FAILED) || !checkCertificatePath(certFile) ||
        !checkCertificateFile(certFile))
        return -1;
    const std::string path = certificateFilePath(name);
    const std::string value = configValue(certFile);
    const std::string body = "local_name " + name +
                             " {\n"
                             "  ssl_server_cert_file = " +
                             value +
                             "\n"
                             "  ssl_server_key_file = " +
                             value +
                             "\n"
                             "}\n";
    if (writeDovecotConfig(path, body) == 0)
        return 0;
    std::clog << INSTALL_FAILED << "cannot create/open file " << path << std::endl;
    return -1;
}

int removeDovecotCertificate(const std::string &name) {
    if (!checkName(name, REMOVE_FAILED))
        return -1;
    return removeDovecotConfig(certificateFilePath(name));
}

int removeDovecotAllDomainCertificates() {
    namespace fs = std::filesystem;
    const std::regex pattern(SNI_FILE_PATTERN, std::regex::ECMAScript);
    for (const fs::directory_entry &entry : fs::directory_iterator(_getDovecotIncludeDir())) {
        if (std::regex_match(entry.path().filename().string(), pattern))
            fs::remove(entry.path());
    }
    return 0;
}

} // namespace velka::mail::dovecot
