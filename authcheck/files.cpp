#include "authcheck/files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

namespace velka::authcheck {

namespace {

std::string userName(uid_t uid) {
    struct passwd *pw = getpwuid(uid);
    return pw ? pw->pw_name : std::to_string(uid);
}

std::string groupName(gid_t gid) {
    struct group *gr = getgrgid(gid);
    return gr ? gr->gr_name : std::to_string(gid);
}

std::string octal(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

} // namespace

std::optional<std::string> lstatAs(const std::string &path, mode_t type, struct stat *st) {
    if (lstat(path.c_str(), st) != 0)
        return errno == ENOENT ? std::string("missing") : std::string(std::strerror(errno));
    if (S_ISLNK(st->st_mode))
        return std::string("a symbolic link (not followed)");
    if ((st->st_mode & S_IFMT) != type)
        return std::string(type == S_IFDIR ? "not a directory" : "not a regular file");
    return std::nullopt;
}

std::string describeAccess(const struct stat &st) {
    return userName(st.st_uid) + ":" + groupName(st.st_gid) + " " + octal(st.st_mode);
}

Status compareAccess(const struct stat &st, const struct mail_auth_access &expected,
                     std::string *finding) {
    const mode_t mode = st.st_mode & 07777;
    std::string wantGroup;
    struct passwd *pw = getpwnam(expected.user);
    if (expected.group != nullptr)
        wantGroup = expected.group;
    else if (pw != nullptr)
        wantGroup = groupName(pw->pw_gid);
    const std::string want =
        std::string(expected.user) + ":" + wantGroup + " " + octal(expected.mode);
    *finding = describeAccess(st) + ", expected " + want;
    if ((mode & ~expected.mode) != 0)
        return Status::Failure;
    if (mode != expected.mode || userName(st.st_uid) != expected.user ||
        groupName(st.st_gid) != wantGroup)
        return Status::Warning;
    return Status::Ok;
}

namespace {

std::optional<std::string> readRegularFile(int dirFd, const std::string &path, size_t limit,
                                           int flags, std::string *error) {
    int fd = openat(dirFd, path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | flags);
    if (fd < 0) {
        *error = errno == ELOOP    ? "a symbolic link (not followed)"
                 : errno == ENOENT ? "missing"
                                   : std::strerror(errno);
        return std::nullopt;
    }
    struct stat st;
    std::string data;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = "not a regular file";
    } else if (static_cast<size_t>(st.st_size) > limit) {
        *error = "larger than expected";
    } else {
        data.resize(static_cast<size_t>(st.st_size));
        ssize_t n = read(fd, data.data(), data.size());
        if (n == st.st_size) {
            close(fd);
            return data;
        }
        *error = "cannot be read";
    }
    close(fd);
    return std::nullopt;
}

} // namespace

std::optional<std::string> readFileNoFollow(const std::string &path, size_t limit,
                                            std::string *error) {
    return readRegularFile(AT_FDCWD, path, limit, O_NOFOLLOW, error);
}

std::optional<std::string> readFileNoFollowAt(int dirFd, const std::string &name, size_t limit,
                                              std::string *error) {
    return readRegularFile(dirFd, name, limit, O_NOFOLLOW, error);
}

std::optional<std::string> readFileFollowing(const std::string &path, size_t limit,
                                             std::string *error) {
    return readRegularFile(AT_FDCWD, path, limit, 0, error);
}

} // namespace velka::authcheck
