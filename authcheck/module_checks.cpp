// The plug-in's ABI string against the installed Dovecot's, and the settings
// library without which Dovecot rejects the plug-in's settings.
#include "authcheck/checks.h"
#include "authcheck/dovecot_paths.h"
#include "authcheck/elf_string.h"
#include "authcheck/files.h"

#include <cctype>
#include <cstdint>
#include <unistd.h>

namespace velka::authcheck {

namespace {

constexpr size_t LIBRARY_LIMIT = 64u << 20;

// The library's versioned file: the link by its soname is read, not followed,
// and only a name in the same directory is accepted.
std::string libdovecotFile() {
    char target[256];
    ssize_t n = readlink(LIBDOVECOT, target, sizeof target - 1);
    if (n <= 0 || std::string(target, n).find('/') != std::string::npos)
        return LIBDOVECOT;
    const std::string path = LIBDOVECOT;
    return path.substr(0, path.rfind('/') + 1) + std::string(target, n);
}

// libdovecot carries the ABI string it compares every module's against; a
// plain dovecot-core install has no other record of it.
std::optional<std::string> dovecotAbi(std::string *error) {
    auto image = readFileNoFollow(libdovecotFile(), LIBRARY_LIMIT, error);
    if (!image)
        return std::nullopt;
    // "MAJOR.MINOR.ABIvN", found around its fixed middle part.
    for (size_t at = image->find(".ABIv"); at != std::string::npos;
         at = image->find(".ABIv", at + 1)) {
        const std::string &text = *image;
        size_t begin = at, end = at + 5;
        while (begin > 0 && (std::isdigit(uint8_t(text[begin - 1])) || text[begin - 1] == '.'))
            --begin;
        while (end < image->size() && std::isdigit(uint8_t((*image)[end])))
            ++end;
        if (begin < at && end > at + 5)
            return image->substr(begin, end - begin);
    }
    *error = "holds no ABI string";
    return std::nullopt;
}

CheckResult abiCheck() {
    const std::string id = "module.abi";
    std::string error;
    auto image = readFileNoFollow(PLUGIN, LIBRARY_LIMIT, &error);
    if (!image)
        return {id, Status::Failure,
                std::string(PLUGIN) + " is " + error + ": install dovecot-auth-velka"};
    auto plugin = readPointerSymbolString(*image, "authdb_velka_version");
    if (!plugin)
        return {id, Status::Failure,
                std::string(PLUGIN) + " carries no authdb_velka_version: reinstall it"};
    auto dovecot = dovecotAbi(&error);
    if (!dovecot)
        return {id, Status::Failure, std::string(LIBDOVECOT) + " " + error};
    if (*plugin != *dovecot)
        return {id, Status::Failure,
                "the plug-in is built for " + *plugin + ", Dovecot is " + *dovecot +
                    ": install the plug-in built for this Dovecot release"};
    return {id, Status::Ok, "plug-in and Dovecot both " + *plugin};
}

} // namespace

void checkModules(Results &results) {
    results.push_back(abiCheck());
    struct stat st;
    if (auto error = lstatAs(SETTINGS_LIBRARY, S_IFREG, &st))
        results.push_back({"module.settings_library", Status::Failure,
                           std::string(SETTINGS_LIBRARY) + " is " + *error +
                               ": reinstall dovecot-auth-velka, then restart Dovecot"});
    else
        results.push_back({"module.settings_library", Status::Ok, SETTINGS_LIBRARY});
}

} // namespace velka::authcheck
