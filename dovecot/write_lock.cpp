// The write lock of an include directory: an flock on a root-only file inside it.
#include "dovecot/write_lock.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velka::mail::dovecot {

const char WRITE_LOCK_FILENAME[] = ".wendra.lock";

namespace {

// Twenty-odd commands of the panel at once take a few seconds in all; two minutes
// leave room for a slow reload without letting a stuck command hold the others for ever.
const int DEFAULT_TIMEOUT_SECONDS = 120;
const long RETRY_INTERVAL_NS = 10 * 1000 * 1000;

std::string failure(const std::string &path, const std::string &what) {
    return "Unable to change the Dovecot configuration: " + what + " " + path +
           ", so nothing was changed";
}

// Only a file of ours can be the lock: mode 0600 keeps other users from taking it and
// holding every writer up.
int openLockFile(const std::string &dir, const std::string &path, std::string &error) {
    const int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) {
        error = failure(dir, std::string("cannot open the include directory (") +
                                 std::strerror(errno) + ")");
        return -1;
    }
    const int fd = openat(dirFd, WRITE_LOCK_FILENAME,
                          O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    const int savedErrno = errno;
    close(dirFd);
    if (fd < 0) {
        error = failure(path, std::string("cannot open the lock file (") +
                                  std::strerror(savedErrno) + ")");
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
        (st.st_mode & 077) != 0) {
        close(fd);
        error = failure(path, "the lock file is not a regular file of this user's alone:");
        return -1;
    }
    return fd;
}

} // namespace

int writeLockTimeoutSeconds() {
    const char *text = std::getenv("WENDRA_LOCK_TIMEOUT");
    if (text == nullptr || *text == '\0')
        return DEFAULT_TIMEOUT_SECONDS;
    char *end;
    const long seconds = std::strtol(text, &end, 10);
    if (*end != '\0' || seconds < 0 || seconds > 86400)
        return DEFAULT_TIMEOUT_SECONDS;
    return static_cast<int>(seconds);
}

int acquireWriteLock(const std::string &dir, int timeoutSeconds, std::string &error) {
    const std::string path = dir + "/" + WRITE_LOCK_FILENAME;
    const int fd = openLockFile(dir, path, error);
    if (fd < 0)
        return -1;
    // Polled rather than blocking, so that the wait has a bound without a timer signal.
    const long long tries =
        static_cast<long long>(timeoutSeconds) * 1000000000LL / RETRY_INTERVAL_NS;
    const struct timespec interval = {0, RETRY_INTERVAL_NS};
    for (long long i = 0;; ++i) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            return fd;
        if (errno != EWOULDBLOCK && errno != EINTR) {
            error = failure(path, std::string("cannot lock (") + std::strerror(errno) + ")");
            break;
        }
        if (i >= tries) {
            error = failure(path, "another wendra command held the lock for " +
                                      std::to_string(timeoutSeconds) + " seconds on");
            break;
        }
        nanosleep(&interval, nullptr);
    }
    close(fd);
    return -1;
}

} // namespace velka::mail::dovecot
