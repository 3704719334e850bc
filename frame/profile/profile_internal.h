// Settings-profile module internals shared by its files and reached by its
// tests. Loop thread only.
#pragma once

#include <kerrow/profile.h>
#include <kerrow/types.h>

#include <jansson.h>

#include <list>
#include <map>
#include <string>
#include <string_view>

namespace kd::profile {

// User slot of the master (this card when it runs the chassis).
inline constexpr int kMasterUi = 8;

// One profile file and its table row.
struct Profile {
    std::string name; // without ".pfl"
    std::string path; // rooted
    param_context *row = nullptr;
    int download_state = 0;
};

struct Module {
    std::list<Profile> files; // nodes never move: rows point at them
    param_context *files_param = nullptr;
    param_context *tbl_add = nullptr;
    bool pending_sync = false;
    unsigned syncs = 0; // synchronisations run (tests count them)

    // A profile being created: per user slot add state, until written or failed.
    bool adding = false;
    std::string add_name, add_path;
    int add_state[9] = {};

    // A profile being applied (master): per user slot check state.
    bool applying = false;
    std::string apply_name;
    std::string staged_part; // the master's own checked part, installed last
    int check_state[9] = {};
    int apply_state = 0;
    int download_state_num = 0;
};

Module &mod();
const char *me();

// ---- names and paths ----
// A profile name a user may give: not empty, at most 63 characters, no "/",
// not starting with "." (hidden files, "." and ".."). Anything else is kept
// as typed.
bool profile_name_ok(std::string_view name);
std::string profile_path(std::string_view name);  // rooted ".../profiles/<name>.pfl"
std::string download_path(std::string_view name); // rooted ".../downloadprofiles/<name>.txt"
bool slot_has_card(int ui_slot);                  // user slot 8 (the master) always does

// ---- files (profile_files.cpp) ----
bool make_dirs(const std::string &dir);
bool read_file(const std::string &path, std::string &out);
// Writes beside the target under a name starting with "." and renames it
// over the target once complete and synced: a crash leaves the old file.
bool write_file_atomic(const std::string &path, std::string_view text);
// 1 encoder ("enccfg"), 2 decoder ("decode"), 0 neither: the first line
// holding either key, with its quotes, decides.
int store_kind(std::string_view text);
// The sections of a profile by marker base ("slot1" ... "slot7", "master"):
// the lines between an exact "<base>start" line and the next "<base>end".
std::map<std::string, std::string> split_profile(std::string_view text);
// The store a part becomes on this card: the part, with the old store's
// "websocket" section and only the kept keys of its "frame" section. Null
// when the part is not a JSON object. New reference.
// A store file's text as JSON (new reference; null when it is no store);
// an empty or blank text is a store with no settings. Values that cannot
// be used are left out, and logged with `what` naming the text when given.
json_t *parse_store_text(std::string_view text, const char *what = nullptr);
json_t *merge_store(std::string_view part, json_t *old_store);

// ---- the framework's store ----
// The store as on disk after flushing pending changes.
bool current_store_text(std::string &out);

// ---- state changes (announced with "on_param_update") ----
void set_apply_state(int state);
void set_download_state(int state);
void notify_table();

// ---- apply (profile_apply.cpp) ----
void apply_profile(Profile &p);
// The reboot that ends a successful apply (a second after the request);
// a refused or failed reboot sets the apply state to 1.
void reboot_after_apply();
void register_apply_listeners();

// ---- directory (profile.cpp) ----
void sync_profiles();

} // namespace kd::profile
