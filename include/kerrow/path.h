/* Fixed platform paths (store, profiles, sockets, /run, /dev, /proc ...)
 * are resolved through this helper, which prefixes the root named by the
 * environment variable KD_ROOT (unset or empty: the real root).
 *
 * The helper is a small static library linked into every deliverable that
 * opens such a path; it is not part of any shared-library interface. */
#ifndef KERROW_PATH_H
#define KERROW_PATH_H

#include <stddef.h>
#include <kerrow/export.h>

KD_BEGIN_DECLS

/* The root prefix without a trailing "/", "" for the real root. */
const char *kd_root(void);

/* Writes KD_ROOT + path into out. Returns the length written, or -1 when
 * it does not fit (out is then an empty text). */
int kd_path(const char *path, char *out, size_t outlen);

KD_END_DECLS

#ifdef __cplusplus
#include <string>
#include <string_view>
namespace kd {
/* KD_ROOT + path as a std::string. */
std::string rooted(std::string_view path);
}
#endif

#endif
