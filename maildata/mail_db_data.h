/* Session mail data: one mail domain with its aliases, mail lists and mailboxes, and
 * a list of certificate assignments, read once per process from a JSON document.
 *
 * Ownership. Every string of a mail_db_data_t points into the JSON text buffer
 * session_mail_db_json (or, for objects filled by other means, into memory of their
 * filler); strings are never copied or released one by one. The list arrays and the
 * object itself are allocated through the hooks of an sj_parser (the dummy parser's
 * default hooks, malloc/realloc/free, outside a document) and released by
 * free_mail_db_data_object() or free_session_mail_db_info().
 *
 * Failures are return codes; the reader logs one line per failure through velka_log
 * and never prints to the terminal. Nothing here is thread-safe: the session object,
 * the text buffer, the parser's report buffer and errno are process-wide. */
#ifndef VELKA_MAIL_DB_DATA_H
#define VELKA_MAIL_DB_DATA_H

#include "maildata/domain_name.h"
#include "maildata/sj_parser.h"

#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Every list: count slots in use out of capacity allocated. */
typedef struct mail_db_string_list {
    uint64_t count;
    uint64_t capacity;
    const char **items;
} mail_db_string_list_t;

typedef struct mail_db_mail {
    const char *name;              /* local part, without "@" and domain */
    int64_t mbox_quota;            /* -1: none given; after reading, bytes when positive */
    const char *mbox_quota_unit;   /* one of the size-unit names; "B" when none given */
    mail_db_string_list_t aliases; /* local parts */
} mail_db_mail_t;

typedef struct mail_db_mail_list {
    uint64_t count;
    uint64_t capacity;
    mail_db_mail_t *items;
} mail_db_mail_list_t;

typedef struct mail_db_certificate {
    const char *name;     /* the domain name the certificate is for */
    const char *certfile; /* path of the certificate file */
} mail_db_certificate_t;

typedef struct mail_db_certificate_list {
    uint64_t count;
    uint64_t capacity;
    mail_db_certificate_t *items;
} mail_db_certificate_list_t;

typedef struct mail_db_data {
    const char *domain_name;
    mail_db_string_list_t domain_aliases;
    mail_db_string_list_t maillists;
    mail_db_mail_list_t mails;
    mail_db_certificate_list_t certificates;
} mail_db_data_t;

/* The session object and the buffer its strings point into; null when none exists.
 * Both are released together by free_session_mail_db_info(). */
extern mail_db_data_t *session_mail_db_info;
extern char *session_mail_db_json;

/* Reads the whole of stream as the session mail data document, validates and
 * normalises it (names lower-cased, positive quotas converted to bytes) and keeps it
 * as the session object. Returns:
 *    0  success;
 *   -1  check_ready is set and nothing could be read within one microsecond (nothing
 *       consumed);
 *   -2  a session object or buffer already exists;
 *   -3  the stream cannot be read, or memory runs out;
 *   1..23  the parser's code for the first problem in the document (23: a value that
 *       breaks the schema's rules, quotas too large for 64 bits included).
 * Every failure is logged at error level and leaves no session object behind (-2
 * leaves the existing one alone). */
int read_session_mail_db_info(FILE *stream, int check_ready);

/* The session object, created empty (lists empty, strings null) when none exists;
 * null only when that allocation fails. */
mail_db_data_t *get_session_mail_db_info(void);

/* Releases the session object and the text buffer and resets both pointers; safe
 * when nothing exists. */
void free_session_mail_db_info(void);

/* An object with every field zero, allocated through parser's hooks; null when the
 * allocation fails. */
mail_db_data_t *create_mail_db_data_object(sj_parser *parser);
/* Releases every list array (the mails' alias arrays included) through parser's
 * hooks and then the object; accepts a null object. */
void free_mail_db_data_object(sj_parser *parser, mail_db_data_t *object);
/* The same without releasing the object; its lists are left empty. */
void free_mail_db_data_object_fields(sj_parser *parser, mail_db_data_t *object);

/* Fills object (which should be empty) from the document at parser's current
 * position. Returns 0, or the code also left in parser->error; for code 23
 * parser->context names the broken rule. Strings are not normalised here. On failure
 * the object may hold part of the document; release it with
 * free_mail_db_data_object(). */
int parse_mail_db_data_object(sj_parser *parser, mail_db_data_t *object);

/* Validity rules; each returns non-zero for valid. Null texts are invalid. */
/* 1 to 245 bytes of ASCII letters, digits and ".-_&+'", no leading, trailing or
 * doubled dot. */
int is_mailname_valid(const char *text);
/* "local@domain": the part before the first "@" passes the mail-name rule, the rest
 * the domain-name rule. */
int is_full_mailname_valid(const char *text);
/* -1 (no quota) or greater. */
int is_mbox_quota_valid(int64_t value);
/* One of "B", "KB", "MB", "GB", "TB", compared case-sensitively. */
int is_valid_size_unit(const char *text);

/* The multiplier of a size unit (1, 1024, ...), or 0 for a name not in the table. */
uint64_t get_size_unit(const char *name);
/* value times the unit's multiplier in 64-bit two's complement arithmetic (a product
 * that does not fit wraps); 0 for an unknown unit. */
int64_t get_value_in_bytes(int64_t value, const char *unit);
/* Non-zero when value times the unit's multiplier fits in a signed 64-bit integer
 * (and the unit is known). */
int is_value_in_bytes_representable(int64_t value, const char *unit);

/* Writes a readable dump of object to stream (standard error when null); a null
 * object gives the single line "mail_db_data_t = (null)". Mail lists and quota
 * units are not shown. */
void debug_print_session_mail_db_info(FILE *stream, const mail_db_data_t *object);
/* Writes "[ ", the items each in double quotes separated by ", ", then " ]". */
void debug_print_sj_string_array(FILE *stream, const char *const *items, uint64_t count);

#ifdef __cplusplus
}
#endif

#endif
