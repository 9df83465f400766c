// The private view of the include directory: an overlay in a mount namespace of the
// process's own, left again with setns().
#include "dovecot/staging.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velka::mail::dovecot {

namespace {

// Descriptors of what the process had before it entered: its mount namespace, root
// and working directory (setns() moves both to the namespace's root, which under a
// chroot is not the process's root).
int savedNamespace = -1;
int savedRoot = -1;
int savedCwd = -1;
std::string stageDir; // the memory file system's mount point, made on the real disk

void closeSaved() {
    for (int *fd : {&savedNamespace, &savedRoot, &savedCwd}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

bool saveWhereWeAre() {
    savedNamespace = open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
    savedRoot = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    savedCwd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return savedNamespace >= 0 && savedRoot >= 0 && savedCwd >= 0;
}

bool returnToSaved() {
    return setns(savedNamespace, CLONE_NEWNS) == 0 && fchdir(savedRoot) == 0 && chroot(".") == 0 &&
           fchdir(savedCwd) == 0;
}

// The prefix of the mount points made for dir: it names the directory by device and
// inode, so that a command holding dir's write lock knows every other one it finds as
// left by a command that was killed.
std::string stagePrefix(const std::string &dir) {
    struct stat st;
    if (stat(dir.c_str(), &st) != 0)
        return std::string();
    return "wendra-stage." + std::to_string(st.st_dev) + "-" + std::to_string(st.st_ino) + ".";
}

void removeLeftovers(const char *base, const std::string &prefix) {
    DIR *stream = opendir(base);
    if (stream == nullptr)
        return;
    while (const struct dirent *entry = readdir(stream)) {
        if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0)
            unlinkat(dirfd(stream), entry->d_name, AT_REMOVEDIR); // empty ones only
    }
    closedir(stream);
}

// A root-only directory for the memory file system, where run-time files live.
bool makeStageDir(const std::string &dir) {
    const std::string prefix = stagePrefix(dir);
    if (prefix.empty())
        return false;
    for (const char *base : {"/run", "/tmp"}) {
        removeLeftovers(base, prefix);
        std::string path = std::string(base) + "/" + prefix + "XXXXXX";
        if (mkdtemp(&path[0]) != nullptr) {
            stageDir = path;
            return true;
        }
    }
    return false;
}

bool mountOverlay(const std::string &dir) {
    // Private first: nothing mounted here may show in the namespace we came from.
    // The kernel ignores source and type here; names, not nulls, keep valgrind content.
    if (mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    if (mount("tmpfs", stageDir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=0700") != 0)
        return false;
    const std::string upper = stageDir + "/upper", work = stageDir + "/work";
    if (mkdir(upper.c_str(), 0700) != 0 || mkdir(work.c_str(), 0700) != 0)
        return false;
    const std::string options = "lowerdir=" + dir + ",upperdir=" + upper + ",workdir=" + work;
    return mount("overlay", dir.c_str(), "overlay", 0, options.c_str()) == 0;
}

} // namespace

bool enterStaging(const std::string &dir) {
    if (inStaging())
        return true;
    // The overlay's options cannot carry these characters, nor a relative path.
    if (dir.empty() || dir[0] != '/' || dir.find_first_of(",:\\") != std::string::npos)
        return false;
    if (!saveWhereWeAre() || !makeStageDir(dir)) {
        closeSaved();
        return false;
    }
    if (unshare(CLONE_NEWNS) != 0) {
        rmdir(stageDir.c_str());
        closeSaved();
        return false;
    }
    if (!mountOverlay(dir)) {
        const bool back = returnToSaved();
        rmdir(stageDir.c_str());
        closeSaved();
        if (!back)
            abort(); // neither here nor there: writing on would go who knows where
        return false;
    }
    return true;
}

bool inStaging() {
    return savedNamespace >= 0;
}

bool leaveStaging() {
    if (!inStaging())
        return true;
    const bool back = returnToSaved();
    if (back)
        rmdir(stageDir.c_str());
    closeSaved();
    return back;
}

} // namespace velka::mail::dovecot
