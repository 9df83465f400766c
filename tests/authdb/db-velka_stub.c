/* The few pieces of Dovecot's runtime that the plug-in's glue calls, for testing
 * it outside an authentication process: a data stack whose allocations live
 * until db_velka_stub_pop(), and i_info()/i_panic()/i_fatal(), which print their
 * message, the last two ending the process as Dovecot's would (panic: abort;
 * fatal: exit 89). */
#include "lib.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tests/authdb/db-velka_stub.h"

static void **allocations;
static size_t count, capacity;

static void *stub_alloc(size_t size) {
    void *mem = calloc(1, size + 1);

    if (mem == NULL)
        abort();
    if (count == capacity) {
        capacity = capacity == 0 ? 16 : capacity * 2;
        allocations = realloc(allocations, capacity * sizeof(*allocations));
        if (allocations == NULL)
            abort();
    }
    allocations[count++] = mem;
    return mem;
}

void db_velka_stub_pop(void) {
    while (count > 0)
        free(allocations[--count]);
    free(allocations);
    allocations = NULL;
    capacity = 0;
}

void *t_malloc0(size_t size) {
    return stub_alloc(size);
}

const char *t_strdup(const char *str) {
    return str == NULL ? NULL : strcpy(stub_alloc(strlen(str)), str);
}

const char *t_strdup_until(const void *start, const void *end) {
    size_t len = (const char *)end - (const char *)start;
    char *copy = stub_alloc(len);

    memcpy(copy, start, len);
    return copy;
}

const char *t_strdup_printf(const char *format, ...) {
    va_list args;
    int len;
    char *text;

    va_start(args, format);
    len = vsnprintf(NULL, 0, format, args);
    va_end(args);
    text = stub_alloc(len);
    va_start(args, format);
    vsnprintf(text, len + 1, format, args);
    va_end(args);
    return text;
}

bool str_equals_timing_almost_safe(const char *s1, const char *s2) {
    return strcmp(s1, s2) == 0;
}

static void print_line(const char *prefix, const char *format, va_list args) {
    fputs(prefix, stderr);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
}

void i_panic(const char *format, ...) {
    va_list args;

    va_start(args, format);
    print_line("Panic: ", format, args);
    va_end(args);
    abort();
}

void i_info(const char *format, ...) {
    va_list args;

    va_start(args, format);
    print_line("Info: ", format, args);
    va_end(args);
}

void i_fatal(const char *format, ...) {
    va_list args;

    va_start(args, format);
    print_line("Fatal: ", format, args);
    va_end(args);
    exit(FATAL_DEFAULT);
}
