/* Export and linkage macros shared by every public header. */
#ifndef KERROW_EXPORT_H
#define KERROW_EXPORT_H

/* Everything is built with hidden visibility; only names marked KD_API
 * cross a shared-library boundary. */
#define KD_API __attribute__((visibility("default")))

#ifdef __cplusplus
#define KD_BEGIN_DECLS extern "C" {
#define KD_END_DECLS }
#define KD_NOEXCEPT noexcept
#else
#define KD_BEGIN_DECLS
#define KD_END_DECLS
#define KD_NOEXCEPT
#endif

#endif
