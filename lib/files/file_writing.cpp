// Writing whole files and replacing them atomically in an opened directory.
#include "lib/files/file_writing.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

namespace velka::files {

namespace {

const char LETTERS[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr int CREATE_ATTEMPTS = 100;

// The template with its trailing X's made random; empty with errno on failure.
std::string randomName(const char *temp_template) {
    std::string name = temp_template;
    size_t first = name.size();
    while (first > 0 && name[first - 1] == 'X')
        --first;
    unsigned char random[64];
    const size_t count = name.size() - first;
    if (count == 0 || count > sizeof random) {
        errno = EINVAL;
        return std::string();
    }
    if (getrandom(random, count, 0) != static_cast<ssize_t>(count))
        return std::string();
    for (size_t i = 0; i < count; ++i)
        name[first + i] = LETTERS[random[i] % (sizeof LETTERS - 1)];
    return name;
}

// Owner, mode and times for the new file, from the request and the file it replaces.
struct Attributes {
    mode_t mode;
    uid_t uid;
    gid_t gid;
    bool owner_is_kept; // taken from the old file: not an error when it cannot be given
    const struct timespec *times;
    struct timespec kept_times[2];
};

Attributes attributesFor(int dirfd, const char *name, const Replacement &r) {
    Attributes a{r.mode, r.uid, r.gid, false, r.times, {}};
    struct stat old;
    if (!r.keep_existing || fstatat(dirfd, name, &old, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(old.st_mode))
        return a;
    a.mode = old.st_mode & 07777;
    a.uid = old.st_uid;
    a.gid = old.st_gid;
    a.owner_is_kept = true;
    if (r.keep_times && r.times == nullptr) {
        a.kept_times[0] = old.st_atim;
        a.kept_times[1] = old.st_mtim;
        a.times = a.kept_times;
    }
    return a;
}

bool giveOwner(int fd, const Attributes &a) {
    if (a.uid == static_cast<uid_t>(-1) && a.gid == static_cast<gid_t>(-1))
        return true;
    if (fchown(fd, a.uid, a.gid) == 0)
        return true;
    // Only root can give a file away; others keep the replacement as theirs.
    return a.owner_is_kept && geteuid() != 0;
}

// Fills the new file and gives it its final attributes. The mode comes last: until
// then only the creator can open the file, and the new owner never holds it with
// rights the old owner had.
bool fill(int fd, const Replacement &r, const Attributes &a) {
    return writeAll(fd, r.data, r.len) && giveOwner(fd, a) && fchmod(fd, a.mode) == 0 &&
           (a.times == nullptr || futimens(fd, a.times) == 0) && fsync(fd) == 0;
}

void closeKeepingErrno(int fd) {
    const int saved = errno;
    close(fd);
    errno = saved;
}

} // namespace

bool writeAll(int fd, const void *data, size_t len) {
    const char *p = static_cast<const char *>(data);
    while (len > 0) {
        const ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0) {
            errno = EIO;
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool StagedFile::stage(int dirfd, const char *name, const Replacement &replacement) {
    discard();
    const Attributes attributes = attributesFor(dirfd, name, replacement);
    int fd = -1;
    std::string temp_name;
    for (int attempt = 0; fd < 0 && attempt < CREATE_ATTEMPTS; ++attempt) {
        temp_name = randomName(replacement.temp_template);
        if (temp_name.empty())
            return false;
        fd = openat(dirfd, temp_name.c_str(),
                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC,
                    attributes.mode & 0600);
        if (fd < 0 && errno != EEXIST)
            return false;
    }
    if (fd < 0)
        return false;
    dirfd_ = dirfd;
    temp_name_ = temp_name;
    name_ = name;
    const bool ok = fill(fd, replacement, attributes);
    if (!ok)
        closeKeepingErrno(fd);
    if (!ok || close(fd) != 0) {
        const int saved = errno;
        discard();
        errno = saved;
        return false;
    }
    return true;
}

bool StagedFile::commit() {
    if (temp_name_.empty()) {
        errno = EINVAL;
        return false;
    }
    if (renameat(dirfd_, temp_name_.c_str(), dirfd_, name_.c_str()) != 0) {
        const int saved = errno;
        discard();
        errno = saved;
        return false;
    }
    temp_name_.clear();
    // Makes the rename durable where the file system allows; the new file is in
    // place already, so a failure here changes nothing for the caller.
    fsync(dirfd_);
    return true;
}

void StagedFile::discard() {
    if (temp_name_.empty())
        return;
    const int saved = errno;
    unlinkat(dirfd_, temp_name_.c_str(), 0);
    errno = saved;
    temp_name_.clear();
}

bool replaceAt(int dirfd, const char *name, const Replacement &replacement) {
    StagedFile file;
    return file.stage(dirfd, name, replacement) && file.commit();
}

} // namespace velka::files
