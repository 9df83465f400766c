// wendra: reads and changes the Dovecot settings that the panel owns, one command per run.
#include "lib/log/velka_log.h"
#include "wendra/wendra_commands.h"

#include <syslog.h>

int main(int argc, char **argv) {
    velka_log_init(nullptr, LOG_INFO, LOG_MAIL, LOG_PERROR, "wendra");
    return velka::mail::wendra_commands::runReportingFailures([&] { return do_main(argc, argv); });
}
