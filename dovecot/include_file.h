// Shared file work of the include-file writers: the include directory, the common
// header, the atomic replacement of a file and the removal of one.
#pragma once

#include <string>

namespace velka {
namespace mail {
namespace dovecot {

// The five lines that open every file the panel writes into Dovecot's include directory.
extern const char INCLUDE_FILE_HEADER[];

// "DC_INCLUDE_DIR" when it is set (even empty), else "/etc/dovecot/conf.d"; read anew
// at every call.
std::string _getDovecotIncludeDir();

// The include directory, "/" and the file name, without normalising anything.
std::string includeFilePath(const std::string &fileName);

// Replaces the file at path with the header followed by body. The new content goes to
// a temporary file in the same directory whose name Dovecot's "*.conf" include pattern
// does not match; it is flushed to disk, given the permission bits of the file it
// replaces (or those the umask leaves for a new file) and renamed over path, so a
// reader sees the old file or the new one, never a part. Returns 0, or -1 with errno
// set by the failing call, leaving path untouched and no temporary file behind.
// Temporary files that writers killed more than an hour ago left in the directory are
// removed first.
int writeDovecotConfig(const std::string &path, const std::string &body);

// Removes the file at path: 0 when removed or already missing; otherwise writes
// "Unable to remove Dovecot configuration file <path> : <system error>" to std::clog
// and returns -1.
int removeDovecotConfig(const std::string &path);

// text with every control character and DEL written as \xHH, so that it can be shown
// on one line of a message.
std::string printableText(const std::string &text);

} // namespace dovecot
} // namespace mail
} // namespace velka
