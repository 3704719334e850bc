/* Export and linkage macros of libcodecctl's public headers. */
#ifndef M30_EXPORT_H
#define M30_EXPORT_H

/* The library is built with hidden visibility; only names marked M30_API
 * are part of libcodecctl.so's interface. */
#define M30_API __attribute__((visibility("default")))

#ifdef __cplusplus
#define M30_BEGIN_DECLS extern "C" {
#define M30_END_DECLS }
#define M30_NOEXCEPT noexcept
#else
#define M30_BEGIN_DECLS
#define M30_END_DECLS
#define M30_NOEXCEPT
#endif

#endif
