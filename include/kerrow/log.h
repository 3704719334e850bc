/* Logging: every line goes to the systemd journal with its source
 * location. Texts begin with "[%s] " and the owner's name by convention. */
#ifndef KERROW_LOG_H
#define KERROW_LOG_H

#include <kerrow/export.h>

KD_BEGIN_DECLS

/* Journal priorities used by the system. */
enum {
    KD_LOG_ERR = 3,
    KD_LOG_WARNING = 4,
    KD_LOG_NOTICE = 5,
    KD_LOG_INFO = 6,
    KD_LOG_DEBUG = 7
};

KD_API void kd_log_print(int priority, const char *file, int line, const char *func,
                         const char *fmt, ...) __attribute__((format(printf, 5, 6)));

/* A sink sees every line after formatting. While one is installed the
 * journal is not written (tests capture lines this way).
 * KD_LOG_STDERR=1 in the environment mirrors every line to standard error. */
typedef void (*kd_log_sink)(void *ctx, int priority, const char *file, int line,
                            const char *func, const char *text);
KD_API void kd_log_set_sink(kd_log_sink sink, void *ctx);

#define KD_LOG(prio, ...) kd_log_print((prio), __FILE__, __LINE__, __func__, __VA_ARGS__)

KD_END_DECLS

#endif
