// Writing whole files: every byte of a buffer to a descriptor, and a file replaced
// atomically inside a directory opened once, so that a reader sees the old content or
// the new one, never a part, and no one ever sees the new file with more rights than
// its final mode grants. Plain libc; failures leave errno set.
#ifndef VELKA_FILES_FILE_WRITING_H
#define VELKA_FILES_FILE_WRITING_H

#include <stddef.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <string>

namespace velka::files {

// Writes all len bytes, resuming after short writes and EINTR; false with errno.
bool writeAll(int fd, const void *data, size_t len);

// What the new file at a name is to be.
struct Replacement {
    const void *data = nullptr;
    size_t len = 0;
    // Mode and owner of the new file; (uid_t)-1 and (gid_t)-1 leave the creator's.
    mode_t mode = 0600;
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
    // When a regular file is being replaced, the new one takes its mode and owner
    // instead (an owner that a non-root caller cannot give is left as the caller's),
    // and with keep_times its access and modification times too.
    bool keep_existing = false;
    bool keep_times = false;
    // Access and modification times to give the new file instead; null for none.
    const struct timespec *times = nullptr;
    // The temporary file's name; its trailing X's become random letters. It must not
    // match anything that readers of the directory pick up.
    const char *temp_template = ".velka-tmp.XXXXXX";
};

// A new file written in full under a temporary name in a directory, then renamed
// over its final name. Two of them let a caller make several files and replace
// none until all of them are written. The temporary file is removed unless commit()
// succeeded.
class StagedFile {
public:
    StagedFile() = default;
    ~StagedFile() { discard(); }
    StagedFile(const StagedFile &) = delete;
    StagedFile &operator=(const StagedFile &) = delete;

    // Creates the temporary file in dirfd (O_EXCL, never through a link, with its
    // final mode or narrower), writes, owns, modes and syncs it, for name. False
    // with errno, nothing left behind.
    bool stage(int dirfd, const char *name, const Replacement &replacement);
    // Renames it over name (a link there is replaced, never followed) and syncs the
    // directory. False with errno; the temporary file is then removed.
    bool commit();
    // Removes the temporary file, if one is still there.
    void discard();

private:
    int dirfd_ = -1;
    std::string name_;
    std::string temp_name_;
};

// stage() and commit() in one.
bool replaceAt(int dirfd, const char *name, const Replacement &replacement);

} // namespace velka::files

#endif
