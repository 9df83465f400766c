/* The panel's configuration file "/etc/vqa/vqa.conf": a small key-value store
 * (conf_*_r), the parser of its format, the process-wide loaded copy with the
 * compile-time defaults of the well-known variables (vqaConfGet*), and
 * createNestedDirectory.
 *
 * The file holds one "NAME value" per line: NAME is made of ASCII letters,
 * digits and "_" and is followed by whitespace; the value runs to the end of
 * the line or to the first "#", without surrounding blanks, and may hold inner
 * blanks. Blank lines and lines starting with "#" are ignored; malformed lines
 * are logged and skipped; a repeated name keeps its last value.
 *
 * Nothing here is thread-safe. */
#ifndef VELKA_VQA_CONF_H
#define VELKA_VQA_CONF_H

#include <stddef.h>

#include "mail/dovecot/authdb/authdb_export.h"

#ifdef __cplusplus
extern "C" {
#endif

#define VQA_CONF_FILE "/etc/vqa/vqa.conf"

typedef struct conf_item {
    char *name;  /* owned */
    char *value; /* owned */
} conf_item;

/* A store; all zero when new. Names are unique within it. */
typedef struct conf_r {
    conf_item *items; /* capacity entries, count of them used */
    size_t capacity;
    size_t count;
    int sorted; /* the used entries are in strcmp order of their names */
} conf_r;

/* Indices of the well-known variables; the first and last are bounds markers. */
enum vqa_conf_var {
    VQA_MIN_POSSIBLE_VAR = 0,
    VQA_VELKA_MAILNAMES_D,
    VQA_RBLSMTPD,
    VQA_CLIENT_PHP_BIN,
    VQA_LIB_CRYPTO_PATH,
    VQA_LIB_SSL_PATH,
    VQA_AWSTATS_DOC_D,
    VQA_AWSTATS_TOOLS_D,
    VQA_AWSTATS_BIN_D,
    VQA_AWSTATS_ETC_D,
    VQA_MAILMAN_VAR_D,
    VQA_MAILMAN_ROOT_D,
    VQA_PGSQL_DATA_D,
    VQA_PGSQL_BIN_D,
    VQA_MYSQL_BIN_D,
    VQA_MYSQL_VAR_D,
    VQA_WEB_STAT,
    VQA_DUMP_D,
    VQA_DUMP_TMP_D,
    VQA_NAMED_RUN_ROOT_D,
    VQA_HTTPD_BIN,
    VQA_HTTPD_SERVICE,
    VQA_HTTPD_LOG_D,
    VQA_HTTPD_INCLUDE_D,
    VQA_HTTPD_CONF_D,
    VQA_HTTPD_VHOSTS_D,
    VQA_MYSQL_SOCKET,
    VQA_SA_MAX_MAIL_SIZE,
    VQA_SNI_SUPPORT,
    VQA_PRODUCT_ROOT_D,
    VQA_MAX_POSSIBLE_VAR
};

/* Makes room for one more entry. -1 with errno ENOMEM when memory runs out. */
VELKA_AUTHDB_EXPORT int conf_init_r(conf_r *conf);

/* Stores copies of name and value, replacing the value of an existing name.
 * -1 with errno EINVAL for a null argument or ENOMEM; the store is then unchanged. */
VELKA_AUTHDB_EXPORT int conf_set_r(const char *name, const char *value, conf_r *conf);

/* Sorts the entries by name so that conf_get_r can search them by halves. */
VELKA_AUTHDB_EXPORT void conf_finalize_r(conf_r *conf);

/* The value of name (owned by the store, valid while it lives), or null. */
VELKA_AUTHDB_EXPORT const char *conf_get_r(const char *name, const conf_r *conf);

/* Parses the file at path into the store and finalises it. -1 with errno set
 * when the file cannot be opened or read or memory runs out; pairs read before
 * a failure stay in the store. */
VELKA_AUTHDB_EXPORT int conf_read_file_r(const char *path, conf_r *conf);

/* Frees the entries, the array and the record itself, which must therefore come
 * from malloc() or calloc(). Null is allowed. */
VELKA_AUTHDB_EXPORT void conf_free_r(conf_r *conf);

/* Loads VQA_CONF_FILE into the process-wide store unless it is loaded already.
 * -1 after logging when it cannot be read; a later call tries again. */
VELKA_AUTHDB_EXPORT int autoprepend(void);

/* The value of name in the process-wide store, loading it first; null when the
 * file cannot be read or lacks the name. Values live until the process ends. */
VELKA_AUTHDB_EXPORT const char *vqaConfGet(const char *name);

/* The file's value of a well-known variable (enum vqa_conf_var), remembered once
 * found; null when the file lacks it, and null with errno EINVAL for an index
 * outside 0 to 30. */
VELKA_AUTHDB_EXPORT const char *vqaConfGetByIndex(int index);

/* As vqaConfGetByIndex, falling back to the compile-time default. */
VELKA_AUTHDB_EXPORT const char *vqaConfGetDefaultByIndex(int index);

/* vqaConfGetDefaultByIndex of the well-known variable called name; null after
 * logging when name is not one of them. */
VELKA_AUTHDB_EXPORT const char *vqaConfGetDefault(const char *name);

/* Creates path and its missing parents with mode 0755; a trailing "/" is
 * allowed. 1 on success; 0 with errno ENOTDIR when a component exists and is
 * not a directory, or as the failing call set it. */
VELKA_AUTHDB_EXPORT int createNestedDirectory(const char *path);

#ifdef __cplusplus
}
#endif

#endif
