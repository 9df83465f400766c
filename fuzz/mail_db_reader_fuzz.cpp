// libFuzzer target for the session mail data reader: reads arbitrary bytes as the
// standard-input document and traps when a result breaks the reader's promises.
#include "fuzz/fuzz_support.h"
#include "lib/log/velka_log.h"
#include "maildata/mail_db_data.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include <sys/mman.h>
#include <unistd.h>

namespace {

struct Buffer {
    const char *start;
    size_t size;
};

void checkString(const Buffer &buffer, const char *text) {
    CHECK(text != nullptr);
    CHECK(text >= buffer.start && text < buffer.start + buffer.size);
}

void checkLowerName(const Buffer &buffer, const char *text, int (*rule)(const char *)) {
    checkString(buffer, text);
    CHECK(rule(text));
    for (const char *p = text; *p != '\0'; ++p)
        CHECK(!(*p >= 'A' && *p <= 'Z'));
}

void checkList(const Buffer &buffer, const mail_db_string_list_t &list, int (*rule)(const char *),
               bool lower) {
    CHECK(list.count <= list.capacity);
    for (uint64_t i = 0; i < list.count; ++i) {
        if (lower)
            checkLowerName(buffer, list.items[i], rule);
        else
            CHECK(rule(list.items[i]));
    }
}

void checkSession(const Buffer &buffer, FILE *sink) {
    const mail_db_data_t *d = session_mail_db_info;
    CHECK(d != nullptr);
    checkLowerName(buffer, d->domain_name, is_domain_name_valid);
    checkList(buffer, d->domain_aliases, is_domain_name_valid, true);
    checkList(buffer, d->maillists, is_mailname_valid, false);
    CHECK(d->mails.count <= d->mails.capacity);
    for (uint64_t i = 0; i < d->mails.count; ++i) {
        const mail_db_mail_t &mail = d->mails.items[i];
        checkLowerName(buffer, mail.name, is_mailname_valid);
        checkList(buffer, mail.aliases, is_mailname_valid, true);
        CHECK(is_valid_size_unit(mail.mbox_quota_unit));
        CHECK(is_mbox_quota_valid(mail.mbox_quota));
    }
    CHECK(d->certificates.count <= d->certificates.capacity);
    for (uint64_t i = 0; i < d->certificates.count; ++i) {
        checkString(buffer, d->certificates.items[i].name);
        checkString(buffer, d->certificates.items[i].certfile);
    }
    debug_print_session_mail_db_info(sink, d);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static FILE *sink = fopen("/dev/null", "w");
    velka_log = velka_fuzz::quietLog;

    // A real descriptor, so that the readiness check has something to poll.
    int fd = memfd_create("mail-db-document", 0);
    if (fd < 0)
        return 0;
    if (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size)) {
        close(fd);
        return 0;
    }
    lseek(fd, 0, SEEK_SET);
    FILE *stream = fdopen(fd, "r");
    CHECK(stream != nullptr);

    int rc = read_session_mail_db_info(stream, size % 2);
    CHECK(rc == 0 || rc == -3 || (rc >= 1 && rc <= SJ_ERROR_CONSTRAINT));
    if (rc == 0) {
        checkSession(Buffer{session_mail_db_json, size + 1}, sink);
        CHECK(read_session_mail_db_info(stream, 0) == -2);
    } else {
        CHECK(session_mail_db_info == nullptr && session_mail_db_json == nullptr);
    }
    free_session_mail_db_info();
    CHECK(session_mail_db_info == nullptr && session_mail_db_json == nullptr);
    fclose(stream);
    return 0;
}
