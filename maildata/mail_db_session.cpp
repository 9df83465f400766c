// The process-wide session mail data: reading it once from a stream, normalising it,
// and releasing it.
#include "maildata/mail_db_data.h"

#include "lib/files/stream_contents.h"
#include "lib/log/velka_log.h"

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include <poll.h>
#include <syslog.h>
#include <time.h>

extern "C" {
mail_db_data_t *session_mail_db_info = nullptr;
char *session_mail_db_json = nullptr;
}

namespace {

// A session document is a few kilobytes, a large domain's a few megabytes. Beyond this
// it is refused before more is read, so that input cannot grow this root process at will.
const size_t MAX_DOCUMENT_SIZE = 64 * 1024 * 1024;

// How long a caller that only wants data already on its way waits for it.
const struct timespec READY_TIMEOUT = {0, 1000};

// Whether reading fd would not block now. A descriptor that cannot be polled counts
// as ready: the read then reports what is wrong with it.
bool isReadable(int fd) {
    struct pollfd probe = {fd, POLLIN, 0};
    int rc;
    while ((rc = ppoll(&probe, 1, &READY_TIMEOUT, nullptr)) < 0 && errno == EINTR) {
    }
    return rc != 0;
}

// Lower-cases ASCII letters in place. The strings of a read object lie in the
// session's own writable buffer.
void lowerCase(const char *text) {
    if (text == nullptr)
        return;
    for (char *p = const_cast<char *>(text); *p != '\0'; ++p) {
        if (*p >= 'A' && *p <= 'Z')
            *p = static_cast<char>(*p - 'A' + 'a');
    }
}

void lowerCaseAll(const mail_db_string_list_t &list) {
    for (uint64_t i = 0; i < list.count; ++i)
        lowerCase(list.items[i]);
}

void normalise(mail_db_data_t &data) {
    lowerCase(data.domain_name);
    lowerCaseAll(data.domain_aliases);
    for (uint64_t i = 0; i < data.mails.count; ++i) {
        mail_db_mail_t &mail = data.mails.items[i];
        lowerCase(mail.name);
        lowerCaseAll(mail.aliases);
        if (mail.mbox_quota <= 0)
            continue;
        mail.mbox_quota = get_value_in_bytes(mail.mbox_quota, mail.mbox_quota_unit);
        if (!is_mbox_quota_valid(mail.mbox_quota))
            velka_log(LOG_WARNING,
                      "Resulting quota value in session mail DB info is not valid: got %" PRId64
                      ", source size unit was '%s'",
                      mail.mbox_quota, mail.mbox_quota_unit);
    }
    for (uint64_t i = 0; i < data.certificates.count; ++i)
        lowerCase(data.certificates.items[i].name);
}

void releaseSession(sj_parser *parser) {
    free_mail_db_data_object(parser, session_mail_db_info);
    session_mail_db_info = nullptr;
    free(session_mail_db_json);
    session_mail_db_json = nullptr;
}

} // namespace

extern "C" {

int read_session_mail_db_info(FILE *stream, int check_ready) {
    if (session_mail_db_info != nullptr || session_mail_db_json != nullptr) {
        velka_log(LOG_ERR, "Session mail DB info have already been initialized. Probably a "
                           "programming error.");
        return -2;
    }
    int fd = fileno(stream);
    if (check_ready && !isReadable(fd))
        return -1;

    errno = 0;
    int tooLarge;
    session_mail_db_json =
        get_stream_contents_limited(stream, MAX_DOCUMENT_SIZE, nullptr, &tooLarge);
    if (tooLarge) {
        velka_log(LOG_ERR,
                  "Session mail DB info on the input stream (fd=%d) is larger than "
                  "%zu bytes (64 MB); refused without reading the rest",
                  fd, MAX_DOCUMENT_SIZE);
        return -3;
    }
    // A read error would otherwise pass for the end of a shorter document.
    if (session_mail_db_json == nullptr || ferror(stream)) {
        int error = errno;
        free(session_mail_db_json);
        session_mail_db_json = nullptr;
        velka_log(LOG_ERR, "Failed to read session mail DB info from input stream (fd=%d): %s [%d]",
                  fd, strerror(error), error);
        return -3;
    }

    sj_parser *parser = sj_create_parser(session_mail_db_json, nullptr);
    errno = 0; // the parser's number functions rely on it
    if (parser != nullptr)
        session_mail_db_info = create_mail_db_data_object(parser);
    if (session_mail_db_info == nullptr) {
        int error = errno;
        velka_log(LOG_ERR, "Failed to allocate session mail DB info object: %s [%d]",
                  strerror(error), error);
        releaseSession(sj_get_dummy_parser(nullptr));
        sj_free_parser(parser);
        return -3;
    }

    int rc = parse_mail_db_data_object(parser, session_mail_db_info);
    if (rc != 0) {
        velka_log(LOG_ERR, "Session mail DB info parsing error: %s", sj_parser_strerror(parser));
        releaseSession(parser);
        sj_free_parser(parser);
        return rc;
    }
    sj_free_parser(parser);
    normalise(*session_mail_db_info);
    return 0;
}

mail_db_data_t *get_session_mail_db_info(void) {
    if (session_mail_db_info == nullptr)
        session_mail_db_info = create_mail_db_data_object(sj_get_dummy_parser(nullptr));
    return session_mail_db_info;
}

void free_session_mail_db_info(void) {
    releaseSession(sj_get_dummy_parser(nullptr));
}

} // extern "C"
