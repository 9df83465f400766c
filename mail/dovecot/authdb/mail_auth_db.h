/* The mail authentication database: one SQLite file of mail domains and users
 * with their passwords, written by the panel and read by the passdb plug-in,
 * and the key file beside it that holds the password cipher's key.
 *
 * Lookups keep one read-only handle per process between calls, revalidated
 * against the database path before each use and dropped after any error; all
 * other operations open and close their own. Failures are logged once through velka_log() and
 * answered with -1 (or null) unless stated otherwise.
 *
 * Concurrency: many processes may read and write the file at once; SQLite's
 * locking orders them. A call that finds the file locked waits (a 50 ms busy
 * timeout per try, then retries with a growing pause), but never longer than
 * MAIL_AUTH_BUSY_LIMIT_MSEC in all for one operation: it then gives up with -1
 * and one log line naming the operation and the time waited. Not for use from
 * several threads of one process at once. */
#ifndef VELKA_MAIL_AUTH_DB_H
#define VELKA_MAIL_AUTH_DB_H

#include <stdbool.h>
#include <sys/types.h>

#include "mail/dovecot/authdb/authdb_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Mail server styles; each selects where database and key file live. */
#define MAIL_AUTH_STYLE_QMAIL 0
#define MAIL_AUTH_STYLE_POSTFIX 1

#define MAIL_AUTH_DB_PATH_QMAIL "/var/lib/velka/mail/auth/passwd.db"
#define MAIL_AUTH_KEY_PATH_QMAIL "/var/lib/velka/mail/auth/passwd_db_key"
#define MAIL_AUTH_DB_PATH_POSTFIX "/var/spool/postfix/velka/passwd.db"
#define MAIL_AUTH_KEY_PATH_POSTFIX "/var/spool/postfix/velka/passwd_db_key"

/* Account flags, as the lookups report them and as mailAuthSet takes them. */
#define MAIL_AUTH_FLAG_CRYPT 0x1           /* the password is a crypt hash */
#define MAIL_AUTH_FLAG_USER_DISABLED 0x2   /* users.status is not 0 */
#define MAIL_AUTH_FLAG_DOMAIN_DISABLED 0x4 /* domains.status is not 0 */

/* The longest one operation waits, in all, for a locked database. Dovecot's
 * authentication process is single-threaded, so every login it serves waits
 * with the one that is blocked. The panel writes one short statement at a time,
 * which holds the lock for milliseconds, so five seconds outlast any sound writer
 * (a slow disk's syncs included) by far, while a lock held longer (a stuck
 * process, a long manual transaction) costs each login five seconds instead of
 * hours, and lookups recover by themselves once it is released. */
#define MAIL_AUTH_BUSY_LIMIT_MSEC 5000

/* Receives one account. address is the full address, password the usable
 * password (plain text, or a crypt hash with MAIL_AUTH_FLAG_CRYPT), never null;
 * both are valid during the call only. A result above 0 asks for the next
 * account; 0 or below ends the walk, and the operation returns it. */
typedef int (*mail_auth_callback_t)(const char *address, const char *password, unsigned char flags,
                                    void *data);

/* Paths. The setters keep the caller's pointer, which must stay valid while it
 * is in use; null restores the QMail default. */
VELKA_AUTHDB_EXPORT void mailAuthDBSetPath(const char *path);
VELKA_AUTHDB_EXPORT void mailAuthKeySetPath(const char *path);
VELKA_AUTHDB_EXPORT const char *mailAuthDBGetPath(void);
VELKA_AUTHDB_EXPORT const char *mailAuthKeyGetPath(void);

/* The key file path beside db_path (its directory and "/passwd_db_key"), to
 * be released with free(); null when memory runs out or db_path is null. */
VELKA_AUTHDB_EXPORT char *mailAuthDBToKeyPath(const char *db_path);

/* Sets both paths for MAIL_AUTH_STYLE_QMAIL or _POSTFIX; any other value
 * changes nothing. */
VELKA_AUTHDB_EXPORT void mailAuthDBSelectStyle(int style);

/* Runs "/usr/local/vqa/admin/sbin/wendra-server --features" and returns the
 * style named by its "$features['SMTP_Server']" line: 0 for QMail, 1 for
 * Postfix (in any letter case); -1 when no line names either. */
VELKA_AUTHDB_EXPORT int mailAuthDBDetectStyle(void);

/* Create an empty database (schema only) or a new random 32-byte key at their
 * paths, with any missing parent directories, replacing what was there. These
 * destroy data: a new key makes every stored password undecryptable. 0 or -1.
 *
 * Each new file is written in full under a temporary name beside it and renamed
 * into place, owned by the caller with mode 0600 (whatever the umask, which can
 * only narrow it), so that no one else can open it at any moment: give it its
 * owner and mode with the SetAccess calls below (mailAuthDBInitStyle does).
 * A symbolic link or anything but a regular file at the path is refused with a
 * log line and left alone. The directories above the file are trusted. */
VELKA_AUTHDB_EXPORT int mailAuthDBInit(void);
VELKA_AUTHDB_EXPORT int mailAuthKeyInit(void);

/* Owner and mode of the database's directory, then of the database; of the
 * key file. -1 at the first failing step, later steps untried. The database
 * path must be absolute and not directly under "/". Each file is opened once
 * without following a link and changed through that descriptor, its mode
 * narrowed before the owner changes, so that neither owner ever has more than
 * the final mode grants. Refused with a log line: a symbolic link (for the
 * directory: unless it lies in a directory only root can write), anything but
 * a regular file, and a file with more than one name (a hard link could give
 * a file elsewhere away). */
