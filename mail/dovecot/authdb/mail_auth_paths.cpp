// Where the mail authentication database and its key file live, by mail server
// style, and how the style is learnt from the panel's wendra-server.
#include "mail/dovecot/authdb/mail_auth_db.h"

#include "lib/log/velka_log.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <libgen.h>
#include <strings.h>
#include <syslog.h>

namespace {

const char *db_path = MAIL_AUTH_DB_PATH_QMAIL;
const char *key_path = MAIL_AUTH_KEY_PATH_QMAIL;

const char PRODUCT_ROOT[] = "/usr/local/vqa";
const char FEATURE_PREFIX[] = "$features['SMTP_Server']";
constexpr size_t COMMAND_MAX = 4096;

// The style named by one feature line, or -1 when the line names none.
int styleOfFeatureLine(const char *line) {
    const char *open = strpbrk(line + sizeof(FEATURE_PREFIX) - 1, "'\"");
    const char *close = open != nullptr ? strpbrk(open + 1, "'\"") : nullptr;
    if (close == nullptr) {
        velka_log(LOG_INFO, "Unparseable line \"%s\", skipped", line);
        return -1;
    }
    const char *value = open + 1;
    const int len = static_cast<int>(close - value);
    if (len == 7 && strncasecmp(value, "postfix", 7) == 0)
        return MAIL_AUTH_STYLE_POSTFIX;
    if (len == 5 && strncasecmp(value, "qmail", 5) == 0)
        return MAIL_AUTH_STYLE_QMAIL;
    velka_log(LOG_INFO, "Unknown server style \"%.*s\", skipped", len, value);
    return -1;
}

} // namespace

void mailAuthDBSetPath(const char *path) {
    db_path = path != nullptr ? path : MAIL_AUTH_DB_PATH_QMAIL;
}

void mailAuthKeySetPath(const char *path) {
    key_path = path != nullptr ? path : MAIL_AUTH_KEY_PATH_QMAIL;
}

const char *mailAuthDBGetPath(void) {
    return db_path;
}

const char *mailAuthKeyGetPath(void) {
    return key_path;
}

char *mailAuthDBToKeyPath(const char *path) {
    if (path == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    char *copy = strdup(path);
    if (copy == nullptr)
        return nullptr;
    static const char KEY_NAME[] = "/passwd_db_key";
    const char *dir = dirname(copy);
    const size_t dir_len = strlen(dir);
    char *result = static_cast<char *>(malloc(dir_len + sizeof(KEY_NAME)));
    if (result != nullptr) {
        memcpy(result, dir, dir_len);
        memcpy(result + dir_len, KEY_NAME, sizeof(KEY_NAME));
    }
    free(copy);
    return result;
}

void mailAuthDBSelectStyle(int style) {
    switch (style) {
    case MAIL_AUTH_STYLE_QMAIL:
        db_path = MAIL_AUTH_DB_PATH_QMAIL;
        key_path = MAIL_AUTH_KEY_PATH_QMAIL;
        break;
    case MAIL_AUTH_STYLE_POSTFIX:
        db_path = MAIL_AUTH_DB_PATH_POSTFIX;
        key_path = MAIL_AUTH_KEY_PATH_POSTFIX;
        break;
    default:
        break;
    }
}

int mailAuthDBDetectStyle(void) {
    char command[COMMAND_MAX];
    snprintf(command, sizeof(command), "%s/admin/sbin/wendra-server --features", PRODUCT_ROOT);
    FILE *output = popen(command, "re");
    if (output == nullptr) {
        velka_log(LOG_ERR, "unable to execute %s: %s", command, strerror(errno));
        return -1;
    }
    int style = -1;
    char *line = nullptr;
    size_t size = 0;
    ssize_t len;
    while (style < 0 && (len = getline(&line, &size, output)) >= 0) {
        if (len > 0 && line[len - 1] == '\n')
            line[len - 1] = '\0';
        if (strncmp(line, FEATURE_PREFIX, sizeof(FEATURE_PREFIX) - 1) == 0)
            style = styleOfFeatureLine(line);
    }
    free(line);
    // Closing before the rest is read may leave the program with a broken
    // pipe; its exit status is of no interest, only the line read.
    pclose(output);
    if (style < 0)
        velka_log(LOG_INFO,
                  "Unable to determine mail server type from ``wendra-server --features''");
    return style;
}
