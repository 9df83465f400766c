// Shared file work of the include-file writers: directory, header, atomic replacement
// and removal of the panel's files in Dovecot's include directory.
#include "dovecot/include_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace velka {
namespace mail {
namespace dovecot {

const char INCLUDE_FILE_HEADER[] =
    "#ATTENTION!\n"
    "#\n"
    "#DO NOT MODIFY THIS FILE BECAUSE IT WAS GENERATED AUTOMATICALLY,\n"
    "#SO ALL YOUR CHANGES WILL BE LOST THE NEXT TIME THE FILE IS GENERATED.\n"
    "\n";

namespace {

const char DEFAULT_INCLUDE_DIR[] = "/etc/dovecot/conf.d";

// Starts with a dot and does not end in ".conf", so neither Dovecot's "*.conf" include
// pattern nor the certificate pattern ever takes a left-over temporary file.
const char TEMP_NAME_TEMPLATE[] = ".velka-tmp.XXXXXX";
const char TEMP_NAME_PREFIX[] = ".velka-tmp.";

// A write takes milliseconds from mkostemp() to rename(); a temporary file this much
// older than its last change was left by a writer that was killed, never by one that
// is still running, so removing it cannot break a concurrent write.
const time_t STALE_TEMP_AGE_SECONDS = 3600;

std::string parentDirectory(const std::string &path)
{
    std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

// The permission bits open(2) would give a new file: 0666 less the umask. umask(2)
// cannot be read without being set; the process is single-threaded.
mode_t newFileMode()
{
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

bool writeAll(int fd, const std::string &data)
{
    const char *p = data.data();
    size_t left = data.size();
    while (left > 0) {
        ssize_t n = write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

// Makes the rename itself durable where the file system allows; the new content is
// already on disk and in place, so a failure here changes nothing for the caller.
void syncDirectory(const std::string &dir)
{
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    fsync(fd);
    close(fd);
}

// Closes fd after a failure, keeping the failure's errno; returns false.
bool closeAfterFailure(int fd)
{
    int savedErrno = errno;
    close(fd);
    errno = savedErrno;
    return false;
}

// Fills the open temporary file and renames it over path; false with errno set on the
// first failing call. The descriptor is closed in every case.
bool fillAndRename(int fd, const std::string &tempPath, const std::string &path,
                   const std::string &content)
{
    struct stat st;
    mode_t mode;
    if (stat(path.c_str(), &st) == 0) {
        mode = st.st_mode & 07777;
        // Keep the owner too where we may: the in-place rewrite never changed it.
        // Only root can give a file away, so others keep the replacement as theirs.
        if ((st.st_uid != geteuid() || st.st_gid != getegid()) &&
            fchown(fd, st.st_uid, st.st_gid) != 0 && geteuid() == 0)
            return closeAfterFailure(fd);
    } else if (errno == ENOENT) {
        mode = newFileMode();
    } else {
        return closeAfterFailure(fd);
    }

    if (fchmod(fd, mode) != 0 || !writeAll(fd, content) || fsync(fd) != 0)
        return closeAfterFailure(fd);
    if (close(fd) != 0)
        return false;
    return rename(tempPath.c_str(), path.c_str()) == 0;
}

bool isTempName(const char *name)
{
    const size_t prefixLength = sizeof TEMP_NAME_PREFIX - 1;
    return strncmp(name, TEMP_NAME_PREFIX, prefixLength) == 0 &&
           strlen(name) == sizeof TEMP_NAME_TEMPLATE - 1;
}

// Removes the temporary files that killed writers left in dir. Only regular files with
// the writer's own name pattern are touched, symbolic links never followed; any failure
// just leaves a file for the next write to try again.
void removeStaleTempFiles(const std::string &dir)
{
    DIR *stream = opendir(dir.c_str());
    if (stream == nullptr)
        return;
    const time_t staleBefore = time(nullptr) - STALE_TEMP_AGE_SECONDS;
    while (const struct dirent *entry = readdir(stream)) {
        if (!isTempName(entry->d_name))
            continue;
        struct stat st;
        if (fstatat(dirfd(stream), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(st.st_mode) && st.st_mtime < staleBefore)
            unlinkat(dirfd(stream), entry->d_name, 0);
    }
    closedir(stream);
}

} // namespace

std::string _getDovecotIncludeDir()
{
    const char *dir = getenv("DC_INCLUDE_DIR");
    return dir ? dir : DEFAULT_INCLUDE_DIR;
}

std::string includeFilePath(const std::string &fileName)
{
    return _getDovecotIncludeDir() + "/" + fileName;
}

int writeDovecotConfig(const std::string &path, const std::string &body)
{
    const std::string content = INCLUDE_FILE_HEADER + body;
    const std::string dir = parentDirectory(path);
    std::string tempPath = dir + "/" + TEMP_NAME_TEMPLATE;

    removeStaleTempFiles(dir);
    int fd = mkostemp(&tempPath[0], O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (!fillAndRename(fd, tempPath, path, content)) {
        int savedErrno = errno;
        unlink(tempPath.c_str());
        errno = savedErrno;
        return -1;
    }
    syncDirectory(dir);
    return 0;
}

int removeDovecotConfig(const std::string &path)
{
    if (unlink(path.c_str()) == 0 || errno == ENOENT)
        return 0;
    const char *reason = strerror(errno);
    std::clog << "Unable to remove Dovecot configuration file " << path << " : " << reason
              << std::endl;
    return -1;
}

std::string printableText(const std::string &text)
{
    std::string shown;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) {
            char escaped[5];
            snprintf(escaped, sizeof escaped, "\\x%02x", c);
            shown += escaped;
        } else {
            shown += static_cast<char>(c);
        }
    }
    return shown;
}

} // namespace dovecot
} // namespace mail
} // namespace velka
