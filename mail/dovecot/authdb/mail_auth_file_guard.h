// Internal to the mail authentication database: SQLite's opens of the database's
// own files made safe against what another user can place beside them.
#ifndef VELKA_MAIL_AUTH_FILE_GUARD_H
#define VELKA_MAIL_AUTH_FILE_GUARD_H

namespace velka::mail::authdb {

// The database's directory may be writable by the mail system's user (the Postfix
// layout gives it to user postfix), who can put a FIFO, a link or a directory at the
// database's name or at the names SQLite derives from it (-journal, -wal, -shm) and
// that SQLite opens by name. While a FileGuard exists, those opens never follow a
// link and never wait for a FIFO's other end, and anything but a regular file is
// refused with a log line; SQLite then fails the call, which the operation reports.
// Other files (SQLite's temporary files, directories, other databases of the
// process) are opened as before.
class FileGuard {
public:
    FileGuard();
    ~FileGuard();
    FileGuard(const FileGuard &) = delete;
    FileGuard &operator=(const FileGuard &) = delete;
};

} // namespace velka::mail::authdb

#endif
