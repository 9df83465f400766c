// Shared file work of the include-file writers: the include directory, the common
// header, the atomic replacement of a file and the removal of one.
#ifndef VELKA_DOVECOT_INCLUDE_FILE_H
#define VELKA_DOVECOT_INCLUDE_FILE_H

#include <string>

namespace velka::mail::dovecot {

// The five lines that open every file the panel writes into Dovecot's include directory.
extern const char INCLUDE_FILE_HEADER[];

// "DC_INCLUDE_DIR" when it is set (even empty), else "/etc/dovecot/conf.d"; read anew
// at every call.
std::string _getDovecotIncludeDir();

// The include directory, "/" and the file name, without normalising anything.
std::string includeFilePath(const std::string &fileName);

// Replaces the file at path with the header followed by body. The new content goes to
// a temporary file in the same directory whose name Dovecot's "*.conf" include pattern
// does not match; it is flushed to disk, given the permission bits and owner of the
// regular file it replaces (0644 and the caller for a new file, whatever the umask) and
// renamed over path, so a reader sees the old file or the new one, never a part.
// Returns 0, or -1 with errno set by the failing call, leaving path untouched and no
// temporary file behind. Takes the write lock first (see lockDovecotConfig).
int writeDovecotConfig(const std::string &path, const std::string &body);

// Takes the include directory's write lock unless this process holds it already: waits
// for another command to finish, then removes the temporary files that killed writers
// left behind and records the stop signals until unlockDovecotConfig(). False after a
// line on std::clog when the lock could not be had; nothing was changed then.
bool lockDovecotConfig();
// Takes the lock and, where the system allows, moves the process into a private view of
// the include directory (see staging.h): the changes that follow reach the directory
// only through commitDovecotChanges(). False as lockDovecotConfig().
bool beginDovecotChanges();
// Gives the lock up (discarding changes still in the private view) and ends the
// process by a stop signal that arrived meanwhile.
void unlockDovecotConfig();

// Removes the file at path: 0 when removed or already missing; otherwise writes
// "Unable to remove Dovecot configuration file <path> : <system error>" to std::clog
// and returns -1 (or -1 after the lock's own message when the lock could not be had).
int removeDovecotConfig(const std::string &path);

// The two functions above remember what was at each path before its first change since
// the last keepDovecotChanges() (nothing, a regular file with its content, mode, owner
// and times, or a symbolic link), so that a change Dovecot would refuse can be taken
// back. Something else at the path (a directory, a FIFO) is neither saved nor changed.
bool dovecotChangesPending();
// The changes are accepted: those made in the private view are written into the include
// directory (each file replaced atomically; when one cannot be, the ones written before
// are put back and -1 is returned after a line naming it), and what was remembered is
// forgotten. 0 on success.
int commitDovecotChanges();
// commitDovecotChanges(), its result ignored.
void keepDovecotChanges();
// Puts every remembered path back as it was: the private view is left, or, where the
// changes were made in place, files rewritten or removed get their old content back and
// new files go. Returns 0, or -1 after a line on std::clog for each path
// that could not be restored. Either way nothing stays remembered.
int undoDovecotChanges();

// text with every control character and DEL written as \xHH, so that it can be shown
// on one line of a message.
std::string printableText(const std::string &text);

} // namespace velka::mail::dovecot

#endif
