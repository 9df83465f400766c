/* The domain-name rule shared by the certificate commands and the session mail data:
 * dot-separated labels of ASCII letters, digits and hyphens. */
#ifndef VELKA_DOMAIN_NAME_H
#define VELKA_DOMAIN_NAME_H

#ifdef __cplusplus
extern "C" {
#endif

/* Non-zero when name is a valid domain name: not null, 1 to 255 bytes, no leading,
 * trailing or doubled dot, each label 1 to 63 bytes of ASCII letters, digits and "-"
 * neither starting nor ending with "-". A single label (no dot) is valid. The name is
 * only read; it is never kept. */
int is_domain_name_valid(const char *name);

#ifdef __cplusplus
}
#endif

#endif
