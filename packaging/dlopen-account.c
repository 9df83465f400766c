/* Loads libauthdb_velka at run time as a plug-in host of the panel would, with
 * immediate binding, then creates one mail account of the QMail layout through
 * it and looks it up again. Built by the package install test.
 *
 *   velka-dlopen-account LIBRARY MAILNAME DOMAIN PASSWORD    exit status 0 on success */
#include <dlfcn.h>
#include <stdio.h>

#include "same-password.h"

typedef int callback_t(const char *, const char *, unsigned char, void *);

int main(int argc, char **argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: velka-dlopen-account LIBRARY MAILNAME DOMAIN PASSWORD\n");
        return 64;
    }
    void *library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == NULL) {
        fprintf(stderr, "velka-dlopen-account: %s\n", dlerror());
        return 1;
    }
    void (*select_style)(int) = (void (*)(int))dlsym(library, "mailAuthDBSelectStyle");
    int (*set)(const char *, const char *, const char *, unsigned char) =
        (int (*)(const char *, const char *, const char *, unsigned char))dlsym(library,
                                                                                "mailAuthSet");
    int (*check)(const char *, callback_t *, void *) =
        (int (*)(const char *, callback_t *, void *))dlsym(library, "mailAuthCheck");
    if (select_style == NULL || set == NULL || check == NULL) {
        fprintf(stderr, "velka-dlopen-account: the C API is missing\n");
        return 1;
    }
    select_style(0); /* QMail, where the install test's accounts are */
    char address[512];
    snprintf(address, sizeof(address), "%s@%s", argv[2], argv[3]);
    if (set(argv[2], argv[3], argv[4], 0) != 0 || check(address, same_password, argv[4]) != 0) {
        fprintf(stderr, "velka-dlopen-account: %s was not stored\n", address);
        return 1;
    }
    printf("created %s through dlopen\n", address);
    return 0;
}
