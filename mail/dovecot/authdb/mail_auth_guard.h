// Internal to the library: the C API's boundary. Its callers are C, Dovecot's
// authentication process among them, where an exception would end the process;
// the API promises an answer and a log line instead.
#ifndef VELKA_MAIL_AUTH_GUARD_H
#define VELKA_MAIL_AUTH_GUARD_H

#include "lib/log/velka_log.h"

#include <cxxabi.h>
#include <syslog.h>

#include <exception>
#include <new>

namespace velka::mail::authdb {

// body(), or failure after one log line when it throws. Thread cancellation
// still unwinds: it is no failure of the call.
template <typename Result, typename Body>
Result answerInsteadOfThrowing(const char *operation, Result failure, Body body) {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        velka_log(LOG_CRIT, "%s: Insufficient memory", operation);
    } catch (const abi::__forced_unwind &) {
        throw;
    } catch (const std::exception &e) {
        velka_log(LOG_ERR, "%s: %s", operation, e.what());
    } catch (...) {
        velka_log(LOG_ERR, "%s: unexpected failure", operation);
    }
    return failure;
}

} // namespace velka::mail::authdb

#endif
