// Shared file work of the include-file writers: directory, header, atomic replacement
// and removal of the panel's files in Dovecot's include directory.
#include "dovecot/include_file.h"

#include "dovecot/staging.h"
#include "dovecot/stop_signals.h"
#include "dovecot/write_lock.h"
#include "lib/files/file_writing.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace velka::mail::dovecot {

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

std::string parentDirectory(const std::string &path) {
    std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

// Dovecot's configuration must be readable by the processes that drop root, and
// nobody but root may change it, whatever umask the caller left us.
const mode_t NEW_FILE_MODE = 0644;

// Closes fd after a failure, keeping the failure's errno; returns false.
bool closeAfterFailure(int fd) {
    int savedErrno = errno;
    close(fd);
    errno = savedErrno;
    return false;
}

bool isTempName(const char *name) {
    const size_t prefixLength = sizeof TEMP_NAME_PREFIX - 1;
    return strncmp(name, TEMP_NAME_PREFIX, prefixLength) == 0 &&
           strlen(name) == sizeof TEMP_NAME_TEMPLATE - 1;
}

// Removes the temporary files that killed writers left in dir. Called under the write
// lock, when no other writer can be between creating its temporary file and renaming
// it. Only regular files with the writer's own name pattern are touched, symbolic links
// never followed; any failure just leaves a file for the next command to try again.
void removeLeftoverTempFiles(const std::string &dir) {
    DIR *stream = opendir(dir.c_str());
    if (stream == nullptr)
        return;
    while (const struct dirent *entry = readdir(stream)) {
        if (!isTempName(entry->d_name))
            continue;
        struct stat st;
        if (fstatat(dirfd(stream), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(st.st_mode))
            unlinkat(dirfd(stream), entry->d_name, 0);
    }
    closedir(stream);
}

// The descriptor holding the include directory's write lock, or -1.
int writeLockFd = -1;

// Replaces the file at path through a temporary file in its directory (see
// writeDovecotConfig), keeping the mode and owner of a regular file there, or with
// those of like and its times when given. False with errno set when that failed,
// leaving path untouched.
bool replaceFile(const std::string &path, const std::string &content,
                 const struct stat *like = nullptr) {
    const int dirFd = open(parentDirectory(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return false;
    velka::files::Replacement replacement;
    replacement.data = content.data();
    replacement.len = content.size();
    replacement.mode = NEW_FILE_MODE;
    replacement.keep_existing = like == nullptr;
    const struct timespec times[2] = {like ? like->st_atim : timespec{},
                                      like ? like->st_mtim : timespec{}};
    if (like != nullptr) {
        replacement.mode = like->st_mode & 07777;
        // Only root can give a file away; the caller's own file needs no chown.
        if (like->st_uid != geteuid() || like->st_gid != getegid()) {
            replacement.uid = like->st_uid;
            replacement.gid = like->st_gid;
        }
        replacement.times = times;
    }
    replacement.temp_template = TEMP_NAME_TEMPLATE;
    const std::string::size_type slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const bool replaced = velka::files::replaceAt(dirFd, name.c_str(), replacement);
    const int savedErrno = errno;
    close(dirFd);
    errno = savedErrno;
    return replaced;
}

// What was at a path before this run first changed it.
struct SavedEntry {
    std::string path;
    enum Kind { ABSENT, REGULAR, SYMLINK } kind;
    std::string content; // the file's bytes, or the link's target
    struct stat st;
};

// The entries this run has changed since the configuration was last accepted.
std::vector<SavedEntry> journal;

// Reads the regular file at path without following a link; false with errno set, also
// when the entry is no longer the one lstat() saw.
bool readRegular(const std::string &path, const struct stat &seen, std::string &content) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    if (fstat(fd, &st) != 0)
        return closeAfterFailure(fd);
    if (st.st_dev != seen.st_dev || st.st_ino != seen.st_ino) {
        errno = EAGAIN;
        return closeAfterFailure(fd);
    }
    char buffer[8192];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) != 0) {
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return closeAfterFailure(fd);
        }
        content.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return true;
}

// Saves what is at path before its first change in this run, so that it can be put
// back. Only what the writers can replace is saved: nothing, a regular file, a link;
// anything else gives false with errno EISDIR or EINVAL, and nothing is changed then.
bool rememberBeforeChange(const std::string &path) {
    for (const SavedEntry &saved : journal) {
        if (saved.path == path)
            return true;
    }
    SavedEntry saved{path, SavedEntry::ABSENT, std::string(), {}};
    if (lstat(path.c_str(), &saved.st) != 0) {
        if (errno != ENOENT)
            return false;
    } else if (S_ISREG(saved.st.st_mode)) {
        saved.kind = SavedEntry::REGULAR;
        if (!readRegular(path, saved.st, saved.content))
            return false;
    } else if (S_ISLNK(saved.st.st_mode)) {
        saved.kind = SavedEntry::SYMLINK;
        std::vector<char> target(static_cast<size_t>(saved.st.st_size) + 1);
        ssize_t n = readlink(path.c_str(), target.data(), target.size());
        if (n < 0)
            return false;
        if (static_cast<size_t>(n) == target.size()) {
            errno = EAGAIN; // changed since lstat()
            return false;
        }
        saved.content.assign(target.data(), static_cast<size_t>(n));
    } else {
        // What unlink() or rename() would say about a directory; other kinds they would
        // take away for good.
        errno = S_ISDIR(saved.st.st_mode) ? EISDIR : EINVAL;
        return false;
    }
    journal.push_back(std::move(saved));
    return true;
}

// The owner and times of a link made anew; only root can give it away.
bool restoreLinkAttributes(const SavedEntry &saved) {
    if ((saved.st.st_uid != geteuid() || saved.st.st_gid != getegid()) &&
        lchown(saved.path.c_str(), saved.st.st_uid, saved.st.st_gid) != 0 && geteuid() == 0)
        return false;
    const struct timespec times[2] = {saved.st.st_atim, saved.st.st_mtim};
    return utimensat(AT_FDCWD, saved.path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

// Puts one saved entry back; false with errno set.
bool restore(const SavedEntry &saved) {
    switch (saved.kind) {
    case SavedEntry::ABSENT:
        return unlink(saved.path.c_str()) == 0 || errno == ENOENT;
    case SavedEntry::REGULAR:
        return replaceFile(saved.path, saved.content, &saved.st);
    case SavedEntry::SYMLINK:
        if (unlink(saved.path.c_str()) != 0 && errno != ENOENT)
            return false;
        if (symlink(saved.content.c_str(), saved.path.c_str()) != 0)
            return false;
        return restoreLinkAttributes(saved);
    }
    return false;
}

} // namespace

std::string _getDovecotIncludeDir() {
    const char *dir = getenv("DC_INCLUDE_DIR");
    return dir ? dir : DEFAULT_INCLUDE_DIR;
}

std::string includeFilePath(const std::string &fileName) {
    return _getDovecotIncludeDir() + "/" + fileName;
}

bool lockDovecotConfig() {
    if (writeLockFd >= 0)
        return true;
    const std::string dir = _getDovecotIncludeDir();
    struct stat st;
    // Nothing can be written into a directory that is not there; the writers report
    // that themselves, with their own messages.
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return true;
    std::string error;
    writeLockFd = acquireWriteLock(dir, writeLockTimeoutSeconds(), error);
    if (writeLockFd < 0) {
        std::clog << error << std::endl;
        return false;
    }
    removeLeftoverTempFiles(dir);
    catchStopSignals();
    return true;
}

bool beginDovecotChanges() {
    if (!lockDovecotConfig())
        return false;
    if (writeLockFd >= 0 && !inStaging())
        enterStaging(_getDovecotIncludeDir()); // where it cannot, changes are made in place
    return true;
}

void unlockDovecotConfig() {
    if (inStaging())
        undoDovecotChanges();
    if (writeLockFd < 0)
        return;
    close(writeLockFd);
    writeLockFd = -1;
    releaseStopSignals();
}

int writeDovecotConfig(const std::string &path, const std::string &body) {
    if (!lockDovecotConfig())
        return -1;
    if (!rememberBeforeChange(path))
        return -1;
    return replaceFile(path, INCLUDE_FILE_HEADER + body) ? 0 : -1;
}

int removeDovecotConfig(const std::string &path) {
    if (!lockDovecotConfig())
        return -1;
    if (rememberBeforeChange(path) && (unlink(path.c_str()) == 0 || errno == ENOENT))
        return 0;
    const char *reason = strerror(errno);
    std::clog << "Unable to remove Dovecot configuration file " << path << " : " << reason
              << std::endl;
    return -1;
}

bool dovecotChangesPending() {
    return !journal.empty();
}

namespace {

// What a path holds in the private view: nothing, or a regular file's content.
struct StagedChange {
    std::string path;
    bool present;
    std::string content;
};

bool readStaged(const SavedEntry &saved, std::vector<StagedChange> &changes) {
    StagedChange change{saved.path, false, std::string()};
    struct stat st;
    if (lstat(saved.path.c_str(), &st) == 0) {
        change.present = true;
        if (!S_ISREG(st.st_mode) || !readRegular(saved.path, st, change.content))
            return false;
    } else if (errno != ENOENT) {
        return false;
    }
    changes.push_back(std::move(change));
    return true;
}

bool applyForReal(const StagedChange &change) {
    if (change.present)
        return replaceFile(change.path, change.content);
    return unlink(change.path.c_str()) == 0 || errno == ENOENT;
}

void reportUnwritten(const std::string &path) {
    const char *reason = strerror(errno);
    std::clog << "Unable to write Dovecot configuration file " << path << " : " << reason
              << std::endl;
}

} // namespace

int commitDovecotChanges() {
    if (!inStaging()) {
        journal.clear();
        return 0;
    }
    std::vector<StagedChange> changes;
    for (const SavedEntry &saved : journal) {
        if (!readStaged(saved, changes)) {
            reportUnwritten(saved.path);
            undoDovecotChanges();
            return -1;
        }
    }
    if (!leaveStaging()) {
        reportUnwritten(_getDovecotIncludeDir());
        journal.clear();
        return -1;
    }
    for (const StagedChange &change : changes) {
        if (!applyForReal(change)) {
            reportUnwritten(change.path);
            undoDovecotChanges(); // the journal still holds what each path held
            return -1;
        }
    }
    journal.clear();
    return 0;
}

void keepDovecotChanges() {
    commitDovecotChanges();
}

int undoDovecotChanges() {
    if (inStaging()) {
        // Nothing reached the include directory: leaving the private view is all.
        journal.clear();
        if (leaveStaging())
            return 0;
        reportUnwritten(_getDovecotIncludeDir());
        return -1;
    }
    int result = 0;
    // Newest first; each path is remembered once, so the order only matters for the
    // messages.
    for (auto it = journal.rbegin(); it != journal.rend(); ++it) {
        if (restore(*it))
            continue;
        const char *reason = strerror(errno);
        std::clog << "Unable to restore Dovecot configuration file " << it->path << " : " << reason
                  << std::endl;
        result = -1;
    }
    journal.clear();
    return result;
}

std::string printableText(const std::string &text) {
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

} // namespace velka::mail::dovecot
