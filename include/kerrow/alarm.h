/* Alarms: named conditions that are active or inactive.
 *
 * An alarm is registered once by its label. Reports of a new state from the
 * loop thread take effect at once: the "Active Alarms" table gains or loses
 * the alarm's row, and the event "frame_alarm_<label>" (lower case, blanks
 * as "_") is emitted with the kd_alarm record as payload. Other threads
 * post their reports through a queue of 100 slots that the loop drains
 * every second. Everything but kd_alarm_detected_in_worker_thread is for the
 * loop thread.
 *
 * Event names are at most 63 characters (CUVENT_NAME_SIZE), so only labels
 * of up to 51 characters have an event; longer ones are still shown. */
#ifndef KERROW_ALARM_H
#define KERROW_ALARM_H

#include <kerrow/cuvent.h>
#include <kerrow/types.h>

KD_BEGIN_DECLS

#define KD_ALARM_LABEL_SIZE 64        /* labels are at most 63 characters */
#define KD_ALARM_DESCRIPTION_SIZE 512 /* longer descriptions are cut to 511 */

typedef enum alarm_state {
    ALARM_INACTIVE = 0,
    ALARM_ACTIVE = 1
} alarm_state;

/* One registered alarm; owned by the service until it stops. */
typedef struct kd_alarm {
    char label[KD_ALARM_LABEL_SIZE];
    char description[KD_ALARM_DESCRIPTION_SIZE];
    alarm_state state;
} kd_alarm;

/* An event callback; w->emit_ctx is the kd_alarm record. */
typedef kd_cuvent_cb kd_on_alarm_detected;

/* 0 when registered or already registered (the first description stays);
 * -1 before the service starts, for a null label or description, or for a
 * label of 64 characters or more. */
KD_API int kd_alarm_register(const char *label, const char *description);
/* Reports a state; an unchanged state does nothing. */
KD_API void kd_alarm_detected(const char *label, alarm_state state);
/* Any thread. 0 when queued (or when the service is stopped); -1 when the
 * queue is full or the label is null or 64 characters or more. */
KD_API int kd_alarm_detected_in_worker_thread(const char *label, alarm_state state);
/* The "alarm_queue" timeout: applies every queued report in order. */
KD_API void kd_alarm_queue_periodic_check(void *ctx);
/* Calls on_alarm(ctx) for pli at every change of the alarm's state; the
 * result of kd_cuvent_register_cb. */
KD_API int kd_alarm_listener(const char *label, plugin_load_info *pli,
                             kd_on_alarm_detected on_alarm, void *ctx);

KD_END_DECLS

#endif
