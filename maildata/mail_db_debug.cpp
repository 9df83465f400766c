// Readable dump of session mail data, for debugging.
#include "maildata/mail_db_data.h"

#include <cinttypes>

namespace {

const char *orNull(const char *text) {
    return text != nullptr ? text : "(null)";
}

void printString(FILE *stream, const char *text) {
    if (text == nullptr)
        fputs("(null)", stream);
    else
        fprintf(stream, "\"%s\"", text);
}

void printMail(FILE *stream, const mail_db_mail_t &mail, bool last) {
    fputs("            {\n                \"name\": ", stream);
    printString(stream, mail.name);
    fprintf(stream, ",\n                \"mbox_quota\": %" PRId64 ",\n", mail.mbox_quota);
    fputs("                \"aliases\": ", stream);
    debug_print_sj_string_array(stream, mail.aliases.items, mail.aliases.count);
    fprintf(stream, "\n            }%s\n", last ? "" : ",");
}

void printCertificate(FILE *stream, const mail_db_certificate_t &certificate, bool last) {
    fputs("        {\n            \"name\": ", stream);
    printString(stream, certificate.name);
    fputs(",\n            \"certfile\": ", stream);
    printString(stream, certificate.certfile);
    fprintf(stream, "\n        }%s\n", last ? "" : ",");
}

} // namespace

extern "C" {

void debug_print_sj_string_array(FILE *stream, const char *const *items, uint64_t count) {
    if (stream == nullptr)
        stream = stderr;
    fputs("[ ", stream);
    for (uint64_t i = 0; i < count; ++i) {
        if (i > 0)
            fputs(", ", stream);
        fprintf(stream, "\"%s\"", orNull(items[i]));
    }
    fputs(" ]", stream);
}

void debug_print_session_mail_db_info(FILE *stream, const mail_db_data_t *object) {
    if (stream == nullptr)
        stream = stderr;
    if (object == nullptr) {
        fputs("mail_db_data_t = (null)\n", stream);
        return;
    }
    fputs("mail_db_data_t = {\n    \"domain\": {\n        \"name\": ", stream);
    printString(stream, object->domain_name);
    fputs(",\n        \"dom_aliases\": ", stream);
    debug_print_sj_string_array(stream, object->domain_aliases.items, object->domain_aliases.count);
    fputs(",\n        \"mails\": [\n", stream);
    for (uint64_t i = 0; i < object->mails.count; ++i)
        printMail(stream, object->mails.items[i], i + 1 == object->mails.count);
    fputs("        ]\n    },\n    \"certificates\": [\n", stream);
    for (uint64_t i = 0; i < object->certificates.count; ++i)
        printCertificate(stream, object->certificates.items[i],
                         i + 1 == object->certificates.count);
    fputs("    ]\n}\n", stream);
}

} // extern "C"
