/* Small value types for data threads: a bounded sorted set of integers with
 * text conversion, an elapsed-time stopwatch on the raw monotonic clock, and
 * a fixed-capacity sample recorder with minimum, maximum and average.
 *
 * None of them locks: each object belongs to one thread at a time. None
 * allocates after creation. */
#ifndef KERROW_DATASET_H
#define KERROW_DATASET_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>
#include <kerrow/export.h>

KD_BEGIN_DECLS

/* ---- dataset: sorted integers, at most nums_size of them ---- */
typedef struct kd_dataset {
    size_t allow_dups; /* non-zero: a value may be held more than once */
    size_t nums_len;   /* values held */
    size_t nums_size;  /* capacity, fixed at creation */
    int *nums;         /* nums_size slots; the first nums_len ascending, the rest 0 */
} kd_dataset;

/* null when size is 0 or memory is short. */
KD_API kd_dataset *kd_dataset_ctor(size_t size, size_t allow_dups);
KD_API int kd_dataset_dtor(kd_dataset *s); /* -1 for null, else 0 */
KD_API int kd_dataset_clear(kd_dataset *s);
/* -1 when full, or when v is held and duplicates are not allowed; else 0. */
KD_API int kd_dataset_insert(kd_dataset *s, int v);
/* Removes one occurrence: 0, or -1 when v is not held. */
KD_API int kd_dataset_remove(kd_dataset *s, int v);
KD_API int kd_dataset_exists(kd_dataset *s, int v); /* 1 or 0 */
/* The index-th value in ascending order: 0, or -1 when out of range. */
KD_API int kd_dataset_get_num(kd_dataset *s, size_t index, int *out);
KD_API size_t kd_dataset_get_length(kd_dataset *s);
KD_API size_t kd_dataset_get_size(kd_dataset *s);
/* Inserts every value of src into dst, ignoring refusals; 0. */
KD_API int kd_dataset_insert_all(kd_dataset *dst, kd_dataset *src);
/* Inserts every whole decimal token of the first len bytes of text; tokens
 * are separated by runs of " _,;:". Other tokens and refusals are skipped;
 * the set is not emptied first. 0, or -1 for a null argument. */
KD_API int kd_dataset_from_string(kd_dataset *s, const char *text, size_t len);
/* Writes the values as "1,20,300" into buf (zero-filled first), dropping
 * values that do not fit whole; answers the text's length. */
KD_API int kd_dataset_to_string(kd_dataset *s, char *buf, size_t size);

/* ---- timer: stopwatch on CLOCK_MONOTONIC_RAW ---- */
typedef struct kd_timer {
    struct timespec curr; /* the last reading */
    struct timespec prev; /* start of the current interval */
} kd_timer;

KD_API kd_timer *kd_timer_ctor(void); /* both readings now; null when memory is short */
KD_API void kd_timer_dtor(kd_timer *t);
KD_API void kd_timer_restart(kd_timer *t);
/* Takes a reading into curr and answers curr - prev in nanoseconds. */
KD_API uint64_t kd_timer_get_elapsed_ns(kd_timer *t);
KD_API void kd_timer_lap(kd_timer *t); /* prev = curr, no new reading */
/* The elapsed time, and the next interval starts at this reading. */
KD_API uint64_t kd_timer_restart_ns(kd_timer *t);
/* Nanoseconds from ts to now on CLOCK_MONOTONIC_RAW / CLOCK_REALTIME
 * (socket receive stamps are wall-clock); 0 when ts lies in the future. */
KD_API uint64_t kd_timer_get_elapsed_ns_from_timespec(struct timespec ts);
KD_API uint64_t kd_timer_get_elapsed_ns_from_real(struct timespec ts);

/* ---- stat helper: up to `capacity` unsigned samples ---- */
typedef struct stat_helper {
    unsigned *data_points;
    unsigned next_dp;  /* next free slot = samples held */
    unsigned capacity;
    unsigned min;      /* 4294967295 while empty */
    unsigned max;      /* 0 while empty */
} stat_helper;

KD_API stat_helper *stat_helper_ctor(unsigned capacity); /* null for 0 or short memory */
KD_API void stat_helper_dtor(stat_helper *h);
/* -1 when capacity samples are held; else 0. */
KD_API int stat_helper_record(stat_helper *h, unsigned v);
KD_API int stat_helper_clear(stat_helper *h);
KD_API unsigned stat_helper_get_min(stat_helper *h);
KD_API unsigned stat_helper_get_max(stat_helper *h);
KD_API unsigned stat_helper_get_count(stat_helper *h);
/* Rounded-down mean (summed in 64 bits); 4294967295 when empty. */
KD_API unsigned stat_helper_get_average(stat_helper *h);

KD_END_DECLS

#endif
