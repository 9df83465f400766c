/* The account callback of the install test's programs: 0 (found, walk ends) when
 * the account's password is the one given as data, else 2 (next account). */
#ifndef VELKA_SAME_PASSWORD_H
#define VELKA_SAME_PASSWORD_H

#include <string.h>

static int same_password(const char *address, const char *password, unsigned char flags,
                         void *data) {
    (void)address;
    (void)flags;
    return strcmp(password, data) == 0 ? 0 : 2;
}

#endif