VELKA_AUTHDB_EXPORT int mailAuthDBSetAccess(uid_t db_uid, gid_t db_gid, mode_t db_mode,
                                            uid_t dir_uid, gid_t dir_gid, mode_t dir_mode);
VELKA_AUTHDB_EXPORT int mailAuthKeySetAccess(uid_t uid, gid_t gid, mode_t mode);

/* Selects the style, creates database and key, and gives them their owners:
 * QMail root and group "nofiles", Postfix user "postfix"; any other style keeps
 * the current paths and gives everything to root. A failure part-way leaves
 * what was made so far. 0 or -1. */
VELKA_AUTHDB_EXPORT int mailAuthDBInitStyle(int style);

/* Replaces the password key: a new random key, and every password encrypted
 * under the old one re-encrypted under it, while lookups and writes go on. The
 * new key is written beside the key file (its name and ".new", with the key
 * file's owner and mode), the passwords and the new key's identity (the
 * database's user_version) change in one transaction, and the new key is then
 * renamed over the old one, which is gone afterwards. Lookups read the identity
 * with each password and take whichever of the two files holds its key, so that
 * every password stays readable at every moment, an interruption included.
 *
 * 0 after a rotation; 1 when the call only finished a rotation interrupted
 * after its commit; -1 after logging, the key and the passwords unchanged.
 * *rotated_r gets the number of passwords re-encrypted, *undecryptable_r that
 * of passwords that did not decrypt under the old key and were left as they
 * were (either may be null). Writers wait for the transaction (at most
 * MAIL_AUTH_BUSY_LIMIT_MSEC). */
VELKA_AUTHDB_EXPORT int mailAuthRotateKey(long *rotated_r, long *undecryptable_r);

/* Takes and drops the process's long-lived reference on the password cipher,
 * so that the key file is read once rather than at every password. */
VELKA_AUTHDB_EXPORT int mailPasswdCipherInit(void);
VELKA_AUTHDB_EXPORT bool mailPasswdCipherCleanup(void);

/* Lookups, on a read-only handle. Addresses and mail names match in any ASCII
 * letter case. Disabled users and domains are reported through the flags, not
 * refused. A password that fails to decrypt is logged and passed on as stored.
 *
 * mailAuthCheck: address is "mailname@domain" (a later "@" belongs to the
 * domain) and is passed to the callback unchanged. -1 on error (a malformed
 * address included), 1 when there is no such account, else the callback's
 * result. mailAuthCheckShort offers every account of that mail name in any
 * domain, in no fixed order; mailAuthIterateAll every account, by domain and
 * then mail name. Both: -1 on error, 1 when the callback was never called,
 * else its last result. */
VELKA_AUTHDB_EXPORT int mailAuthCheck(const char *address, mail_auth_callback_t callback,
                                      void *data);
VELKA_AUTHDB_EXPORT int mailAuthCheckShort(const char *mailname, mail_auth_callback_t callback,
                                           void *data);
VELKA_AUTHDB_EXPORT int mailAuthIterateAll(mail_auth_callback_t callback, void *data);

/* Administration, on a read-write handle (which creates an empty file when
 * there is none). Names are stored in lower case. 0 or -1.
 *
 * mailAuthSet: sets the password and user status of mailname@domain, creating
 * the domain (disabled with MAIL_AUTH_FLAG_DOMAIN_DISABLED) and the user as
 * needed. password is stored as a crypt hash with MAIL_AUTH_FLAG_CRYPT, else
 * encrypted under the key file's key; null stores no password. The whole user
 * row is replaced. Nothing is written when encryption fails.
 * set_postbox_passwd: mailAuthSet, or mailAuthRemove for a null or empty
 * password.
 * mailAuthRemove: deletes the user; a missing domain or user is not an error.
 * mailAuthClone: copies the stored password and flags of an account to another
 * address; 0 without writing when the account does not exist.
 * mailAuthRename: renames a user within its domain; -1 when the domain does not
 * exist or the new name is taken, 0 when the user does not exist.
 * mailAuthDisableDomain, mailAuthEnableDomain, mailAuthRenameDomain: a missing
 * domain changes nothing and is not an error; a rename onto an existing name is.
 * mailAuthRemoveDomain: deletes the domain and all its users. */
VELKA_AUTHDB_EXPORT int mailAuthSet(const char *mailname, const char *domain, const char *password,
                                    unsigned char flags);
VELKA_AUTHDB_EXPORT int set_postbox_passwd(const char *mailname, const char *domain,
                                           const char *password, unsigned char flags);
VELKA_AUTHDB_EXPORT int mailAuthRemove(const char *mailname, const char *domain);
VELKA_AUTHDB_EXPORT int mailAuthClone(const char *mailname, const char *domain,
                                      const char *new_mailname, const char *new_domain);
VELKA_AUTHDB_EXPORT int mailAuthRename(const char *old_mailname, const char *new_mailname,
                                       const char *domain);
VELKA_AUTHDB_EXPORT int mailAuthDisableDomain(const char *domain);
VELKA_AUTHDB_EXPORT int mailAuthEnableDomain(const char *domain);
VELKA_AUTHDB_EXPORT int mailAuthRenameDomain(const char *old_domain, const char *new_domain);
VELKA_AUTHDB_EXPORT int mailAuthRemoveDomain(const char *domain);

#ifdef __cplusplus
}
#endif

#endif
