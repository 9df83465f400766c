#include "authcheck/wendra_includes.h"
#include "authcheck/files.h"

#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <libgen.h>
#include <unistd.h>
#include <vector>

namespace velka::authcheck {

namespace {

// wendra's include files are a few lines each.
constexpr size_t INCLUDE_LIMIT = 64u << 10;

bool endsWith(const std::string &text, const std::string &end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::vector<std::string> namesIn(int dirFd, const std::string &prefix) {
    std::vector<std::string> names;
    DIR *dir = fdopendir(dup(dirFd));
    if (dir == nullptr)
        return names;
    while (const struct dirent *entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.rfind(prefix, 0) == 0 && endsWith(name, ".conf"))
            names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

std::string includeDir(const std::string &configFile) {
    std::string copy = configFile;
    return std::string(dirname(copy.data())) + "/conf.d";
}

std::string includeFilesText(const std::string &configFile, const std::string &prefix) {
    int dirFd = open(includeDir(configFile).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return "";
    std::string text, error;
    for (const std::string &name : namesIn(dirFd, prefix))
        if (auto content = readFileNoFollowAt(dirFd, name, INCLUDE_LIMIT, &error))
            text += *content + "\n";
    close(dirFd);
    return text;
}

} // namespace velka::authcheck
