/* Export and linkage macros of the MPEG-TS library. The library is static
 * and PIC; the shared libraries that link it whole (libcodecctl) export
 * exactly the names marked MPEGTS_API. */
#ifndef MPEGTS_EXPORT_H
#define MPEGTS_EXPORT_H

#define MPEGTS_API __attribute__((visibility("default")))

#ifdef __cplusplus
#define MPEGTS_BEGIN_DECLS extern "C" {
#define MPEGTS_END_DECLS }
#define MPEGTS_NOEXCEPT noexcept
#else
#define MPEGTS_BEGIN_DECLS
#define MPEGTS_END_DECLS
#define MPEGTS_NOEXCEPT
#endif

#endif
