// The signals that ask wendra to stop (SIGTERM, SIGINT, SIGHUP) while it changes the
// configuration: they are recorded instead of ending the process at once, so that the
// command can put the files back first, and the process then ends by the same signal.
#ifndef VELKA_DOVECOT_STOP_SIGNALS_H
#define VELKA_DOVECOT_STOP_SIGNALS_H

namespace velka::mail::dovecot {

// From now on the stop signals are recorded; a child of the pumps (doveconf) is ended
// as soon as one arrives, except while deferred.
void catchStopSignals();
// The recorded signal, or 0.
int pendingStopSignal();
// While a reload runs, a stop signal waits for it to end: a reload cut short would
// leave Dovecot's state unknown.
void deferStopSignals(bool deferred);
// Back to the default actions; a recorded signal is raised again, ending the process.
void releaseStopSignals();

} // namespace velka::mail::dovecot

#endif
