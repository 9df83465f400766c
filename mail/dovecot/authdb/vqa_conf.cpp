// Reader of the panel's configuration file and the process-wide copy of it with
// compile-time defaults; also the recursive directory creation.
#include "mail/dovecot/authdb/vqa_conf.h"

#include "lib/log/velka_log.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// The build may point the reader elsewhere; the panel's file is the default.
#ifndef VQA_CONF_PATH
#define VQA_CONF_PATH VQA_CONF_FILE
#endif

namespace {

// syslog's LOG_USER | LOG_WARNING: the store and parser serve any program.
constexpr int CONF_LOG_PRIORITY = 12;
constexpr size_t INITIAL_CAPACITY = 20;

struct WellKnown {
    const char *name;
    const char *fallback;
};

const WellKnown WELL_KNOWN[VQA_MAX_POSSIBLE_VAR + 1] = {
    {"_MIN_POSSIBLE_VQA_CONF_VAR_NAME", "_MIN_POSSIBLE_VQA_CONF_VAR_VALUE"},
    {"VELKA_MAILNAMES_D", "/var/qmail/mailnames"},
    {"RBLSMTPD", "/usr/sbin/rblsmtpd"},
    {"CLIENT_PHP_BIN", "/usr/local/vqa/bin/php-cli"},
    {"LIB_CRYPTO_PATH", "/lib/libcrypto.so"},
    {"LIB_SSL_PATH", "/lib/libssl.so"},
    {"AWSTATS_DOC_D", "/usr/share/awstats/wwwroot"},
    {"AWSTATS_TOOLS_D", "/usr/share/awstats/tools"},
    {"AWSTATS_BIN_D", "/usr/share/awstats/wwwroot/cgi-bin"},
    {"AWSTATS_ETC_D", "/etc/awstats"},
    {"MAILMAN_VAR_D", "/var/lib/mailman"},
    {"MAILMAN_ROOT_D", "/usr/lib/mailman"},
    {"PGSQL_DATA_D", "/var/lib/pgsql/data"},
    {"PGSQL_BIN_D", "/usr/bin"},
    {"MYSQL_BIN_D", "/usr/bin"},
    {"MYSQL_VAR_D", "/var/lib/mysql"},
    {"WEB_STAT", "/usr/bin/webalizer"},
    {"DUMP_D", "/var/lib/vqa/dumps"},
    {"DUMP_TMP_D", "/tmp"},
    {"NAMED_RUN_ROOT_D", "/var/named/chroot"},
    {"HTTPD_BIN", "/usr/sbin/httpd"},
    {"HTTPD_SERVICE", "httpd"},
    {"HTTPD_LOG_D", "/var/log/httpd"},
    {"HTTPD_INCLUDE_D", "/etc/httpd/conf.d"},
    {"HTTPD_CONF_D", "/etc/httpd/conf"},
    {"HTTPD_VHOSTS_D", "/var/www/vhosts"},
    {"MYSQL_SOCKET", "/var/lib/mysql/mysql.sock"},
    {"SA_MAX_MAIL_SIZE", "256000"},
    {"SNI_SUPPORT", "true"},
    {"PRODUCT_ROOT_D", "/usr/local/vqa"},
    {"_MAX_POSSIBLE_VQA_CONF_VAR_NAME", "_MAX_POSSIBLE_VQA_CONF_VAR_VALUE"},
};

conf_r *loadedConf = nullptr;
const char *cachedValues[VQA_MAX_POSSIBLE_VAR + 1];

// ASCII only: the file's syntax must not depend on the process locale.
bool isBlank(char ch) {
    return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r';
}

bool isNameChar(char ch) {
    return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') ||
           ch == '_';
}

int compareItems(const void *a, const void *b) {
    return strcmp(static_cast<const conf_item *>(a)->name, static_cast<const conf_item *>(b)->name);
}

// Applies one line (without its line end) to the store; -1 only when storing fails.
int parseLine(char *line, conf_r *conf) {
    char *name = line;
    while (isBlank(*name))
        ++name;
    if (*name == 0 || *name == '#')
        return 0;
    char *name_end = name;
    while (isNameChar(*name_end))
        ++name_end;
    if (name_end > name && *name_end == 0) {
        velka_log(CONF_LOG_PRIORITY, "Invalid variable definition %s\nExpected a value", name);
        return 0;
    }
    if (name_end == name || !isBlank(*name_end)) {
        velka_log(CONF_LOG_PRIORITY,
                  "Invalid variable definition %s\nExpected a space after variable name\n", name);
        return 0;
    }
    char *value = name_end + 1;
    while (isBlank(*value))
        ++value;
    char *value_end = value + strcspn(value, "#");
    while (value_end > value && isBlank(value_end[-1]))
        --value_end;
    if (value_end == value) {
        velka_log(CONF_LOG_PRIORITY, "Invalid variable definition %s\nExpected a value", name);
        return 0;
    }
    *name_end = 0;
    *value_end = 0;
    return conf_set_r(name, value, conf);
}

// Makes sure that path is a directory, creating it when it is missing.
bool ensureDirectory(const char *path) {
    struct stat st;
    if (stat(path, &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return true;
        errno = ENOTDIR;
        return false;
    }
    if (errno != ENOENT)
        return false;
    if (mkdir(path, 0755) == 0)
        return true;
    // Someone else may have created it in the meantime.
    int err = errno;
    if (err == EEXIST && stat(path, &st) == 0 && S_ISDIR(st.st_mode))
        return true;
    errno = err;
    return false;
}

} // namespace

int conf_init_r(conf_r *conf) {
    if (conf == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (conf->items == nullptr) {
        conf->items = static_cast<conf_item *>(calloc(INITIAL_CAPACITY, sizeof(conf_item)));
        if (conf->items == nullptr) {
            conf->capacity = 0;
            errno = ENOMEM;
            return -1;
        }
        conf->capacity = INITIAL_CAPACITY;
        conf->count = 0;
        conf->sorted = 1;
        return 0;
    }
    if (conf->count < conf->capacity)
        return 0;

    size_t grown = conf->capacity <= SIZE_MAX / 2 ? conf->capacity * 2 : 0;
    if (grown <= conf->count)
        grown = conf->count <= SIZE_MAX - INITIAL_CAPACITY ? conf->count + INITIAL_CAPACITY : 0;
    conf_item *items = nullptr;
    if (grown != 0 && grown <= SIZE_MAX / sizeof(conf_item))
        items = static_cast<conf_item *>(realloc(conf->items, grown * sizeof(conf_item)));
    if (items == nullptr) {
        velka_log(CONF_LOG_PRIORITY, "Unable to read configuration: %s", strerror(ENOMEM));
        errno = ENOMEM;
        return -1;
    }
    memset(items + conf->capacity, 0, (grown - conf->capacity) * sizeof(conf_item));
    conf->items = items;
    conf->capacity = grown;
    return 0;
}

int conf_set_r(const char *name, const char *value, conf_r *conf) {
    if (name == nullptr || value == nullptr || conf == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (conf_init_r(conf) != 0)
        return -1;
    char *name_copy = strdup(name);
    char *value_copy = strdup(value);
    if (name_copy == nullptr || value_copy == nullptr) {
        velka_log(CONF_LOG_PRIORITY, "Unable to form configuration: %s", strerror(ENOMEM));
        free(name_copy);
        free(value_copy);
        errno = ENOMEM;
        return -1;
    }
    for (size_t i = 0; i < conf->count; ++i) {
        if (strcmp(conf->items[i].name, name) == 0) {
            free(conf->items[i].value);
            conf->items[i].value = value_copy;
            free(name_copy);
            return 0;
        }
    }
    conf->items[conf->count].name = name_copy;
    conf->items[conf->count].value = value_copy;
    ++conf->count;
    conf->sorted = 0;
    return 0;
}

void conf_finalize_r(conf_r *conf) {
    if (conf == nullptr || conf->sorted)
        return;
    if (conf->count > 1)
        qsort(conf->items, conf->count, sizeof(conf_item), compareItems);
    conf->sorted = 1;
}

const char *conf_get_r(const char *name, const conf_r *conf) {
    if (name == nullptr || conf == nullptr || conf->items == nullptr)
        return nullptr;
    if (conf->sorted) {
        conf_item key = {const_cast<char *>(name), nullptr};
        auto *found = static_cast<const conf_item *>(
            bsearch(&key, conf->items, conf->count, sizeof(conf_item), compareItems));
        return found != nullptr ? found->value : nullptr;
    }
    for (size_t i = 0; i < conf->count; ++i)
        if (strcmp(conf->items[i].name, name) == 0)
            return conf->items[i].value;
    return nullptr;
}

int conf_read_file_r(const char *path, conf_r *conf) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (conf_init_r(conf) != 0)
        return -1;
    FILE *f = fopen(path, "re");
    if (f == nullptr) {
        int err = errno;
        velka_log(CONF_LOG_PRIORITY, "unable to open configuration file %s: %s\n", path,
                  strerror(err));
        errno = err;
        return -1;
    }
    char *line = nullptr;
    size_t size = 0;
    ssize_t len;
    errno = 0;
    while ((len = getline(&line, &size, f)) >= 0) {
        if (len > 0 && line[len - 1] == '\n')
            line[len - 1] = 0;
        if (parseLine(line, conf) != 0) {
            int err = errno;
            free(line);
            fclose(f);
            errno = err;
            return -1;
        }
    }
    int err = errno;
    bool complete = feof(f) && !ferror(f);
    free(line);
    fclose(f);
    conf_finalize_r(conf);
    if (!complete) {
        if (err == 0)
            err = EIO;
        velka_log(CONF_LOG_PRIORITY, "Unable to read configuration file: %s", strerror(err));
        errno = err;
        return -1;
    }
    return 0;
}

void conf_free_r(conf_r *conf) {
    if (conf == nullptr)
        return;
    for (size_t i = 0; i < conf->count; ++i) {
        free(conf->items[i].name);
        free(conf->items[i].value);
    }
    free(conf->items);
    free(conf);
}

int autoprepend(void) {
    if (loadedConf != nullptr)
        return 0;
    conf_r *conf = static_cast<conf_r *>(calloc(1, sizeof(conf_r)));
    if (conf == nullptr) {
        velka_log(3, "Not enough memory to allocate Velka runtime configuration structure");
        return -1;
    }
    if (conf_read_file_r(VQA_CONF_PATH, conf) != 0) {
        int err = errno;
        conf_free_r(conf);
        errno = err;
        return -1;
    }
    loadedConf = conf;
    return 0;
}

const char *vqaConfGet(const char *name) {
    if (autoprepend() != 0)
        return nullptr;
    return conf_get_r(name, loadedConf);
}

const char *vqaConfGetByIndex(int index) {
    if (index < 0 || index > VQA_MAX_POSSIBLE_VAR) {
        errno = EINVAL;
        return nullptr;
    }
    if (cachedValues[index] == nullptr)
        cachedValues[index] = vqaConfGet(WELL_KNOWN[index].name);
    return cachedValues[index];
}

const char *vqaConfGetDefaultByIndex(int index) {
    const char *value = vqaConfGetByIndex(index);
    if (value != nullptr || index < 0 || index > VQA_MAX_POSSIBLE_VAR)
        return value;
    return WELL_KNOWN[index].fallback;
}

const char *vqaConfGetDefault(const char *name) {
    for (int i = 0; name != nullptr && i < VQA_MAX_POSSIBLE_VAR; ++i)
        if (strcmp(WELL_KNOWN[i].name, name) == 0)
            return vqaConfGetDefaultByIndex(i);
    velka_log(3, "variable '%s' was found neither in %s, nor in compile-time defaults",
              name != nullptr ? name : "", VQA_CONF_PATH);
    return nullptr;
}

int createNestedDirectory(const char *path) {
    if (path == nullptr || path[0] == 0) {
        errno = path == nullptr ? EINVAL : ENOENT;
        return 0;
    }
    char *copy = strdup(path);
    if (copy == nullptr)
        return 0;
    for (char *p = copy + 1;; ++p) {
        if (*p != '/' && *p != 0)
            continue;
        char saved = *p;
        *p = 0;
        bool ok = ensureDirectory(copy);
        *p = saved;
        if (!ok) {
            int err = errno;
            free(copy);
            errno = err;
            return 0;
        }
        if (saved == 0)
            break;
    }
    free(copy);
    return 1;
}
