/* Settings profiles: a snapshot of the whole chassis's saved settings in one
 * ".pfl" file (each slave card's store between "slot%dstart"/"slot%dend"
 * lines, then the master's between "masterstart"/"masterend").
 *
 * The framework keeps the files and the "frame" parameters that create,
 * rename, delete, offer and apply them; the proxy and websocket plug-ins
 * take part through named events and share the directories below. The
 * paths are the real ones: prefix KD_ROOT with kd_path() before use.
 *
 * Event payloads exchanged with the proxy plug-in:
 *   "settings_profile_slaves_add_state", "settings profile slaves apply
 *   state": pointer to an int, user slot * 10 + ApplyProfileCheckState_e;
 *   "proxy_on_profile_check_type": the path of the part to check (text);
 *   "check_settings_profile_flag" (emitted on a slave): pointer to an int,
 *   1 the part was installed, 2 refused or failed;
 *   "verify_settings_profile": pointer to one byte, 1 valid, 0 invalid. */
#ifndef KERROW_PROFILE_H
#define KERROW_PROFILE_H

#include <kerrow/types.h>

KD_BEGIN_DECLS

#define KD_PROFILE_PATH_SIZE 256

/* One file per profile, named after it with ".pfl" appended; watched. */
KD_API extern const char SETTINGS_PROFILES_HTTPS_SETTINGS_PROFILES_DIR[KD_PROFILE_PATH_SIZE];
/* Download links, named after the profile with ".txt" appended. */
KD_API extern const char WEB_DOWNLOAD_DIR[KD_PROFILE_PATH_SIZE];
/* Parts of a profile being applied: "slot%d.pfl" per slave, "master.pfl". */
KD_API extern const char SLAVE_SETTINGS_PROFILES_DIR[KD_PROFILE_PATH_SIZE];
/* Holds "store.json", the card's settings before an apply. */
KD_API extern const char OLD_SETTINGS_PROFILES_DIR[KD_PROFILE_PATH_SIZE];
/* Name of the last applied profile. */
KD_API extern const char LAST_SETTINGS_PROFILES_TEXT[KD_PROFILE_PATH_SIZE];
/* Parent of the upload directory (web front end). */
KD_API extern const char TMP_SETTINGS_PROFILES_DIR[KD_PROFILE_PATH_SIZE];
/* Uploaded files awaiting verification. */
KD_API extern const char TMP_SETTINGS_PROFILES_HTTPS_DIR[KD_PROFILE_PATH_SIZE];

typedef enum settings_ftype { VERFTYPE_PFL = 0 } settings_ftype;

/* Per-slot state of an add or an apply check. */
typedef enum ApplyProfileCheckState_e {
    CHECK_NOT_FINISH = 0,
    CHECK_VALID = 1,
    CHECK_INVALID = 2
} ApplyProfileCheckState_e;

/* Values of "DownloadProfileState". */
typedef enum SettingsNewProfileState_e {
    SETTINGS_NEW_PROFILE_UNKNOWN = 0,
    SETTINGS_NEW_PROFILE_GENERATING = 1,
    SETTINGS_NEW_PROFILE_GENERATION_FAILED = 2,
    SETTINGS_NEW_PROFILE_CREATED = 3
} SettingsNewProfileState_e;

KD_END_DECLS

#endif
