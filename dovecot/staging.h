// A private view of the include directory: a command's changes are made and checked
// there, seen by wendra and the doveconf it runs but by no one else, and reach the
// real directory only once Dovecot's check accepted them. Dovecot 2.4 reads its
// configuration whenever its config process starts, long after a reload was asked for;
// a change it would refuse must never be where that process can read it, not even for
// the moment of the check.
#ifndef VELKA_DOVECOT_STAGING_H
#define VELKA_DOVECOT_STAGING_H

#include <string>

namespace velka::mail::dovecot {

// Moves the process into a mount namespace of its own in which dir is an overlay of
// itself, whose changes go to a memory file system that ends with the namespace.
// False, with nothing changed, where that cannot be done (not root, a kernel without
// overlay, a root directory that is no mount point); the caller then works in place.
bool enterStaging(const std::string &dir);

// Whether the process works in the private view.
bool inStaging();

// Back to the mount namespace, root and working directory of before; what was written
// in the private view is gone. False when that failed (the process must not go on
// writing then).
bool leaveStaging();

} // namespace velka::mail::dovecot

#endif
