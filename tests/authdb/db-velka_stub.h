/* Test stand-in for Dovecot's data stack: frees everything the glue allocated. */
#ifndef DB_VELKA_STUB_H
#define DB_VELKA_STUB_H

#ifdef __cplusplus
extern "C" {
#endif

void db_velka_stub_pop(void);

#ifdef __cplusplus
}
#endif

#endif
